// Owning reference handle and the one internal-failure channel shared by every area.
// A Ref owns exactly one strong reference; every failing interpreter call ends in Failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "gate_check.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {

// Move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (PyObject* p = std::exchange(p_, nullptr)) {
            gate_check::on_release(p);
            Py_DECREF(p);
        }
    }
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A fixed array of owned references made in one allocation (a key path, what a pin copies).
// It stores the pointers themselves, so that a view reads its copy exactly as it read the
// container; each entry is put in from a Ref (taking over its reference), and the entries are
// released first to last with the array.
class RefArray {
public:
    RefArray() noexcept = default;
    explicit RefArray(size_t size) : items_(new PyObject*[size]()), size_(size) {}
    RefArray(RefArray&& other) noexcept
        : items_(std::move(other.items_)), size_(std::exchange(other.size_, 0)) {}
    RefArray& operator=(RefArray&& other) noexcept {
        if (this != &other) {
            clear();
            items_ = std::move(other.items_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~RefArray() { clear(); }

    size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return items_ != nullptr; }
    PyObject* const* data() const noexcept { return items_.get(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i]; }
    void put(size_t i, Ref ref) noexcept { items_[i] = ref.release(); }
    // Releases one entry now.
    void reset(size_t i) noexcept { Py_CLEAR(items_[i]); }
    // Leaves every entry owned by nobody: a leak, for the one case where releasing is unsafe.
    void abandon() noexcept {
        items_.reset();
        size_ = 0;
    }
    void clear() noexcept {
        for (size_t i = 0; i < size_; ++i) {
            Py_XDECREF(items_[i]);
        }
        abandon();
    }

private:
    std::unique_ptr<PyObject*[]> items_;
    size_t size_ = 0;
};

// An internal failure on its way to the entry point. The exception that caused it travels
// with it and is described only there, once the stack has unwound (a RecursionError leaves
// too little stack to run repr() where it was raised).
struct Failure {
    std::string message;     // the fixed text of a failure that no exception caused
    Ref exception;           // the exception that caused it, if any
    bool passed_on = false;  // `exception` is a PanicException raised inside the comparison

    Failure(std::string text) : message(std::move(text)) {}
    Failure(Ref exc, bool panic) noexcept : exception(std::move(exc)), passed_on(panic) {}
    Failure(const Failure& other)
        : message(other.message), exception(other.exception.copy()), passed_on(other.passed_on) {}
    Failure& operator=(const Failure&) = delete;
};

// A Python exception is pending and goes to the caller as it is (a failed allocation of a
// result object, say): not an internal failure.
struct PythonError {};

// Takes the pending exception and throws the Failure that describes it. An exact
// PanicException resumes the failure it carries instead.
[[noreturn]] void fail_with_pending();

// Throws a Failure with a fixed message; no exception may be pending.
[[noreturn]] void fail(std::string message);

// Checks the result of an interpreter call that returns a new reference.
inline Ref check(PyObject* p) {
    if (p == nullptr) {
        fail_with_pending();
    }
    return Ref::steal(p);
}

// Takes the pending exception so that it can be discarded or reported on purpose. An exact
// PanicException is never absorbed: it resumes its internal failure. Nor is anything that is not
// an Exception (KeyboardInterrupt, SystemExit, ...), or a MemoryError: a Ctrl-C or memory running
// out inside a call whose errors the rules absorb ends the comparison as an internal failure
// carrying it, instead of being lost or turned into a wrong answer.
Ref take_absorbable_exception();

// Raises a PanicException carrying the failure's message, after writing the diagnostic (or,
// for a PanicException passed on, that exception) to standard error. Used only at the
// boundary: the entry point, the getters and the exec step.
void raise_panic(const Failure& failure) noexcept;

// The process-wide PanicException class, made on first need; nullptr with an exception
// set if it cannot be made.
PyObject* panic_exception_type() noexcept;

// Runs the body of a function that the interpreter calls: a Failure becomes a raised
// PanicException, a failed C++ allocation a MemoryError, and nothing crosses the C API frame.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const Failure& failure) {
        raise_panic(failure);
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "corvane: unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace corvane
