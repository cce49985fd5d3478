// The gate's calls: every interpreter function that the walks make and that may run Python
// code, each inside Walk::python(), and the absorbed errors.
#include "engine/python_calls.h"

#include <algorithm>
#include <cstring>

namespace corvane {
namespace {

// The interpreter raises RecursionError with "Stack overflow" when the stack pointer comes
// within a few pages of the end of the thread's stack, and a callee of the walk uses some more.
// So a RecursionError of that kind met with less than this much stack left (or half the stack,
// on a small one) is the walk's own depth; any other (Python's recursion limit, or one that
// user code raised) is the callee's own error.
constexpr size_t kStackReserve = 256 * 1024;

bool stack_running_out() {
    uintptr_t floor = stack_floor(kStackReserve);
    // The frame's address, not a local's: an instrumented build may keep locals elsewhere.
    return floor == 0 || reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

// Whether the RecursionError `exc` carries the interpreter's own message: one exact str that
// begins with "Stack overflow". Read from its arguments, not through str(), which would run
// the __str__ of whatever object user code raised it with.
bool is_stack_overflow(PyObject* exc) {
    static constexpr char kPrefix[] = "Stack overflow";
    constexpr Py_ssize_t kLength = sizeof kPrefix - 1;
    PyObject* args = PyException_GetArgs(exc);  // the exception keeps them too
    bool overflow = args != nullptr && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 1;
    PyObject* text = overflow ? PyTuple_GET_ITEM(args, 0) : nullptr;
    overflow = overflow && PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) &&
               PyUnicode_GET_LENGTH(text) >= kLength &&
               std::memcmp(PyUnicode_1BYTE_DATA(text), kPrefix, kLength) == 0;
    Py_XDECREF(args);  // not the last reference
    return overflow;
}

}  // namespace

bool stack_exhausted() {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError) || !stack_running_out()) {
        return false;
    }
    PyObject* exc = PyErr_GetRaisedException();
    bool overflow = Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_RecursionError)) && is_stack_overflow(exc);
    PyErr_SetRaisedException(exc);
    return overflow;
}

void discard_exception(Walk& walk) { walk.release(take_absorbable_exception()); }

void report_unraisable(Walk& walk, PyObject* obj) {
    Ref exc = take_absorbable_exception();
    walk.python([&] {
        PyErr_SetRaisedException(exc.release());
        PyErr_WriteUnraisable(obj);
    });
}

Held mapping_items(Walk& walk, Operand mapping) {
    return Held(walk, walk.python([&] { return check(PyMapping_Items(mapping.get())); }));
}

Held get_iter(Walk& walk, Operand obj) {
    return Held(walk, walk.python([&] { return check(PyObject_GetIter(obj.get())); }));
}

std::optional<Ref> next_item(Walk& walk, PyObject* iter) {
    PyObject* item = nullptr;
    int r = walk.python([&] { return PyIter_NextItem(iter, &item); });
    if (r < 0) {
        fail_with_pending();
    }
    if (r == 0) {
        return std::nullopt;
    }
    return Ref::steal(item);
}

// An exact dict is asked without making a KeyError for every missing key.
std::optional<Held> lookup_or_missing(Walk& walk, Operand mapping, Operand key) {
    PyObject* value = nullptr;
    int found = walk.python([&] {
        PyObject* m = mapping.get();
        if (PyDict_CheckExact(m)) {
            return PyDict_GetItemRef(m, key.get(), &value);
        }
        value = PyObject_GetItem(m, key.get());
        return value != nullptr ? 1 : -1;
    });
    if (found > 0) {
        return Held(walk, Ref::steal(value));
    }
    if (found < 0) {
        if (stack_exhausted()) {
            fail_with_pending();
        }
        discard_exception(walk);
    }
    return std::nullopt;
}

bool contains(Walk& walk, Operand container, Operand key) {
    int r = walk.python([&] {
        PyObject* c = container.get();
        return PyDict_CheckExact(c) ? PyDict_Contains(c, key.get()) : PySequence_Contains(c, key.get());
    });
    if (r < 0) {
        fail_with_pending();
    }
    return r == 1;
}

size_t length_hint_or_zero(Walk& walk, PyObject* iter) {
    Py_ssize_t hint = walk.python([&] { return PyObject_LengthHint(iter, 0); });
    if (hint < 0) {
        report_unraisable(walk, iter);
        return 0;
    }
    return static_cast<size_t>(hint);
}

void check_signals(Walk& walk) {
    if (walk.python([] { return PyErr_CheckSignals(); }) < 0) {
        fail_with_pending();
    }
}

int is_instance(Walk& walk, PyObject* x, PyObject* cls) {
    return walk.python([&] { return PyObject_IsInstance(x, cls); });
}

Ref import_attr(Walk& walk, const char* module, const char* name) {
    return walk.python([&] {
        Ref imported = check(PyImport_ImportModule(module));
        return check(PyObject_GetAttrString(imported.get(), name));
    });
}

Ref utc_offset(Walk& walk, PyObject* value) {
    return walk.python([&] { return check(PyObject_CallMethod(value, "utcoffset", nullptr)); });
}

Ref compile_module(Walk& walk, const char* source) {
    Ref code = walk.python([&] { return Ref::steal(Py_CompileString(source, "<corvane>", Py_file_input)); });
    if (!code) {
        discard_exception(walk);
    }
    return code;
}

}  // namespace corvane
