// Shared machinery of the result classes: the instance layout, making an instance, the
// deallocation, and the once-only storage of a class object.
#pragma once

#include "ref.h"

#include <atomic>

namespace corvane {

// An object header followed by the wrapped value, placement-constructed and destroyed by hand.
template <class Value>
struct Instance {
    PyObject_HEAD
    Value value;
};

template <class Value>
const Value& wrapped(PyObject* self) noexcept {
    return reinterpret_cast<Instance<Value>*>(self)->value;
}

// A new instance of `type` owning `value`, allocated through object's tp_new because the
// classes themselves cannot be called. nullptr with the exception set; `value` is released.
template <class Value>
PyObject* create_class_object(PyTypeObject* type, Value value) noexcept {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return nullptr;
    }
    PyObject* self = PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
    if (self == nullptr) {
        return nullptr;
    }
    new (&reinterpret_cast<Instance<Value>*>(self)->value) Value(std::move(value));
    return self;
}

template <class Value>
void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<Value>*>(self)->value.~Value();
    type->tp_free(self);
    Py_DECREF(type);
}

// One class object, made from its spec on first need and kept for the life of the process.
class ClassSlot {
public:
    constexpr ClassSlot(PyType_Spec* spec, const char* name) noexcept : spec_(spec), name_(name) {}

    // The class; nullptr with "An error occurred while initializing class X" set on failure.
    PyTypeObject* get() noexcept;
    const char* name() const noexcept { return name_; }

private:
    PyType_Spec* spec_;
    const char* name_;
    std::atomic<PyObject*> class_{nullptr};
};

// A new list of n empty slots. A failure is reported as unraisable and ends the read as an
// internal failure.
Ref new_list(size_t n);

// The flags every result class shares: plain, uncallable, final, not tracked by the collector.
constexpr unsigned kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace corvane
