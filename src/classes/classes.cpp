// Making the process-wide class objects, and the list allocation shared by the getters.
#include "classes/instance.h"

namespace corvane {

PyTypeObject* ClassSlot::get() noexcept {
    if (PyObject* cls = class_.load(std::memory_order_acquire)) {
        return reinterpret_cast<PyTypeObject*>(cls);
    }
    PyObject* made = PyType_FromSpec(spec_);
    if (made == nullptr) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    // Two threads may both make the class; the first one stored is kept by both.
    PyObject* expected = nullptr;
    if (!class_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return reinterpret_cast<PyTypeObject*>(expected);
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

Ref new_list(size_t n) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) {
        PyErr_WriteUnraisable(nullptr);
        fail("PyObject pointer is null");
    }
    return list;
}

}  // namespace corvane
