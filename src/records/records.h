// Difference records, the Diff union, key paths and the path frames they are made from.
// Every record owns its key path and its objects; a PathFrame borrows its key from the walk
// that made it, and becomes an owned KeyPath only when a record needs one.
#pragma once

#include "ref.h"

#include <cstdint>
#include <memory>
#include <type_traits>
#include <variant>
#include <vector>

namespace corvane {

class PathFrame;

// An owned array of references, root first; released root first.
class KeyPath {
public:
    KeyPath() noexcept = default;

    void clear() noexcept { items_.clear(); }
    // A new path holding a new reference to every element.
    KeyPath copy() const;
    size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i]; }

private:
    friend KeyPath materialize(const PathFrame* frame);
    explicit KeyPath(size_t size) : items_(size) {}

    RefArray items_;
};

// One step of the path under construction, living on the C stack of the walk that took it.
// A mapping step borrows the key of the first mapping's item (the view that the walk read it
// from keeps it alive); a sequence step keeps its position, made into an int only when a record
// needs the path. Trivially destructible: a step costs nothing to leave.
class PathFrame {
public:
    PathFrame(const PathFrame* parent, PyObject* key) noexcept
        : parent_(parent), key_(key), depth_(depth_below(parent)) {}
    PathFrame(const PathFrame* parent, uint64_t index) noexcept
        : parent_(parent), index_(index), depth_(depth_below(parent)) {}
    PathFrame(const PathFrame&) = delete;
    PathFrame& operator=(const PathFrame&) = delete;

    // The owned key path from the roots down to this step.
    friend KeyPath materialize(const PathFrame* frame);
    // The steps from the roots down to this one, borrowed: (key, 0) or (null, position).
    friend void path_steps(const PathFrame* frame, std::vector<std::pair<PyObject*, uint64_t>>& steps);
    // How many steps lead from the roots to this one.
    size_t depth() const noexcept { return depth_; }

private:
    static size_t depth_below(const PathFrame* parent) noexcept {
        return parent == nullptr ? 1 : parent->depth_ + 1;
    }

    const PathFrame* parent_;
    PyObject* key_ = nullptr;  // borrowed mapping key, or null for a position
    uint64_t index_ = 0;
    size_t depth_;
};

static_assert(std::is_trivially_destructible_v<PathFrame>);

// The key path of the two roots is the null frame.
KeyPath materialize(const PathFrame* frame);
void path_steps(const PathFrame* frame, std::vector<std::pair<PyObject*, uint64_t>>& steps);

// The child step of `parent` for a mapping key (borrowed) or a sequence position.
inline PathFrame extend_keypath(const PathFrame* parent, PyObject* key) noexcept {
    return PathFrame(parent, key);
}
inline PathFrame extend_keypath(const PathFrame* parent, uint64_t index) noexcept {
    return PathFrame(parent, index);
}

// A key path and two owned objects, released in that order.
struct ObjectPair {
    KeyPath path;
    Ref first;   // `key` of a DictDiff, `a` of a value change
    Ref second;  // `val` of a DictDiff, `b` of a value change

    ObjectPair(KeyPath p, Ref f, Ref s) noexcept
        : path(std::move(p)), first(std::move(f)), second(std::move(s)) {}
    ObjectPair(ObjectPair&&) noexcept = default;
    ObjectPair& operator=(ObjectPair&&) noexcept = default;
    ~ObjectPair() {
        path.clear();
        first.reset();
        second.reset();
    }
};

struct DictDiff : ObjectPair {
    using ObjectPair::ObjectPair;
};
struct ValChange : ObjectPair {
    using ObjectPair::ObjectPair;
};
struct TypeAndValChange : ObjectPair {
    using ObjectPair::ObjectPair;
};
struct IterLenMismatch {
    KeyPath path;
    uint64_t a_len;
    uint64_t b_len;
};
struct DictItemAdded {
    DictDiff diff;
};
struct DictItemRemoved {
    DictDiff diff;
};
// The data rules' records for aligned lists: an item only the second list has (`key` its position
// there), an item only the first has (`key` its position there), and two lists compared by
// position because they differ too much to align.
struct ItemInserted {
    DictDiff diff;
};
struct ItemDeleted {
    DictDiff diff;
};
struct Unaligned {
    IterLenMismatch lengths;
};

// The variant order is the order of the five result lists; the data rules' own records follow.
using Diff = std::variant<ValChange, TypeAndValChange, DictItemAdded, DictItemRemoved, IterLenMismatch, ItemInserted,
                          ItemDeleted, Unaligned>;

// Records in discovery order; every engine function appends to one.
using DiffList = std::vector<Diff>;

// Deep copies: a new reference to every path element and object.
DictDiff copy_record(const DictDiff& rec);
ValChange copy_record(const ValChange& rec);
TypeAndValChange copy_record(const TypeAndValChange& rec);
IterLenMismatch copy_record(const IterLenMismatch& rec);

}  // namespace corvane
