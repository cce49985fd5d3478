// The sequence walk: both inputs drained in full (a before b), exact lists and tuples read in
// place instead, elements compared by position, and one length mismatch after everything found
// inside them.
#include "engine/align.h"
#include "engine/dispatch.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

namespace corvane {
namespace {

// How many items a drain takes between two looks at pending signals.
constexpr size_t kSignalCheckInterval = 4096;
// The most that one length hint may make a drain reserve ahead of the items it holds:
// a hint only sizes the buffer, and a wrong one must not exhaust memory.
constexpr size_t kMaxHintedReserve = size_t{1} << 20;

// An exact list or tuple, read in place: iterating it runs no Python code, so nothing can
// tell the two apart.
bool is_plain_sequence(PyObject* x) { return PyList_CheckExact(x) || PyTuple_CheckExact(x); }

// Releases the element stack above the point where the scope began.
class ElementScope {
public:
    explicit ElementScope(Walk& walk) noexcept
        : walk_(walk), start_(walk.elements().size()) {}
    ElementScope(const ElementScope&) = delete;
    ElementScope& operator=(const ElementScope&) = delete;
    ~ElementScope() { walk_.release_elements_from(start_); }

    size_t start() const noexcept { return start_; }

private:
    Walk& walk_;
    size_t start_;
};

}  // namespace

// An exact list or tuple, read in place. A tuple cannot change and its holder keeps it alive,
// so only a list is a view that a pin copies.
class InPlace final : public LazyView {
public:
    InPlace(Walk& walk, PyObject* seq) noexcept
        : LazyView(walk, PyList_CheckExact(seq)),
          items_(PySequence_Fast_ITEMS(seq)),
          size_(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq))) {}
    ~InPlace() override { walk().release_in_destructor(copy_); }

    size_t size() const noexcept { return size_; }
    Operand at(size_t i) const noexcept { return Operand(items_[i]); }

private:
    void pin() override {
        RefArray copy(size_);
        for (size_t i = 0; i < size_; ++i) {
            copy.put(i, Ref::borrow(items_[i]));
        }
        copy_ = std::move(copy);
        items_ = copy_.data();
    }

    PyObject* const* items_;  // in place, or in the copy once pinned
    size_t size_;
    RefArray copy_;
};

// Two exact lists or tuples read in place as one view. A pin copies, with references, what the
// walk may still read of either: the current pair and those after it (a tuple's items cannot
// change and its holder keeps it alive, so only a list is copied, and a pair of tuples is not
// chained at all).
class InPlacePair final : public LazyView {
public:
    InPlacePair(Walk& walk, PyObject* a, PyObject* b) noexcept
        : LazyView(walk, PyList_CheckExact(a) || PyList_CheckExact(b)),
          a_(PySequence_Fast_ITEMS(a)),
          b_(PySequence_Fast_ITEMS(b)),
          size_a_(static_cast<size_t>(PySequence_Fast_GET_SIZE(a))),
          size_b_(static_cast<size_t>(PySequence_Fast_GET_SIZE(b))),
          list_a_(PyList_CheckExact(a)),
          list_b_(PyList_CheckExact(b)) {}
    ~InPlacePair() override {
        if (kept_) {
            walk().release_in_destructor(kept_->b);
            walk().release_in_destructor(kept_->a);
        }
    }

    size_t size_a() const noexcept { return size_a_; }
    size_t size_b() const noexcept { return size_b_; }
    // The walk is on a's i-th item and b's j-th (0 for a plan whose later steps may go back in
    // b): what comes before them is never read again.
    void at(size_t i, size_t j) noexcept {
        current_ = i;
        current_b_ = j;
    }
    // By position: on the i-th item of both, one store an item (b follows a until at(i, j)).
    void at(size_t i) noexcept { current_ = i; }
    Operand a(size_t i) const noexcept { return Operand(a_[i]); }
    Operand b(size_t i) const noexcept { return Operand(b_[i]); }

private:
    // What a pin keeps of the lists, made only then.
    struct Kept {
        RefArray a;
        RefArray b;
    };

    // Copies a list's items from `from` on, and has `items` read them there: item i of the copied
    // range is copy[i - from], addressed from an integer so that no pointer points before the copy.
    static void keep_from(size_t from, PyObject* const*& items, size_t size, RefArray& copy) {
        RefArray kept(size - from);
        for (size_t i = from; i < size; ++i) {
            kept.put(i - from, Ref::borrow(items[i]));
        }
        copy = std::move(kept);
        items = reinterpret_cast<PyObject* const*>(reinterpret_cast<uintptr_t>(copy.data()) - from * sizeof(PyObject*));
    }

