// The sequence walk: both inputs drained in full (a before b) onto the element stack,
// elements compared by position, and one length mismatch after everything found inside them.
#include "engine/calls.h"
#include "engine/engine.h"

#include <algorithm>

namespace corvane {
namespace {

// How many items a drain takes between two looks at pending signals.
constexpr size_t kSignalCheckInterval = 4096;
// The most that one length hint may make a drain reserve ahead of the items it holds:
// a hint only sizes the buffer, and a wrong one must not exhaust memory.
constexpr size_t kMaxHintedReserve = size_t{1} << 20;

// Drains an iterator onto the stack and returns how many items it gave. The length hint is
// asked exactly when the growth rule of the element buffer asks for it: on the first item,
// and whenever an item arrives while the buffer's room is full.
size_t drain(Walk& walk, PyObject* iter) {
    Ref hold = Ref::borrow(iter);
    size_t count = 0;
    size_t room = 0;
    while (std::optional<Ref> item = next_item(walk, iter)) {
        if (count == room) {
            size_t hint = length_hint_or_zero(walk, iter);
            room = count == 0 ? std::max<size_t>(4, hint + 1) : std::max(2 * room, count + hint + 1);
            walk.stack.reserve_more(std::min(room - count, kMaxHintedReserve));
        }
        walk.stack.push(std::move(*item));
        if (++count % kSignalCheckInterval == 0) {
            check_signals(walk);
        }
    }
    return count;
}

// The items of a list or tuple as its iterator would give them; no Python code can run
// while they are read, so nothing can tell the two apart.
size_t snapshot(Walk& walk, PyObject* seq) {
    size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(seq));
    walk.stack.reserve_more(n);
    walk.stack.push_borrowed(PySequence_Fast_ITEMS(seq), n);
    return n;
}

// Compares the len_a elements from `start` with the len_b elements that follow them.
void compare_positions(Walk& walk, size_t start, size_t len_a, size_t len_b, const PathFrame* path) {
    size_t start_b = start + len_a;
    size_t common = std::min(len_a, len_b);
    for (size_t i = 0; i < common; ++i) {
        PathFrame child = extend_keypath(path, static_cast<uint64_t>(i));
        corvane_dispatch(walk, walk.stack[start + i], walk.stack[start_b + i], &child);
    }
    if (len_a != len_b) {
        walk.out.emplace_back(std::in_place_type<IterLenMismatch>,
                              IterLenMismatch{materialize(path), len_a, len_b});
    }
}

}  // namespace

void corvane_iter(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    StackScope elements(walk.stack);
    size_t len_a = drain(walk, a);
    size_t len_b = drain(walk, b);
    compare_positions(walk, elements.start(), len_a, len_b, path);
}

void compare_sequences(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    Ref iter_a = is_plain_sequence(a) ? Ref() : get_iter(walk, a);
    Ref iter_b = is_plain_sequence(b) ? Ref() : get_iter(walk, b);
    StackScope elements(walk.stack);
    size_t len_a = iter_a ? drain(walk, iter_a.get()) : snapshot(walk, a);
    size_t len_b = iter_b ? drain(walk, iter_b.get()) : snapshot(walk, b);
    compare_positions(walk, elements.start(), len_a, len_b, path);
}

}  // namespace corvane
