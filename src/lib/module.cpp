// The module definition and its exec step: the function `corvane` and the class `Output`
// are added and listed in __all__; the record classes are never module attributes.
#include "boundary.h"
#include "classes/classes.h"

// The walk's safety rests on one attached thread running at a time (see engine/walk.h).
#ifdef Py_GIL_DISABLED
#error "corvane is built for the default (GIL) build of CPython only"
#endif
#include "lib/entrypoint.h"

namespace corvane {
namespace {

// The module's __all__, made as an empty list if the module has none yet.
Ref module_all(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw PythonError{};
    }
    discard_error();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
        throw PythonError{};
    }
    return all;
}

// Lists `name` in __all__ and sets the attribute.
void add_public(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = module_all(module);
    if (PyList_Append(all.get(), name) < 0) {
        discard_error();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        throw PythonError{};
    }
}

Ref or_pending(PyObject* p) {
    if (p == nullptr) {
        throw PythonError{};
    }
    return Ref::steal(p);
}

// The process-wide objects (classes, the abstract classes the walk asks, the cache token's
// function) belong to the main interpreter: in another one they would answer for the wrong
// interpreter's classes, so the module is not made there.
void require_main_interpreter() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "corvane can be imported in the main interpreter only");
        throw PythonError{};
    }
}

int corvane_exec(PyObject* module) noexcept {
    PyObject* ok = guarded([module] {
        require_main_interpreter();
        if (gate_check::install() < 0) {  // debug and sanitizer builds only
            throw PythonError{};
        }
        Ref module_name = or_pending(PyModule_GetNameObject(module));
        Ref function = or_pending(PyCMethod_New(&corvane_method, module, module_name.get(), nullptr));
        Ref function_name = or_pending(PyObject_GetAttrString(function.get(), "__name__"));
        add_public(module, function_name.get(), function.get());

        PyTypeObject* output = output_class();
        if (output == nullptr) {
            throw PythonError{};
        }
        Ref output_name = or_pending(PyUnicode_FromString("Output"));
        add_public(module, output_name.get(), reinterpret_cast<PyObject*>(output));
        return Py_None;
    });
    return ok == nullptr ? -1 : 0;
}

PyModuleDef_Slot corvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(corvane_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef corvane_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvane",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = corvane_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit_corvane() { return PyModuleDef_Init(&corvane::corvane_module); }
