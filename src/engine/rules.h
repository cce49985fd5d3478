// The two rule sets of the one walk, chosen at compile time so that the corvane module's rules
// pay nothing for the other: Python's rules (the module's own), and the rules of data documents
// (JSON, YAML, TOML, dataset rows) that the companion package asks for, with their options.
#pragma once

#include "ref.h"

#include <cstdint>
#include <vector>

namespace corvane {

// The module's rules: bool is an int, a string pairs with any sequence, ints within 128 bits,
// strings that UTF-8 can carry, lists by position.
struct PythonRules {
    static constexpr bool kData = false;
};

// The rules of data documents: bool is a kind of its own, a string (and bytes) is a value and never
// a sequence, ints of any size, strings by code points, None a value, NaN equal to NaN where asked,
// date, datetime, time and bytes compared exactly, and lists aligned where asked.
struct DataRules {
    static constexpr bool kData = true;
};

// One step of a path pattern: a key or position by its text, `*` (one step) or `**` (any).
struct PatternStep {
    enum class Kind : uint8_t { Text, One, Any };
    Kind kind;
    Ref text;                 // the step's text (str), for Text
    bool numeric = false;     // the text is a decimal number, `number`: it names positions and int keys
    long long number = 0;
};
using Pattern = std::vector<PatternStep>;

// How the items of two lists are paired.
enum class ListMode : uint8_t {
    Position,   // by position, a length change after everything found inside
    Align,      // by a longest common subsequence of the items' fingerprints
    Keyed,      // by the value at a pointer inside each item
    Unordered,  // as multisets
};

// The lists at paths that match `where` are matched by the value at `key` in each item.
struct ListKey {
    Pattern where;
    std::vector<Ref> key;  // the steps of the pointer into an item: str keys or int positions
};

struct DataOptions {
    bool nan_equal = true;
    ListMode lists = ListMode::Align;  // the default for lists that no pattern names
    std::vector<ListKey> keyed;
    std::vector<Pattern> unordered;
    // The most a stretch of two lists may differ by before it is compared by position instead of
    // aligned (the alignment's cost grows with the product of this and the lists' length).
    size_t align_budget = 2000;
};

}  // namespace corvane
