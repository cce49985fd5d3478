// The state of one comparison (records, views read in place, drained elements, the abstract
// classes' answers) and the one gate through which every interpreter call that may run Python
// code passes.
//
// Why the shortcuts are sound
// ---------------------------
// The walk borrows. It reads exact lists, tuples and dicts in place (InPlace, DictItems), reads
// b's values without lookups or with lookups that cannot run Python code (Lockstep), and reads
// what the abstract classes answer for built-in types from their own caches (AbcAnswers). Each
// shortcut holds only while nothing has changed since it was taken, and only Python code can
// change anything: the walk runs on one attached thread, and no other thread runs except where
// Python code runs. Python code runs in more places than user methods: every isinstance
// against an abstract class, lookups with keys whose hash or equality is Python code,
// iteration, length hints, imports, compiling (audit hooks), PyErr_CheckSignals (signal
// handlers, the garbage collector, debugger scripts), the unraisable hook, and the finalizers
// and weakref callbacks that a release can trigger.
//  1. Every such call goes through Walk::python(): the calls of python_calls.cpp are the only
//     code that makes them (the build checks which interpreter functions each engine file
//     calls), and Held and Walk::release make every release that could destroy an object (the
//     last reference to anything but an exact str, int or float, whose deallocation runs no
//     Python code). Before the call, the gate pins: every view still reading a container in
//     place takes references to what it may still read. No Python code has run since the view
//     began borrowing (it would have been pinned), so what it keeps is the container as the
//     view first saw it; and operands already read from a view stay alive and unchanged.
//  2. Borrowed pointers exist only inside views and as Operand values read from them. A view's
//     borrowed fields live in its Borrowed part, which the pin destroys (views.h); nothing else
//     can make an Operand (apart from an owned reference and the roots, which the entry point
//     holds), so no pointer read from a container outside a view can outlive a call.
//  3. Facts about containers (a dict's keys are all plain: exact str or int, whose hashing and
//     equality run no Python code) and the answers read from the abc caches carry the epoch
//     they were established in, which moves before and after every call through the gate. A
//     view that borrows again after a pin first establishes its facts anew in the current
//     epoch and joins the chain again; the chain is then empty (the pin emptied it, and the
//     walk is back at the view's own level).
// The debug and sanitizer builds check all of this as it runs (gate_check.h): Python code
// starting, or an object that could run it being released, while a view borrows outside the
// gate stops the process. Releases made while a failure unwinds bypass the gate: nothing
// borrowed is read after them.
#pragma once

#include "engine/abc_answers.h"
#include "engine/engine.h"
#include "engine/rules.h"
#include "engine/views.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace corvane {

// The elements that the drains in progress have taken, the innermost drain's last. A drain
// reads its own range by index and has it released when its walk ends.
class ElementStack {
public:
    size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i].get(); }
    Operand operand(size_t i) const noexcept { return Operand(items_[i].get()); }
    void push(Ref item) { items_.push_back(std::move(item)); }
    // Room for n more, growing geometrically so that repeated calls stay linear.
    void reserve_more(size_t n);

private:
    friend class Walk;
    std::vector<Ref> items_;
};

// Whether the deallocation of `obj` can run no Python code: an exact str, int or float.
inline bool releases_quietly(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type;
}

// Whether releasing one reference to `obj` could destroy it, and so run Python code.
inline bool release_may_run_python(PyObject* obj) noexcept {
    return obj != nullptr && Py_REFCNT(obj) == 1 && !releases_quietly(obj);
}

class Walk {
public:
    DiffList out;

    Walk() noexcept = default;
    // A walk under the data rules, with their options.
    explicit Walk(const DataOptions& options) noexcept : data_(&options) {}
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Moves before and after every call through the gate.
    uint64_t epoch() const noexcept { return epoch_; }
    ElementStack& elements() noexcept { return elements_; }
    AbcAnswers& abc() noexcept { return abc_; }
    // The data rules' options; only a walk under those rules asks.
    const DataOptions& data() const noexcept {
        gate_check::require(data_ != nullptr, "a walk under corvane's own rules asked for the data rules' options");
        return *data_;
    }

    // Makes `call`, an interpreter call that may run Python code: views pinned first, the epoch
    // moved before and after. The only way the engine makes such a call.
    template <class Call>
    auto python(Call&& call) -> decltype(call()) {
        pin_views();
        ++epoch_;
        EpochAfter after{*this};
        return call();
    }

    // Releases `ref`, through the gate when that could destroy the object.
    void release(Ref ref) {
        if (release_may_run_python(ref.get())) {
            python([&] { ref.reset(); });
            return;
        }
        Py_XDECREF(ref.release());  // not the last reference, or a quiet one
    }

    // The same for destructors, which cannot fail. While a failure of this walk unwinds,
    // nothing borrowed is read again and the release is plain. Where the gate cannot pin for
    // want of memory, the references are kept to the end of the walk, which then fails with
    // MemoryError.
    void release_in_destructor(Ref& ref) noexcept {
        if (release_may_run_python(ref.get())) {
            release_slowly(ref);
        }
        Py_XDECREF(ref.release());
    }
    void release_in_destructor(RefArray& refs) noexcept {
        if (refs) {
            release_slowly(refs);
        }
    }
    // Releases the elements from `start` on, as above; kept back, they stay on the stack.
    void release_elements_from(size_t start) noexcept;

    // Fails with MemoryError if a release had to be kept back; called when the walk is done.
    void finish() const;

private:
    friend class LazyView;
    struct EpochAfter {
        Walk& walk;
        ~EpochAfter() { ++walk.epoch_; }
    };
    static constexpr size_t kParked = 8;

