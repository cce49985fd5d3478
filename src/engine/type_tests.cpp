// The mapping, sequence and iterator tests, with the abstract classes they fall back on.
// Flags decide for dict, list and tuple; other objects ask isinstance, whose errors are
// reported as unraisable and count as a failed test. Answers for built-in types are remembered
// for the walk while nothing can have changed them (see walk.h).
#include "engine/type_tests.h"

#include "engine/python_calls.h"

#include <atomic>
#include <cstring>

namespace corvane {
namespace {

// An attribute of a module, imported by the first call before its walk borrows anything
// (fetch_abc) and kept for the life of the process. An import runs Python code: a fetch made
// during a walk would go through the gate like any other such call.
class CachedAttr {
public:
    constexpr CachedAttr(const char* module, const char* name) : module_(module), name_(name) {}

    PyObject* get(Walk& walk) {
        if (PyObject* attr = attr_.load(std::memory_order_acquire)) {
            return attr;
        }
        Ref attr = walk.python([this] {
            Ref module = check(PyImport_ImportModule(module_));
            return check(PyObject_GetAttrString(module.get(), name_));
        });
        return keep(std::move(attr));
    }

    // The attribute if it has been fetched, else null.
    PyObject* fetched() const noexcept { return attr_.load(std::memory_order_acquire); }

    // Two threads may race here; the first stored object wins and the other is dropped.
    PyObject* keep(Ref attr) {
        PyObject* expected = nullptr;
        if (attr_.compare_exchange_strong(expected, attr.get(), std::memory_order_acq_rel)) {
            return attr.release();
        }
        return expected;
    }

private:
    const char* module_;
    const char* name_;
    std::atomic<PyObject*> attr_{nullptr};
};

CachedAttr g_mapping("collections.abc", "Mapping");
CachedAttr g_sequence("collections.abc", "Sequence");
CachedAttr g_iterator("collections.abc", "Iterator");

// The abc cache token, which moves whenever any abstract class registers a subclass. It is read
// by calling the C accelerator's own function directly, never an attribute that Python code may
// have replaced: reading it runs no Python code.
class CacheToken {
public:
    // The token, or nothing when the accelerator's function is not available.
    std::optional<unsigned long long> read(Walk& walk) {
        PyObject* fn = function(walk);
        if (fn == nullptr) {
            return std::nullopt;
        }
        Ref token = Ref::steal(PyCFunction_GET_FUNCTION(fn)(PyCFunction_GET_SELF(fn), nullptr));
        unsigned long long value = token ? PyLong_AsUnsignedLongLong(token.get()) : 0;
        if (!token || PyErr_Occurred()) {
            discard_exception(walk);  // only an optimisation is lost
            return std::nullopt;
        }
        return value;
    }

private:
    static bool is_genuine(PyObject* fn) {
        if (!PyCFunction_Check(fn) || PyCFunction_GET_FLAGS(fn) != METH_NOARGS) {
            return false;
        }
        const char* name = reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name;
        PyObject* self = PyCFunction_GET_SELF(fn);
        const char* module = self != nullptr && PyModule_Check(self) ? PyModule_GetName(self) : nullptr;
        return module != nullptr && std::strcmp(name, "get_cache_token") == 0 && std::strcmp(module, "_abc") == 0;
    }

    PyObject* function(Walk& walk) {
        if (checked_.load(std::memory_order_acquire)) {
            return fn_.fetched();
        }
        // A missing accelerator, or something else in its place, leaves no token: answers are
        // then never remembered, which costs speed only.
        PyObject* fn = nullptr;
        bool ok = walk.python([&] {
            Ref module = Ref::steal(PyImport_ImportModule("_abc"));
            Ref attr = module ? Ref::steal(PyObject_GetAttrString(module.get(), "get_cache_token")) : Ref();
            if (!attr) {
                return false;
            }
            if (is_genuine(attr.get())) {
                fn = fn_.keep(std::move(attr));
            }
            return !PyErr_Occurred();  // a module whose name cannot be read is not the accelerator
        });
        if (!ok) {
            discard_exception(walk);
        }
        checked_.store(true, std::memory_order_release);
        return fn;
    }

    CachedAttr fn_{"_abc", "get_cache_token"};
    std::atomic<bool> checked_{false};
};

CacheToken g_token;

// A type whose instances answer isinstance by their type alone: a static type with the
// generic attribute lookup cannot pretend to another __class__.
bool answer_depends_on_type_only(PyTypeObject* type) {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_getattro == PyObject_GenericGetAttr;
}

// isinstance(x, cls), or -1 with the exception pending. An answer for a built-in type is
// remembered, and the other remembered answers kept, when the check moved no registration.
int is_instance(Walk& walk, PyObject* x, AbcTest test, CachedAttr& cls_attr) {
    PyTypeObject* type = Py_TYPE(x);
    if (!answer_depends_on_type_only(type)) {
        PyObject* cls = cls_attr.get(walk);
        return walk.python([&] { return PyObject_IsInstance(x, cls); });
    }
    int known = walk.memo().find(type, test, walk.answers_epoch());
    if (known >= 0) {
        return known;
    }
    PyObject* cls = cls_attr.get(walk);
    std::optional<unsigned long long> before = g_token.read(walk);
    int r = walk.python_keeping_answers([&] { return PyObject_IsInstance(x, cls); });
    if (r < 0 || !before || g_token.read(walk) != before) {
        walk.void_answers();
        return r;
    }
    walk.memo().forget_yes();
    walk.memo().remember(type, test, r == 1, walk.answers_epoch());
    return r;
}

// An error in the test is reported and counts as a failed test, except running out of stack:
// that is this walk's own recursion ending, and answering "no" would report a false difference.
bool passes(Walk& walk, PyObject* x, AbcTest test, CachedAttr& cls) {
    int r = is_instance(walk, x, test, cls);
    if (r < 0) {
        if (stack_exhausted()) {
            fail_with_pending();
        }
        report_unraisable(walk, x);
        return false;
    }
    return r == 1;
}

}  // namespace

bool is_mapping(Walk& walk, PyObject* x) {
    return PyDict_Check(x) || passes(walk, x, AbcTest::Mapping, g_mapping);
}

bool is_sequence(Walk& walk, PyObject* x) {
    return PyList_Check(x) || PyTuple_Check(x) || passes(walk, x, AbcTest::Sequence, g_sequence);
}

bool is_iterator(Walk& walk, PyObject* x) {
    if (Py_TYPE(x)->tp_iternext != nullptr && PyIter_Check(x)) {
        return true;
    }
    g_iterator.get(walk);  // a failed test still needs the class that it describes
    return false;
}

void fetch_abc(Walk& walk) {
    if (g_iterator.fetched() != nullptr) {
        return;
    }
    g_token.read(walk);
    g_mapping.get(walk);
    g_sequence.get(walk);
    g_iterator.get(walk);
}

bool iterator_class_fetched() noexcept { return g_iterator.fetched() != nullptr; }

}  // namespace corvane
