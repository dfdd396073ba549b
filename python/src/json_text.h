#pragma once
// The JSON text of a host object written straight from it, byte for byte as
// json_dumps_into(to_value(obj)) writes it, with no library value built or freed.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "convert.h"

namespace plintrove::py {

// What a walk met that its text does not give back as it was read: json.loads turns other
// keys into text, merges keys of str subclasses that spell alike, and pairs up lone
// surrogates.
struct JsonTextForms {
    bool non_text_key = false;
    bool str_subclass_key = false;
    bool lone_surrogate = false;

    bool decodes_back() const { return !non_text_key && !str_subclass_key && !lone_surrogate; }
};

// What the graph walks read of one dict: its "type", "node" and "children" members, null
// when absent, met under keys of plain text while its text was written.
struct GraphMembers {
    PyObject* dict;
    std::array<PyObject*, 3> members{};  // in the order of graph_walk::GraphKey
};

// Appends the text of `obj` to `out`, converting in the order to_value does, and raises what
// to_value(obj) raises, at the same object (leaving `out` as it was). With `members`, each
// dict met is added to it, in the order written. GIL held.
JsonTextForms write_json_text(nb::handle obj, std::string& out,
                              std::vector<GraphMembers>* members = nullptr);

// The text of a bound call's argument that is only ever stored as JSON, or nothing for
// None; refuses an object as value_arg does, naming the argument. GIL held.
std::optional<std::string> json_text_arg(nb::handle obj, const char* name);

}  // namespace plintrove::py
