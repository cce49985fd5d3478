// The state of one comparison (records, views read in place, drained elements, remembered
// answers) and the one gate through which every interpreter call that may run Python code passes.
//
// Why the shortcuts are sound
// ---------------------------
// The walk borrows. It reads exact lists, tuples and dicts in place (SeqItems, DictItems), reads
// b's values without lookups or with lookups that cannot run Python code (Lockstep), and
// remembers what the abstract-class checks answered for built-in types (AbcMemo). Each
// shortcut holds only while nothing has changed since it was taken, and only Python code can
// change anything: the walk runs on one attached thread, and no other thread runs except where
// Python code runs. Python code runs in more places than user methods: every isinstance
// against an abstract class, lookups with keys whose hash or equality is Python code,
// iteration, length hints, imports, PyErr_CheckSignals (signal handlers, the garbage
// collector, debugger scripts), the unraisable hook, and the finalizers and weakref callbacks
// that a release can trigger.
//  1. Every such call goes through Walk::python(): the wrappers of python_calls.h and the abc
//     checks are the only code that makes them, and Held and Walk::release make every release
//     that could destroy an object (the last reference to anything but an exact str, int or
//     float, whose deallocation runs no Python code). Before the call, the gate pins: every
//     view still reading a container in place copies, with references, what it may still read,
//     or holds what it has handed out. No Python code has run since the view began borrowing
//     (it would have been pinned), so a copy is the container as the view first saw it; and a
//     pin takes references to the very objects it copies, so operands already read from a view
//     stay valid and unchanged.
//  2. Borrowed pointers exist only inside views and as Operand values read from them. Nothing
//     else can make an Operand (apart from an owned reference and the roots, which the entry
//     point holds), so no pointer read from a container outside a view can outlive a call.
//  3. Facts about containers (a dict's keys are all plain: exact str or int, whose hashing and
//     equality run no Python code) carry the epoch they were established in, which moves
//     before and after every call through the gate. A view that borrows again after a pin
//     first establishes its facts anew in the current epoch and joins the chain again; the
//     chain is then empty (the pin emptied it, and the walk is back at the view's own level).
//  4. Remembered abc answers carry the answers' epoch, which moves around every call through
//     the gate except an abc check of a built-in type that moved no registration: the abc cache
//     token, read by calling the C accelerator's own function (no Python code), is the same
//     before and after it. Such a check runs only the abstract classes' own machinery (with its
//     caches filled, nothing else; the first time, the classes' subclass hooks). An answer is
//     never trusted past code that registered anything; every other call voids them all; and
//     each such check forgets the answers that were yes, which a hook that clears a registry
//     could have made stale. What this trusts: that code run inside the check of a built-in
//     type neither replaces the abc machinery nor turns a no into a yes by clearing a cache
//     under a subclass hook whose answer it changed (no stock class does either).
// The abstract classes and the token function are imported at the start of the first call,
// before anything is borrowed. Releases made while a failure unwinds bypass the gate: nothing
// borrowed is read after them.
#pragma once

#include "engine/engine.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace corvane {

class Walk;

// An operand of the comparison: a borrowed pointer that something keeps alive for as long as
// its pair is compared, pins included. Only views, owned references and the roots make them.
class Operand {
public:
    PyObject* get() const noexcept { return p_; }

private:
    explicit Operand(PyObject* p) noexcept : p_(p) {}
    PyObject* p_;

    friend class InPlace;
    friend class ElementStack;
    friend class DictItems;
    friend class ListedItems;
    friend class Lockstep;
    friend class Held;
    friend DiffList compare(PyObject* a, PyObject* b);
};

// A container read in place. Views nest as the walks do; until pinned they are chained
// innermost first, and `pin` copies, with references, whatever the view may still read.
class LazyView {
public:
    LazyView(const LazyView&) = delete;
    LazyView& operator=(const LazyView&) = delete;

protected:
    // A view that can never need a pin (one over owned or immutable items) is not chained.
    explicit LazyView(Walk& walk, bool chained = true) noexcept;
    virtual ~LazyView();
    virtual void pin() = 0;
    Walk& walk() const noexcept { return walk_; }
    // Joins the chain again, to borrow again after a pin, from the walk's own level.
    void rechain() noexcept;

private:
    friend class Walk;
    Walk& walk_;
    LazyView* outer_;
};

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

// The tests that ask collections.abc; their answers for built-in types can be remembered.
enum class AbcTest : uint8_t { Mapping, Sequence };

// Answers of the abc tests for built-in types, valid in one epoch: a few entries, searched in
// order (lists, tuples and None come first in practice).
class AbcMemo {
public:
    // 0 or 1, or -1 when there is no answer for this epoch.
    int find(PyTypeObject* type, AbcTest test, uint64_t epoch) const noexcept {
        if (epoch != epoch_) {
            return -1;
        }
        for (size_t i = 0; i < used_; ++i) {
            if (entries_[i].type == type) {
                return entries_[i].answer[static_cast<int>(test)];
            }
        }
        return -1;
    }

