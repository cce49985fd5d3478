// The mapping, sequence and iterator tests, with the abstract classes they fall back on.
// Flags decide for dict, list and tuple; other objects ask isinstance, whose errors are
// reported as unraisable and count as a failed test.
#include "engine/calls.h"

#include <atomic>
#include <unordered_map>

namespace corvane {
namespace {

// An attribute of a module, imported on first need and kept for the life of the process.
class CachedAttr {
public:
    constexpr CachedAttr(const char* module, const char* name) : module_(module), name_(name) {}

    PyObject* get() {
        if (PyObject* attr = attr_.load(std::memory_order_acquire)) {
            return attr;
        }
        Ref module = check(PyImport_ImportModule(module_));
        Ref attr = check(PyObject_GetAttrString(module.get(), name_));
        PyObject* expected = nullptr;
        // Two threads may race here; the first stored object wins and the other is dropped.
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

CachedAttr g_cache_token("abc", "get_cache_token");

// abc.get_cache_token(): it changes whenever any abstract class registers a subclass.
long long abc_cache_token() {
    Ref token = check(PyObject_CallNoArgs(g_cache_token.get()));
    long long value = PyLong_AsLongLong(token.get());
    if (value == -1 && PyErr_Occurred()) {
        fail_with_pending();
    }
    return value;
}

// A type whose instances answer isinstance by their type alone: a static type with the
// generic attribute lookup cannot pretend to another __class__. For those types the answer
// can change only through a registration, which moves the abc cache token.
bool answer_depends_on_type_only(PyTypeObject* type) {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_getattro == PyObject_GenericGetAttr;
}

// One abstract class of collections.abc with the answers it gave for built-in types.
class AbcTest {
public:
    explicit AbcTest(const char* name) : cls_("collections.abc", name) {}

    PyObject* cls() { return cls_.get(); }

    // isinstance(x, cls), or -1 with the exception pending.
    int is_instance(PyObject* x) {
        PyTypeObject* type = Py_TYPE(x);
        if (!answer_depends_on_type_only(type)) {
            return PyObject_IsInstance(x, cls());
        }
        long long token = abc_cache_token();
        if (std::optional<bool> known = lookup(type, token)) {
            return *known;
        }
        int r = PyObject_IsInstance(x, cls());
        if (r >= 0) {
            store(type, token, r == 1);
        }
        return r;
    }

private:
    std::optional<bool> lookup(PyTypeObject* type, long long token) {
        PyMutex_Lock(&lock_);
        std::optional<bool> found;
        if (token == token_) {
            auto it = answers_.find(type);
            if (it != answers_.end()) {
                found = it->second;
            }
        }
        PyMutex_Unlock(&lock_);
        return found;
    }

    void store(PyTypeObject* type, long long token, bool answer) {
        PyMutex_Lock(&lock_);
        if (token != token_) {
            answers_.clear();
            token_ = token;
        }
        answers_[type] = answer;
        PyMutex_Unlock(&lock_);
    }

    CachedAttr cls_;
    PyMutex lock_{};
    long long token_ = -1;
    std::unordered_map<PyTypeObject*, bool> answers_;
};

AbcTest g_mapping("Mapping");
AbcTest g_sequence("Sequence");
AbcTest g_iterator("Iterator");

bool passes(PyObject* x, AbcTest& test) {
    int r = test.is_instance(x);
    if (r < 0) {
        report_unraisable(x);
        return false;
    }
    return r == 1;
}

}  // namespace

bool is_mapping(PyObject* x) { return PyDict_Check(x) || passes(x, g_mapping); }

bool is_sequence(PyObject* x) { return PyList_Check(x) || PyTuple_Check(x) || passes(x, g_sequence); }

bool is_iterator(PyObject* x) {
    if (PyIter_Check(x)) {
        return true;
    }
    g_iterator.cls();  // a failed test still needs the class that it describes
    return false;
}

}  // namespace corvane