    void pin_views();
    bool unwinding() const noexcept { return std::uncaught_exceptions() > borrowing_.uncaught_at_start; }
    void release_slowly(Ref& ref) noexcept;
    void release_slowly(RefArray& refs) noexcept;
    template <class Refs, size_t N>
    void release_or_keep(Refs& refs, Refs (&parked)[N]) noexcept;

    const DataOptions* data_ = nullptr;
    LazyView* lazy_ = nullptr;  // the innermost unpinned view
    // Exceptions in flight when the walk began (it may run inside a finalizer while another
    // walk's failure unwinds): one more means that this walk's own failure is unwinding.
    gate_check::Borrowing borrowing_{&lazy_, std::uncaught_exceptions()};
    gate_check::Scope checked_{&borrowing_};
    uint64_t epoch_ = 1;
    bool kept_back_ = false;
    ElementStack elements_;
    AbcAnswers abc_;
    // Releases that a failed pin kept back, made plainly when the walk ends.
    Ref parked_[kParked];
    RefArray parked_arrays_[kParked];
};

// The walk keeps the address of a view that lives on the C stack: the view takes it back in
// its destructor, or a pin takes the whole chain first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
inline LazyView::LazyView(Walk& walk, bool chained) noexcept : walk_(walk) {
    if (chained) {
        rechain();
    }
}
inline void LazyView::rechain() noexcept {
    gate_check::require(!chained_, "a view joined the chain while still in it");
    outer_ = walk_.lazy_;
    walk_.lazy_ = this;
    chained_ = true;
}
#pragma GCC diagnostic pop

// A chained view is the innermost one of the chain: views end in the order opposite to their
// start, and a pin empties the whole chain.
inline LazyView::~LazyView() {
    if (chained_) {
        gate_check::require(walk_.lazy_ == this, "a view ended while a view inside it was still borrowing");
        walk_.lazy_ = outer_;
    }
}

// An owned reference whose release goes through the walk's gate.
class Held {
public:
    Held(Walk& walk, Ref ref) noexcept : walk_(&walk), ref_(std::move(ref)) {}
    Held(Held&& other) noexcept : walk_(other.walk_), ref_(std::move(other.ref_)) {}
    Held& operator=(Held&&) = delete;
    ~Held() { walk_->release_in_destructor(ref_); }

    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
    PyObject* get() const noexcept { return ref_.get(); }
    Operand operand() const noexcept { return Operand(ref_.get()); }

    // Releases now, through the gate where needed.
    void reset() { walk_->release(std::move(ref_)); }
    // Releases what it holds, then holds `ref`.
    void replace(Ref ref) {
        reset();
        ref_ = std::move(ref);
    }

private:
    Walk* walk_;
    Ref ref_;
};

// The kinds of key whose hashing and equality are the interpreter's own: a lookup of one in a
// dict whose keys are all of these kinds runs no Python code. Widening this list needs a case
// in plain_keys_equal (keys.h), which the compiler asks for (-Wswitch-enum).
enum class PlainKey : uint8_t { Str, Int, None };

inline PlainKey plain_kind(PyObject* key) noexcept {
    PyTypeObject* type = Py_TYPE(key);
    if (type == &PyUnicode_Type) {
        return PlainKey::Str;
    }
    if (type == &PyLong_Type) {
        return PlainKey::Int;
    }
    return PlainKey::None;
}

inline bool is_plain_key(PyObject* key) noexcept { return plain_kind(key) != PlainKey::None; }

// The address below which this thread's stack has less than `reserve` bytes left (or less than
// half of it, on a small stack); 0 when the stack cannot be measured. Measured once a thread.
uintptr_t stack_floor(size_t reserve) noexcept;

// Holds one level of the interpreter's recursion check for the walk below it. The check
// measures the stack, with a margin of several pages between the point where it raises
// RecursionError and the end; the walk's frames for a few levels of nesting take far less than
// that margin, so the check is made at every kCheckEvery-th level only. (Instrumented builds
// have frames many times larger and check at every level.)
class RecursionGuard {
public:
#if defined(__SANITIZE_ADDRESS__) || defined(Py_DEBUG)
    static constexpr size_t kCheckEvery = 1;
#else
    static constexpr size_t kCheckEvery = 8;
#endif

    // `path`: the pair's path, whose length is its depth.
    explicit RecursionGuard(const PathFrame* path) : entered_(depth(path) % kCheckEvery == 0) {
        if (entered_ && Py_EnterRecursiveCall(" while comparing nested objects") != 0) {
            fail_with_pending();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }

private:
    static size_t depth(const PathFrame* path) noexcept { return path == nullptr ? 0 : path->depth(); }
    bool entered_;
};

// The walks, for either rule set (rules.h); each is instantiated for both.

// Walks two mappings by key: removed items and common keys first, then added items.
template <class Rules>
void corvane_map(Walk& walk, Operand a, Operand b, const PathFrame* path);

// The same walk over two exact dicts, read in place.
template <class Rules>
void compare_exact_dicts(Walk& walk, Operand a, Operand b, const PathFrame* path);

// Drains two iterators, a first, and compares them by position; a length mismatch comes
// after everything found inside the elements.
template <class Rules>
void corvane_iter(Walk& walk, Operand a, Operand b, const PathFrame* path);

// The same walk over two sequences, each read through a new iterator (a's made first), or,
// for an exact list or tuple, in place, which nothing can tell apart.
template <class Rules>
void compare_sequences(Walk& walk, Operand a, Operand b, const PathFrame* path);

// The same walk over two exact lists or tuples, both read in place.
template <class Rules>
void compare_in_place(Walk& walk, Operand a, Operand b, const PathFrame* path);

}  // namespace corvane
