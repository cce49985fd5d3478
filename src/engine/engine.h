// The comparison engine: the recursive comparison of two object trees, the mapping walk and
// the sequence walk. Operands and path frames are borrowed, records are appended to the walk's
// list in discovery order, and every failure leaves as a Failure with everything released.
#pragma once

#include "records/records.h"

#include <algorithm>
#include <optional>

namespace corvane {

// The elements and items that the walks in progress have taken, the innermost walk's last.
// A walk reads its own range by index and releases it when it ends. Entries are taken as
// borrowed pointers, which is safe while no Python code runs (nothing else can change the
// lists and dicts they were read from); before any Python code runs, `pin_all` takes a
// reference to every borrowed entry, so from then on they are owned as if copied at once.
class ElementStack {
public:
    ElementStack() = default;
    ElementStack(const ElementStack&) = delete;
    ElementStack& operator=(const ElementStack&) = delete;
    ~ElementStack() { release_from(0); }

    size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i]; }

    void push_borrowed(PyObject* const* items, size_t n) { items_.insert(items_.end(), items, items + n); }
    void push(Ref item) {
        pin_all();
        items_.push_back(item.get());
        item.release();
        owned_end_ = items_.size();
    }

    // Room for n more, growing geometrically so that repeated calls stay linear.
    void reserve_more(size_t n) {
        if (items_.size() + n > items_.capacity()) {
            items_.reserve(std::max(items_.size() + n, 2 * items_.capacity()));
        }
    }

    void pin_all() noexcept {
        for (size_t i = owned_end_; i < items_.size(); ++i) {
            Py_INCREF(items_[i]);
        }
        owned_end_ = items_.size();
    }

    // Releases everything above `start`, newest first. Entries below `owned_end_` are owned.
    void release_from(size_t start) noexcept {
        while (items_.size() > start) {
            PyObject* item = items_.back();
            items_.pop_back();
            if (items_.size() < owned_end_) {
                Py_DECREF(item);
            }
        }
        owned_end_ = std::min(owned_end_, start);
    }

private:
    std::vector<PyObject*> items_;
    size_t owned_end_ = 0;
};

// The answers of the mapping and sequence tests for built-in types, valid while no Python code
// has run in this walk: a few entries, searched in order.
class AbcMemo {
public:
    static constexpr int kMapping = 0;
    static constexpr int kSequence = 1;

    // The remembered answers for a type, each 0, 1 or -1 for none, or null when there are none
    // for this epoch.
    const int8_t* answers(PyTypeObject* type, uint64_t epoch) const noexcept {
        if (epoch != epoch_) {
            return nullptr;
        }
        for (size_t i = 0; i < used_; ++i) {
            if (entries_[i].type == type) {
                return entries_[i].answer;
            }
        }
        return nullptr;
    }

    // The remembered answer (0 or 1), or -1 when there is none for this epoch.
    int find(PyTypeObject* type, int test, uint64_t epoch) const noexcept {
        const int8_t* known = answers(type, epoch);
        return known != nullptr ? known[test] : -1;
    }

    void remember(PyTypeObject* type, int test, bool answer, uint64_t epoch) noexcept {
        start_epoch(epoch);
        for (size_t i = 0; i < used_; ++i) {
            if (entries_[i].type == type) {
                entries_[i].answer[test] = answer;
                return;
            }
        }
        if (used_ < kSize) {
            entries_[used_] = Entry{type, {-1, -1}};
            entries_[used_++].answer[test] = answer;
        }
    }

    // The abc cache token as read in this epoch, or nothing.
    std::optional<long long> token(uint64_t epoch) const noexcept {
        return epoch == epoch_ && token_known_ ? std::optional<long long>(token_) : std::nullopt;
    }
    void set_token(long long token, uint64_t epoch) noexcept {
        start_epoch(epoch);
        token_ = token;
        token_known_ = true;
    }

private:
    struct Entry {
        PyTypeObject* type;
        int8_t answer[2];
    };
    static constexpr size_t kSize = 8;

    void start_epoch(uint64_t epoch) noexcept {
        if (epoch != epoch_) {
            epoch_ = epoch;
            used_ = 0;
            token_known_ = false;
        }
    }

    uint64_t epoch_ = UINT64_MAX;
    bool token_known_ = false;
    long long token_ = 0;
    Entry entries_[kSize] = {};
    size_t used_ = 0;
};

// The state of one comparison: the records found so far, the element stack, and a count of
// the calls that may have run Python code, which may change anything (the trees, the abstract
// classes' registrations). Shortcuts that rely on nothing having changed compare that count.
struct Walk;

// Items read in place from a dict that nothing can change while no Python code runs. Before
// any does, `pin` copies what is left to read, with references, exactly as it still is.
class LazyItems {
public:
    virtual void pin() = 0;

protected:
    explicit LazyItems(Walk& walk) noexcept;
    virtual ~LazyItems();
    LazyItems(const LazyItems&) = delete;
    LazyItems& operator=(const LazyItems&) = delete;

private:
    friend struct Walk;
    Walk& walk_;
    LazyItems* outer_;
};

struct Walk {
    DiffList out;
    ElementStack stack;
    uint64_t python_calls = 0;
    AbcMemo abc;
    LazyItems* lazy = nullptr;  // the innermost unpinned items read in place
    bool have_iterator_class = false;

    // Called before every interpreter call that may run Python code.
    void may_run_python() {
        ++python_calls;
        stack.pin_all();
        for (LazyItems* items = std::exchange(lazy, nullptr); items != nullptr; items = items->outer_) {
            items->pin();
        }
    }
};

inline LazyItems::LazyItems(Walk& walk) noexcept : walk_(walk), outer_(walk.lazy) { walk.lazy = this; }
inline LazyItems::~LazyItems() {
    if (walk_.lazy == this) {
        walk_.lazy = outer_;
    }
}

// Compares a with b at `path` and appends the differences found there and below.
void corvane_dispatch(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

// Walks two mappings by key: removed items and common keys first, then added items.
void corvane_map(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

// Drains two iterators, a first, and compares them by position; a length mismatch comes
// after everything found inside the elements.
void corvane_iter(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

// The same walk over two sequences, each read through a new iterator (a's made first), or,
// for a list or tuple, directly, which nothing can tell apart.
void compare_sequences(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

}  // namespace corvane