    void pin() override {
        kept_ = std::make_unique<Kept>();
        if (list_a_ && current_ < size_a_) {
            keep_from(current_, a_, size_a_, kept_->a);
        }
        size_t from_b = current_b_ == kWithA ? current_ : current_b_;
        if (list_b_ && from_b < size_b_) {
            keep_from(from_b, b_, size_b_, kept_->b);
        }
    }

    PyObject* const* a_;  // in place, or in the copy once pinned
    PyObject* const* b_;
    size_t size_a_;
    size_t size_b_;
    bool list_a_;
    bool list_b_;
    static constexpr size_t kWithA = SIZE_MAX;  // b's current item is a's
    size_t current_ = 0;
    size_t current_b_ = kWithA;
    std::unique_ptr<Kept> kept_;
};

namespace {

// Items drained from an iterator, which the walk's element stack owns from `start` on.
class Drained {
public:
    Drained(Walk& walk, size_t start, size_t size) noexcept : walk_(&walk), start_(start), size_(size) {}

    size_t size() const noexcept { return size_; }
    Operand at(size_t i) const noexcept { return walk_->elements().operand(start_ + i); }

private:
    Walk* walk_;
    size_t start_;
    size_t size_;
};

// Drains an iterator onto the element stack and returns how many items it gave. The length hint
// is asked exactly when the growth rule of the element buffer asks for it: on the first item,
// and whenever an item arrives while the buffer's room is full.
size_t drain(Walk& walk, Operand iter) {
    Held hold(walk, Ref::borrow(iter.get()));
    size_t count = 0;
    size_t room = 0;
    while (std::optional<Ref> item = next_item(walk, iter.get())) {
        if (count == room) {
            size_t hint = length_hint_or_zero(walk, iter.get());
            room = count == 0 ? std::max<size_t>(4, hint + 1) : std::max(2 * room, count + hint + 1);
            walk.elements().reserve_more(std::min(room - count, kMaxHintedReserve));
        }
        walk.elements().push(std::move(*item));
        if (++count % kSignalCheckInterval == 0) {
            check_signals(walk);
        }
    }
    return count;
}

// One side of a walk over sequences: an exact list or tuple read in place, or the items drained
// from its iterator after those already drained.
class Side {
public:
    Side(Walk& walk, Operand seq, const Held& iter, size_t start) : drained_(walk, start, 0) {
        if (!iter) {
            in_place_.emplace(walk, seq.get());
            return;
        }
        drained_ = Drained(walk, start, drain(walk, iter.operand()));
    }
    explicit Side(const Drained& drained) noexcept : drained_(drained) {}

    size_t size() const noexcept { return in_place_ ? in_place_->size() : drained_.size(); }
    Operand at(size_t i) const noexcept { return in_place_ ? in_place_->at(i) : drained_.at(i); }

private:
    std::optional<InPlace> in_place_;
    Drained drained_;
};

// Both sides, made a's first (b's iterator is not touched before a is drained) and ended in the
// opposite order, as views must end; or two iterators' items, both drained.
class Sides {
public:
    Sides(Walk& walk, Operand a, const Held& iter_a, Operand b, const Held& iter_b, size_t start)
        : a_(walk, a, iter_a, start), b_(walk, b, iter_b, walk.elements().size()) {}
    Sides(const Drained& a, const Drained& b) noexcept : a_(a), b_(b) {}

