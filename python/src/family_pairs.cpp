#include "family_pairs.h"

#include "str_utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace plintrove::py {

namespace {

struct SharedPair {
    std::uint64_t hash;
    std::string family;
    std::string subfamily;
    Value list;
};

// Bounds the store for a host whose pairs never repeat: it starts over when full, and the
// lists items still hold stay theirs.
constexpr std::size_t kMaxSharedPairs = 4096;
// Open addressing with linear probing, at most half full; a slot holds its pair's position
// plus one, zero when free.
constexpr std::size_t kSlots = 2 * kMaxSharedPairs;

class PairStore {
public:
    PairStore() : slots_(kSlots, 0) {}

    const Value& get(std::string_view family, std::string_view subfamily) {
        const std::uint64_t hash = pair_hash(family, subfamily);
        std::size_t slot = static_cast<std::size_t>(hash) & (kSlots - 1);
        for (; slots_[slot] != 0; slot = (slot + 1) & (kSlots - 1)) {
            const SharedPair& pair = pairs_[slots_[slot] - 1];
            if (pair.hash == hash && pair.family == family && pair.subfamily == subfamily) {
                return pair.list;
            }
        }
        if (pairs_.size() == kMaxSharedPairs) {
            std::fill(slots_.begin(), slots_.end(), 0);
            pairs_.clear();
            slot = static_cast<std::size_t>(hash) & (kSlots - 1);
        }
        pairs_.push_back({hash, std::string(family), std::string(subfamily),
                          Value(List{Value(std::string(family)), Value(std::string(subfamily))})});
        slots_[slot] = static_cast<std::uint32_t>(pairs_.size());
        return pairs_.back().list;
    }

private:
    // Eight bytes at a time, each text's length mixed in with its last word, so that texts
    // running together alike ("ab", "c" and "a", "bc") still spread.
    static std::uint64_t pair_hash(std::string_view family, std::string_view subfamily) {
        constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
        std::uint64_t h = 0;
        auto mix = [&h](std::uint64_t word) {
            h = (h ^ word) * kMultiplier;
            h ^= h >> 32;
        };
        for (std::string_view text : {family, subfamily}) {
            std::size_t at = 0;
            for (; at + 8 <= text.size(); at += 8) {
                std::uint64_t word;
                std::memcpy(&word, text.data() + at, 8);
                mix(word);
            }
            std::uint64_t last = 0;
            std::memcpy(&last, text.data() + at, text.size() - at);
            mix(last ^ (static_cast<std::uint64_t>(text.size()) << 56));
        }
        return h;
    }

    std::vector<std::uint32_t> slots_;
    std::vector<SharedPair> pairs_;
};

// Never destroyed: a writer thread may still be converting while the process exits.
PairStore& store() {
    static PairStore* pairs = new PairStore();
    return *pairs;
}

}  // namespace

const Value* shared_family_pair(PyObject* entry) {
    if ((!PyList_CheckExact(entry) && !PyTuple_CheckExact(entry)) ||
        PySequence_Fast_GET_SIZE(entry) != 2) {
        return nullptr;
    }
    std::string_view family, subfamily;
    if (!exact_ascii_text(PySequence_Fast_GET_ITEM(entry, 0), family) ||
        !exact_ascii_text(PySequence_Fast_GET_ITEM(entry, 1), subfamily)) {
        return nullptr;
    }
    return &store().get(family, subfamily);
}

}  // namespace plintrove::py
