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

CachedAttr g_cache_token("_abc", "get_cache_token");

// The abc cache token, which changes whenever any abstract class registers a subclass. It is
// read from the C accelerator, not from abc, whose attribute Python code may have replaced:
// the checks themselves never call that attribute. (Were even this one Python code, calling
// it would run Python code, and the walk says so first.)
long long abc_cache_token(Walk& walk) {
    PyObject* get_token = g_cache_token.get();
    if (!PyCFunction_Check(get_token)) {
        walk.may_run_python();
    }
    Ref token = check(PyObject_CallNoArgs(get_token));
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

// One abstract class of collections.abc with the answers it gave for built-in types, kept
// per abc cache token for the process, and per walk while no Python code has run.
class AbcTest {
public:
    AbcTest(const char* name, int memo_slot) : cls_("collections.abc", name), slot_(memo_slot) {}

    PyObject* cls() { return cls_.get(); }

    // isinstance(x, cls), or -1 with the exception pending.
    int is_instance(Walk& walk, PyObject* x) {
        PyTypeObject* type = Py_TYPE(x);
        if (!answer_depends_on_type_only(type)) {
            return ask(walk, x);
        }
        int known = walk.abc.find(type, slot_, walk.python_calls);
        if (known >= 0) {
            return known;
        }
        std::optional<long long> token = walk.abc.token(walk.python_calls);
        if (!token) {
            token = abc_cache_token(walk);
            walk.abc.set_token(*token, walk.python_calls);
        }
        std::optional<bool> answer = lookup(type, *token);
        if (!answer) {
            int r = ask(walk, x);
            if (r < 0) {
                return r;
            }
            answer = r == 1;
            store(type, *token, *answer);
        }
        walk.abc.remember(type, slot_, *answer, walk.python_calls);
        return *answer;
    }

private:
    int ask(Walk& walk, PyObject* x) {
        PyObject* cls = cls_.get();
        walk.may_run_python();
        return PyObject_IsInstance(x, cls);
    }

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
    int slot_;
    PyMutex lock_{};
    long long token_ = -1;
    std::unordered_map<PyTypeObject*, bool> answers_;
};

AbcTest g_mapping("Mapping", AbcMemo::kMapping);
AbcTest g_sequence("Sequence", AbcMemo::kSequence);
CachedAttr g_iterator("collections.abc", "Iterator");

// An error in the test is reported and counts as a failed test, except running out of stack:
// that is this walk's own recursion ending, and answering "no" would report a false difference.
bool passes(Walk& walk, PyObject* x, AbcTest& test) {
    int r = test.is_instance(walk, x);
    if (r < 0) {
        if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
            fail_with_pending();
        }
        report_unraisable(x);
        return false;
    }
    return r == 1;
}

}  // namespace

bool is_mapping(Walk& walk, PyObject* x) { return PyDict_Check(x) || passes(walk, x, g_mapping); }

bool is_sequence(Walk& walk, PyObject* x) {
    return PyList_Check(x) || PyTuple_Check(x) || passes(walk, x, g_sequence);
}

bool is_iterator(Walk& walk, PyObject* x) {
    if (Py_TYPE(x)->tp_iternext != nullptr && PyIter_Check(x)) {
        return true;
    }
    if (!walk.have_iterator_class) {
        g_iterator.get();  // a failed test still needs the class that it describes
        walk.have_iterator_class = true;
    }
    return false;
}

}  // namespace corvane
