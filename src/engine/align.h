// Pairing the items of two lists under the data rules: by a longest common subsequence of their
// fingerprints (an inserted or removed item is one record at its position), by a key inside each
// item, or as multisets; the plan is made before any item is compared, and runs no Python code.
//
// Cost: fingerprints are one pass over both lists' items. Equal stretches at the ends are paired
// directly; long stretches are cut at items whose fingerprint is unique on both sides (the longest
// increasing run of them, O(n log n)); what is left between two cuts is aligned by Myers' O((n+m)d)
// algorithm while its edit distance d stays within DataOptions::align_budget and n+m within
// kMaxAlignedStretch, else paired by position and reported as unaligned. So the worst case is
// O((n+m) * budget) for each stretch, and a plan never costs more than that.
#pragma once

#include "engine/rules.h"
#include "engine/walk.h"

#include <cstdint>
#include <vector>

namespace corvane {

// One step of a plan: compare a's i-th item with b's j-th, or report a's i-th as deleted, or b's
// j-th as inserted. Steps come in the order of both lists.
struct PlanStep {
    enum class Op : uint8_t { Pair, Delete, Insert };
    Op op;
    size_t i;
    size_t j;
};

struct Plan {
    std::vector<PlanStep> steps;
    bool unaligned = false;  // a stretch differed too much and was paired by position
};

// The longest stretch that Myers' algorithm is asked to align.
constexpr size_t kMaxAlignedStretch = 40000;

// A fingerprint of a value under the data rules: equal values have equal fingerprints; a value
// whose equality the rules cannot vouch for without running Python code (a custom mapping, an
// iterator, an aware datetime, NaN where NaN differs) gets one that equals nothing else.
// A value that holds itself, or that is nested deeper than the stack has room for, has such a
// fingerprint too (the walk then meets it, and its own recursion check, as it would anyway).
class Fingerprinter {
public:
    explicit Fingerprinter(bool nan_equal) noexcept;
    // Null (no value) has a fingerprint that equals nothing, too.
    uint64_t of(PyObject* x) noexcept;
    // Set in the fingerprints that equal nothing, and only in them.
    static constexpr uint64_t kOpaque = uint64_t{1} << 63;

private:
    bool value(PyObject* x, uint64_t& out) noexcept;
    bool container(PyObject* x, uint64_t& out) noexcept;
    uint64_t unique() noexcept { return kOpaque | ++opaque_; }

    bool nan_equal_;
    uint64_t opaque_ = 0;
    uintptr_t stack_floor_;
    std::vector<PyObject*> open_;  // the containers being fingerprinted, outermost first
};

// The plan for two lists whose items have the fingerprints `a` and `b`.
Plan align_by_fingerprints(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, size_t budget);

// The plan for two lists matched as multisets (`a`, `b` the items' fingerprints), or by keys (the
// fingerprints of their items' keys; an item without the key has one that matches nothing): a's
// items in order, each paired with b's first unpaired item of the same fingerprint, then b's
// unpaired items.
Plan match_in_order(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);

// A position given as an exact int or as the text of its digits (at most 18): its value, or -1.
long long position_of(PyObject* step) noexcept;

// The value at `key` (steps of str keys and int positions) inside an exact dict or list, read
// without running Python code; null when there is none.
PyObject* value_at(PyObject* item, const std::vector<Ref>& key) noexcept;

// How the lists at `path` are paired under `options`.
ListMode list_mode(const DataOptions& options, const PathFrame* path, const ListKey** keyed);

}  // namespace corvane
