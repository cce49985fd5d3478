// The values of data documents that are neither strings nor numbers: bytes, and the dates, times
// and datetimes that YAML and TOML loaders make, compared exactly by their fields (the same instant
// in two offsets is equal; naive and aware ones are different kinds).
#pragma once

#include "engine/walk.h"

namespace corvane {

// The kinds of value of the data rules; Container for anything else (walked, or of no rule).
enum class ValueKind : uint8_t { Str, Int, Bool, Float, None, Bytes, Date, DateTime, Time, Container };

// The kind of an exact date, datetime or time, or Container.
ValueKind date_kind(PyObject* x) noexcept;

inline ValueKind value_kind(PyObject* x) noexcept {
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyUnicode_Type) {
        return ValueKind::Str;
    }
    if (type == &PyLong_Type) {
        return ValueKind::Int;
    }
    if (type == &PyFloat_Type) {
        return ValueKind::Float;
    }
    if (type == &PyBool_Type) {
        return ValueKind::Bool;
    }
    if (x == Py_None) {
        return ValueKind::None;
    }
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
        return ValueKind::Container;
    }
    if (type == &PyBytes_Type) {
        return ValueKind::Bytes;
    }
    // Subclasses of str, int and float are compared by their values, as their base types are.
    if (PyUnicode_Check(x)) {
        return ValueKind::Str;
    }
    if (PyLong_Check(x)) {
        return ValueKind::Int;
    }
    if (PyFloat_Check(x)) {
        return ValueKind::Float;
    }
    return date_kind(x);
}

enum class ScalarVerdict : uint8_t { Equal, Differ, OtherKind };

// Two values of the same kind among Bytes, Date, DateTime and Time. Aware datetimes and times in
// different time zones ask their offsets, through the gate (a tzinfo's code may be Python code).
ScalarVerdict compare_scalars(Walk& walk, PyObject* a, PyObject* b, ValueKind kind);

// A fingerprint of a date, a naive datetime or a naive time from its fields; false for an aware
// one (its instant needs its tzinfo's code).
bool scalar_fingerprint(PyObject* x, ValueKind kind, uint64_t& out) noexcept;

// The datetime C API (the capsule datetime.datetime_CAPI), imported by the module that runs data
// walks when it is made: an import runs Python code, which a walk would have to make through its
// gate. Until then no value is a date.
extern const char* const kDateTimeCapsule;
void use_datetime_api(void* api) noexcept;

}  // namespace corvane