    size_t size_a() const noexcept { return a_.size(); }
    size_t size_b() const noexcept { return b_.size(); }
    Operand a(size_t i) const noexcept { return a_.at(i); }
    Operand b(size_t j) const noexcept { return b_.at(j); }
    // A side in place copies all of itself when pinned; drained items are owned.
    void at(size_t, size_t) noexcept {}
    void at(size_t) noexcept {}

private:
    Side a_;
    Side b_;
};

template <class Variant>
void add_list_item(Walk& walk, const PathFrame* path, size_t index, Operand item) {
    walk.out.emplace_back(std::in_place_type<Variant>, DictDiff(materialize(path), check(PyLong_FromSize_t(index)),
                                                                Ref::borrow(item.get())));
}

// The data rules' walk by a plan: pairs compared, the rest reported as deleted or inserted. The
// plan is made from the items' fingerprints before anything is compared.
template <class Pair>
[[gnu::noinline]] void compare_planned(Walk& walk, Pair& pair, const PathFrame* path, ListMode mode,
                                       const ListKey* keyed) {
    Plan plan;
    {
        Fingerprinter fingerprint(walk.data().nan_equal);
        auto of = [&](Operand item) {
            if (keyed == nullptr) {
                return fingerprint.of(item.get());
            }
            // An item without the key is matched by its whole value, with an item without the key
            // (a document equals itself); the tag keeps it apart from the keys' own fingerprints.
            PyObject* key = value_at(item.get(), keyed->key);
            constexpr uint64_t kKeyless = 0x5bd1e9955bd1e995 & ~Fingerprinter::kOpaque;
            return key != nullptr ? fingerprint.of(key) : fingerprint.of(item.get()) ^ kKeyless;
        };
        std::vector<uint64_t> fa(pair.size_a());
        std::vector<uint64_t> fb(pair.size_b());
        for (size_t i = 0; i < fa.size(); ++i) {
            fa[i] = of(pair.a(i));
        }
        for (size_t j = 0; j < fb.size(); ++j) {
            fb[j] = of(pair.b(j));
        }
        plan = mode == ListMode::Align ? align_by_fingerprints(fa, fb, walk.data().align_budget)
                                       : match_in_order(fa, fb);
    }
    bool monotone = mode == ListMode::Align;
    size_t before = walk.out.size();
    for (const PlanStep& step : plan.steps) {
        switch (step.op) {
        case PlanStep::Op::Pair: {
            pair.at(step.i, monotone ? step.j : 0);
            PathFrame child = extend_keypath(path, static_cast<uint64_t>(step.i));
            corvane_dispatch<DataRules>(walk, pair.a(step.i), pair.b(step.j), &child);
            break;
        }
        case PlanStep::Op::Delete:
            pair.at(step.i, monotone ? step.j : 0);
            add_list_item<ItemDeleted>(walk, path, step.i, pair.a(step.i));
            break;
        case PlanStep::Op::Insert:
            pair.at(step.i, monotone ? step.j : 0);
            add_list_item<ItemInserted>(walk, path, step.j, pair.b(step.j));
            break;
        }
    }
    // Said only where the pairing by position found something: equal lists need no note.
    if (plan.unaligned && walk.out.size() > before) {
        walk.out.emplace_back(std::in_place_type<Unaligned>,
                              Unaligned{IterLenMismatch{materialize(path), pair.size_a(), pair.size_b()}});
    }
}

// Two lists: by position, with a length mismatch after everything found inside; under the data
// rules, by the plan that the list's path asks for.
template <class Rules, class Pair>
void compare_lists(Walk& walk, Pair& pair, const PathFrame* path) {
    if constexpr (Rules::kData) {
        const ListKey* keyed = nullptr;
        ListMode mode = list_mode(walk.data(), path, &keyed);
        if (mode != ListMode::Position) {
            compare_planned(walk, pair, path, mode, keyed);
            return;
        }
    }
    size_t common = std::min(pair.size_a(), pair.size_b());
    for (size_t i = 0; i < common; ++i) {
        pair.at(i);
        PathFrame child = extend_keypath(path, static_cast<uint64_t>(i));
        corvane_dispatch<Rules>(walk, pair.a(i), pair.b(i), &child);
    }
    if (pair.size_a() != pair.size_b()) {
        walk.out.emplace_back(std::in_place_type<IterLenMismatch>,
                              IterLenMismatch{materialize(path), pair.size_a(), pair.size_b()});
    }
}

}  // namespace

template <class Rules>
void corvane_iter(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    ElementScope elements(walk);
    size_t len_a = drain(walk, a);
    size_t len_b = drain(walk, b);
    Sides sides(Drained(walk, elements.start(), len_a), Drained(walk, elements.start() + len_a, len_b));
    compare_lists<Rules>(walk, sides, path);
}

namespace {

// Sequences of which at least one is read through its iterator.
template <class Rules>
[[gnu::noinline]] void compare_iterated(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    Held iter_a = is_plain_sequence(a.get()) ? Held(walk, Ref()) : get_iter(walk, a);
    Held iter_b = is_plain_sequence(b.get()) ? Held(walk, Ref()) : get_iter(walk, b);
    ElementScope elements(walk);
    Sides sides(walk, a, iter_a, b, iter_b, elements.start());
    compare_lists<Rules>(walk, sides, path);
}

}  // namespace

template <class Rules>
void compare_in_place(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    InPlacePair pair(walk, a.get(), b.get());
    compare_lists<Rules>(walk, pair, path);
}

template <class Rules>
void compare_sequences(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    if (!is_plain_sequence(a.get()) || !is_plain_sequence(b.get())) {
        compare_iterated<Rules>(walk, a, b, path);
        return;
    }
    compare_in_place<Rules>(walk, a, b, path);
}

template void corvane_iter<PythonRules>(Walk&, Operand, Operand, const PathFrame*);
template void corvane_iter<DataRules>(Walk&, Operand, Operand, const PathFrame*);
template void compare_sequences<PythonRules>(Walk&, Operand, Operand, const PathFrame*);
template void compare_sequences<DataRules>(Walk&, Operand, Operand, const PathFrame*);
template void compare_in_place<PythonRules>(Walk&, Operand, Operand, const PathFrame*);
template void compare_in_place<DataRules>(Walk&, Operand, Operand, const PathFrame*);

}  // namespace corvane
