// The sequence walk: both iterators drained in full (a before b), elements compared by
// position, and one length mismatch after everything found inside the elements.
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

// The iterator's elements, sized by its length hint exactly when the walk's growth rule
// asks for it: on the first item, and whenever an item arrives while the room is full.
class ElementList {
public:
    void push(Ref item, PyObject* iter) {
        if (items_.size() == room_) {
            grow(iter);
        }
        items_.push_back(std::move(item));
    }
    size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i].get(); }

private:
    void grow(PyObject* iter) {
        size_t hint = length_hint_or_zero(iter);
        size_t len = items_.size();
        room_ = len == 0 ? std::max<size_t>(4, hint + 1) : std::max(2 * room_, len + hint + 1);
        items_.reserve(std::min(room_, len + kMaxHintedReserve));
    }

    std::vector<Ref> items_;
    size_t room_ = 0;
};

ElementList drain(PyObject* iter) {
    Ref hold = Ref::borrow(iter);
    ElementList elements;
    while (std::optional<Ref> item = next_item(iter)) {
        elements.push(std::move(*item), iter);
        if (elements.size() % kSignalCheckInterval == 0) {
            check_signals();
        }
    }
    return elements;
}

}  // namespace

void corvane_iter(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out) {
    ElementList elements_a = drain(a);
    ElementList elements_b = drain(b);
    size_t common = std::min(elements_a.size(), elements_b.size());
    for (size_t i = 0; i < common; ++i) {
        PathFrame child = extend_keypath(path, static_cast<uint64_t>(i));
        corvane_dispatch(elements_a[i], elements_b[i], &child, out);
    }
    if (elements_a.size() != elements_b.size()) {
        out.emplace_back(std::in_place_type<IterLenMismatch>,
                         IterLenMismatch{materialize(path), elements_a.size(), elements_b.size()});
    }
}

}  // namespace corvane
