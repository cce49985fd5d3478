// The walk's gate: pinning the views, releases that may run Python code, and the entry into
// the comparison.
#include "engine/dispatch.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

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

// Each entry is looked at right before its own release: an object that the array holds twice
// can be destroyed only by the second release.
void Walk::release_slowly(RefArray& refs) noexcept {
    size_t i = 0;
    for (; i < refs.size() && !release_may_run_python(refs[i]); ++i) {
        refs.reset(i);
    }
    if (i == refs.size()) {
        refs.clear();
        return;
    }
    release_or_keep(refs, parked_arrays_);  // from the first that could destroy its object on
}

void Walk::release_elements_from(size_t start) noexcept {
    std::vector<Ref>& items = elements_.items_;
    while (items.size() > start && !release_may_run_python(items.back().get())) {
        items.pop_back();
    }
    auto pop = [&] {
        while (items.size() > start) {
            items.pop_back();
        }
    };
    if (items.size() == start || unwinding()) {
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

// The interpreter raises RecursionError with "Stack overflow" when the stack pointer comes
// within a few pages of the end of the thread's stack, and a callee of the walk uses some more.
// So a RecursionError of that kind met with less than this much stack left (or half the stack,
// on a small one) is the walk's own depth; any other (Python's recursion limit, or one that
// user code raised) is the callee's own error.
namespace {

constexpr size_t kStackReserve = 256 * 1024;

bool stack_running_out() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return true;  // the stack cannot be measured: take the error as the walk's own
    }
    void* low = nullptr;
    size_t size = 0;
    int r = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    // The frame's address, not a local's: an instrumented build may keep locals elsewhere.
    auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    auto bottom = reinterpret_cast<uintptr_t>(low);
    if (r != 0 || sp < bottom || sp - bottom > size) {
        return true;
    }
    return sp - bottom < std::min(kStackReserve, size / 2);
}

// Whether the RecursionError `exc` carries the interpreter's own message: one exact str that
// begins with "Stack overflow". Read from its arguments, not through str(), which would run
// the __str__ of whatever object user code raised it with.
bool is_stack_overflow(PyObject* exc) {
    static constexpr char kPrefix[] = "Stack overflow";
    constexpr Py_ssize_t kLength = sizeof kPrefix - 1;
    Ref args = Ref::steal(PyException_GetArgs(exc));  // the exception keeps them too
    if (!args || !PyTuple_CheckExact(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) {
        return false;
    }
    PyObject* text = PyTuple_GET_ITEM(args.get(), 0);
    return PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) && PyUnicode_GET_LENGTH(text) >= kLength &&
           std::memcmp(PyUnicode_1BYTE_DATA(text), kPrefix, kLength) == 0;
}

}  // namespace

bool stack_exhausted() {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError)) {
        return false;
    }
    if (!stack_running_out()) {
        return false;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    bool overflow = Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_RecursionError)) &&
                    is_stack_overflow(exc.get());
    PyErr_SetRaisedException(exc.release());
    return overflow;
}

DiffList compare(PyObject* a, PyObject* b) {
    Walk walk;
    fetch_abc(walk);
    corvane_dispatch(walk, Operand(a), Operand(b), nullptr);
    walk.finish();
    return std::move(walk.out);
}

}  // namespace corvane
