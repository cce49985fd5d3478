// The walk's gate: pinning the views, releases that may run Python code, and the entry into
// the comparison.
#include "engine/dispatch.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <pthread.h>

#include <algorithm>

namespace corvane {

void AbcMemo::remember(PyTypeObject* type, AbcTest test, bool answer, uint64_t epoch) noexcept {
    if (epoch != epoch_) {
        epoch_ = epoch;
        used_ = 0;
    }
    for (size_t i = 0; i < used_; ++i) {
        if (entries_[i].type == type) {
            entries_[i].answer[static_cast<int>(test)] = answer;
            return;
        }
    }
    if (used_ < kSize) {
        entries_[used_] = Entry{type, {-1, -1}};
        entries_[used_++].answer[static_cast<int>(test)] = answer;
    }
}

void ElementStack::reserve_more(size_t n) {
    if (items_.size() + n > items_.capacity()) {
        items_.reserve(std::max(items_.size() + n, 2 * items_.capacity()));
    }
}

// A view whose pin fails (no memory) stays chained with those outside it, unpinned.
void Walk::pin_views() {
    if (kept_back_) {
        throw std::bad_alloc();
    }
    while (lazy_ != nullptr) {
        lazy_->pin();
        lazy_ = lazy_->outer_;
    }
}

namespace {

void clear(Ref& ref) noexcept { ref.reset(); }
void clear(RefArray& refs) noexcept { refs.clear(); }
void abandon(Ref& ref) noexcept { ref.release(); }
void abandon(RefArray& refs) noexcept { refs.abandon(); }

}  // namespace

// Kept back, the references go to the first free place of `parked`; with none free they are
// leaked rather than released unsafely.
template <class Refs, size_t N>
void Walk::release_or_keep(Refs& refs, Refs (&parked)[N]) noexcept {
    if (unwinding()) {
        clear(refs);
        return;
    }
    try {
        python([&] { clear(refs); });
    } catch (...) {
        kept_back_ = true;
        Refs* slot = std::find_if(parked, parked + N, [](const Refs& r) { return !r; });
        if (slot != parked + N) {
            *slot = std::move(refs);
        } else {
            abandon(refs);
        }
    }
}

void Walk::release_slowly(Ref& ref) noexcept { release_or_keep(ref, parked_); }

void Walk::release_slowly(RefArray& refs) noexcept {
    if (!refs.release_may_run_python()) {
        refs.clear();
        return;
    }
    release_or_keep(refs, parked_arrays_);
}

void Walk::release_elements_from(size_t start) noexcept {
    std::vector<Ref>& items = elements_.items_;
    bool quiet = std::none_of(items.begin() + static_cast<ptrdiff_t>(start), items.end(),
                              [](const Ref& r) { return release_may_run_python(r.get()); });
    auto pop = [&] {
        while (items.size() > start) {
            items.pop_back();
        }
    };
    if (quiet || unwinding()) {
        pop();
        return;
    }
    try {
        python(pop);
    } catch (...) {
        kept_back_ = true;  // they stay on the stack, released by an outer walk or at the end
    }
}

void Walk::finish() const {
    if (kept_back_) {
        throw std::bad_alloc();
    }
}

void discard_exception(Walk& walk) { walk.release(take_exception_or_resume()); }

void report_unraisable(Walk& walk, PyObject* obj) {
    walk.python([obj] { report_unraisable(obj); });
}

// The interpreter raises RecursionError when the stack pointer comes within a few pages of the
// end of the thread's stack; a callee of the walk uses some more. So a RecursionError met with
// less than this much stack left (or half the stack, on a small one) is the walk's own depth.
constexpr size_t kStackReserve = 256 * 1024;

bool stack_exhausted() {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError)) {
        return false;
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return true;  // the stack cannot be measured: take the error as the walk's own
    }
    void* low = nullptr;
    size_t size = 0;
    int r = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    char here = 0;
    auto sp = reinterpret_cast<uintptr_t>(&here);
    auto bottom = reinterpret_cast<uintptr_t>(low);
    if (r != 0 || sp < bottom || sp - bottom > size) {
        return true;
    }
    return sp - bottom < std::min(kStackReserve, size / 2);
}

DiffList compare(PyObject* a, PyObject* b) {
    Walk walk;
    corvane_dispatch(walk, Operand(a), Operand(b), nullptr);
    walk.finish();
    return std::move(walk.out);
}

}  // namespace corvane
