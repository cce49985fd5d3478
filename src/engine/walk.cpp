// The walk's gate: pinning the views, releases that may run Python code, and the entry into
// the comparison.
#include "engine/dispatch.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <pthread.h>

#include <algorithm>

namespace corvane {

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
        lazy_->chained_ = false;
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

uintptr_t stack_floor(size_t reserve) noexcept {
    thread_local uintptr_t low = 0;
    thread_local size_t size = 0;
    if (size == 0) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) {
            return 0;
        }
        void* base = nullptr;
        int r = pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        if (r != 0) {
            size = 0;
            return 0;
        }
        low = reinterpret_cast<uintptr_t>(base);
    }
    return low + std::min(reserve, size / 2);
}

// The roots, held by the entry point for the whole call.
class Roots {
public:
    static Operand of(PyObject* root) noexcept { return Operand(root); }
};

DiffList compare(PyObject* a, PyObject* b) {
    Walk walk;
    corvane_dispatch<PythonRules>(walk, Roots::of(a), Roots::of(b), nullptr);
    walk.finish();
    return std::move(walk.out);
}

DiffList compare_data(PyObject* a, PyObject* b, const DataOptions& options) {
    Walk walk(options);
    corvane_dispatch<DataRules>(walk, Roots::of(a), Roots::of(b), nullptr);
    walk.finish();
    return std::move(walk.out);
}

}  // namespace corvane