    void remember(PyTypeObject* type, AbcTest test, bool answer, uint64_t epoch) noexcept;

    // Forgets the answers that were yes: code run by another check may have unregistered
    // a type without moving the cache token (a registry cleared by a class's own hook).
    void forget_yes() noexcept {
        for (size_t i = 0; i < used_; ++i) {
            for (int8_t& answer : entries_[i].answer) {
                answer = answer == 1 ? -1 : answer;
            }
        }
    }

private:
    struct Entry {
        PyTypeObject* type;
        int8_t answer[2];
    };
    static constexpr size_t kSize = 8;
    uint64_t epoch_ = 0;
    Entry entries_[kSize] = {};
    size_t used_ = 0;
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

    Walk() = default;
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Moves before and after every call through the gate.
    uint64_t epoch() const noexcept { return epoch_; }
    // Moves with it, except around an abc check that moved no registration.
    uint64_t answers_epoch() const noexcept { return answers_epoch_; }
    ElementStack& elements() noexcept { return elements_; }
    AbcMemo& memo() noexcept { return memo_; }

    // Makes `call`, an interpreter call that may run Python code: views pinned first, both
    // epochs moved before and after. The only way the engine makes such a call.
    template <class Call>
    auto python(Call&& call) -> decltype(call()) {
        ++answers_epoch_;
        EpochAfter after{*this, true};
        return python_keeping_answers(call);
    }

    // The same for an abc check of a built-in type, which leaves the answers' epoch alone; the
    // check voids the answers itself when it moved a registration.
    template <class Call>
    auto python_keeping_answers(Call&& call) -> decltype(call()) {
        pin_views();
        ++epoch_;
        EpochAfter after{*this, false};
        return call();
    }
    void void_answers() noexcept { ++answers_epoch_; }

    // Releases `ref`, through the gate when that could destroy the object.
    void release(Ref ref) {
        if (release_may_run_python(ref.get())) {
            python([&] { ref.reset(); });
        }
    }

    // The same for destructors, which cannot fail. While a failure of this walk unwinds,
    // nothing borrowed is read again and the release is plain. Where the gate cannot pin for
    // want of memory, the references are kept to the end of the walk, which then fails with
    // MemoryError.
    void release_in_destructor(Ref& ref) noexcept {
        if (release_may_run_python(ref.get())) {
            release_slowly(ref);
        }
        ref.reset();
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
        bool answers;
        ~EpochAfter() { ++(answers ? walk.answers_epoch_ : walk.epoch_); }
    };
    static constexpr size_t kParked = 8;

    void pin_views();
    bool unwinding() const noexcept { return std::uncaught_exceptions() > uncaught_at_start_; }
    void release_slowly(Ref& ref) noexcept;
    void release_slowly(RefArray& refs) noexcept;
    template <class Refs, size_t N>
    void release_or_keep(Refs& refs, Refs (&parked)[N]) noexcept;

    LazyView* lazy_ = nullptr;  // the innermost unpinned view
    uint64_t epoch_ = 1;
    uint64_t answers_epoch_ = 1;
    // Exceptions in flight when the walk began (it may run inside a finalizer while another
    // walk's failure unwinds): one more means that this walk's own failure is unwinding.
    int uncaught_at_start_ = std::uncaught_exceptions();
    bool kept_back_ = false;
    ElementStack elements_;
    AbcMemo memo_;
    // Releases that a failed pin kept back, made plainly when the walk ends.
    Ref parked_[kParked];
    RefArray parked_arrays_[kParked];
};

// The walk keeps the address of a view that lives on the C stack: the view takes it back in
// its destructor, or a pin takes the whole chain first.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
inline LazyView::LazyView(Walk& walk, bool chained) noexcept : walk_(walk), outer_(walk.lazy_) {
    if (chained) {
        walk.lazy_ = this;
    }
}
#pragma GCC diagnostic pop

inline void LazyView::rechain() noexcept {
    outer_ = walk_.lazy_;
    walk_.lazy_ = this;
}

// An unpinned view is the innermost one of the chain (views end in the order opposite to
// their start, and a pin empties the whole chain).
inline LazyView::~LazyView() {
    if (walk_.lazy_ == this) {
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

// Keys whose hashing and equality are the interpreter's own: a lookup of one in a dict whose
// keys are all plain runs no Python code.
inline bool is_plain_key(PyObject* key) noexcept { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

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

// Walks two mappings by key: removed items and common keys first, then added items.
void corvane_map(Walk& walk, Operand a, Operand b, const PathFrame* path);

// Drains two iterators, a first, and compares them by position; a length mismatch comes
// after everything found inside the elements.
void corvane_iter(Walk& walk, Operand a, Operand b, const PathFrame* path);

// The same walk over two sequences, each read through a new iterator (a's made first), or,
// for an exact list or tuple, in place, which nothing can tell apart.
void compare_sequences(Walk& walk, Operand a, Operand b, const PathFrame* path);

}  // namespace corvane
