#include "plintrove/core/graph_skeleton.h"

#include <string_view>
#include <vector>

#include "plintrove/value/json.h"

namespace plintrove {

namespace {

bool named_kind(const Value* type) {
    if (type == nullptr || !type->is_text()) return false;
    const std::string& t = type->as_text();
    return t == "rotation" || t == "filtration" || t == "reduction" || t == "function" ||
           t == "feature";
}

}  // namespace

std::string graph_skeleton(const Value& graph) {
    std::string out;
    // Iterative, with a null entry standing for the end of a node's children, so a graph
    // of any depth cannot exhaust the stack.
    std::vector<const Value*> stack{&graph};
    while (!stack.empty()) {
        const Value* node = stack.back();
        stack.pop_back();
        if (node == nullptr) {
            out += ')';
            continue;
        }
        out += '(';
        if (!node->is_map()) {
            out += ')';  // a constant leaf: only its place in the tree counts
            continue;
        }
        const Value* type = node->get("type");
        if (type != nullptr) json_dumps_into(*type, out);
        if (named_kind(type)) {
            out += ':';
            if (const Value* name = node->get("node")) json_dumps_into(*name, out);
        }
        stack.push_back(nullptr);
        const Value* children = node->get("children");
        if (children != nullptr && children->is_list()) {
            const List& list = children->as_list();
            for (auto it = list.rbegin(); it != list.rend(); ++it) stack.push_back(&*it);
        }
    }
    return out;
}

}  // namespace plintrove
