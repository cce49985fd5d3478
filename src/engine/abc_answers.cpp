// Reading the abstract classes' answers from their caches: the checks that the machinery is the
// stock one and that nothing would observe the call, then the copy of a class's caches and the
// search for a type in it. Nothing here calls Python code; the one exception, compiling the
// reference code once, is made through the gate.
#include "engine/abc_answers.h"

#include "engine/python_calls.h"
#include "engine/walk.h"

#include <cstring>
#include <vector>

namespace corvane {
namespace {

// The stock ABCMeta.__instancecheck__, compiled by this interpreter as its bytecode reference.
constexpr const char* kReferenceSource =
    "def __instancecheck__(cls, instance):\n"
    "    return _abc_instancecheck(cls, instance)\n";

// Code flags that would make a call of the function do more than run its body.
constexpr int kCallShapeFlags =
    CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE;

// The Python frame of a check needs one level of the recursion limit; keep a few spare.
constexpr int kFrameMargin = 4;

// The user tools of sys.monitoring (0 to 5; 6 and 7 serve sys.settrace and sys.setprofile).
constexpr long kUserTools = 6;

// Drops an error raised by the interpreter's own C code (a TypeError, a MemoryError): an
// exception of a built-in type, whose release runs no Python code.
void drop_quiet_error() noexcept { Ref::steal(PyErr_GetRaisedException()).reset(); }

// Whether every key of `dict` is an exact str: a lookup of an exact str in it then compares
// keys by the interpreter's own string equality.
bool str_keys_only(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// The entry of a module's method table called `name`, with exactly the flags given.
PyMethodDef* method_of(PyModuleDef* def, const char* name, int flags) noexcept {
    for (PyMethodDef* m = def != nullptr ? def->m_methods : nullptr; m != nullptr && m->ml_name != nullptr; ++m) {
        if (std::strcmp(m->ml_name, name) == 0) {
            return m->ml_flags == flags ? m : nullptr;
        }
    }
    return nullptr;
}

// A module made by C code from a definition named `name`, or null.
PyModuleDef* c_module_def(PyObject* module, const char* name) noexcept {
    if (module == nullptr || !PyModule_CheckExact(module)) {
        return nullptr;
    }
    PyModuleDef* def = PyModule_GetDef(module);
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, name) == 0 ? def : nullptr;
}

// Looks `name` up along a type's MRO as the interpreter's attribute lookup does, where every
// heap type's dict on the way holds only exact str keys (static types' dicts cannot change);
// sets `ok` to false where that cannot be vouched for. A new reference, or null when absent.
Ref lookup_in_mro(PyTypeObject* type, PyObject* name, bool& ok) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) {
        ok = false;
        return Ref();
    }
    for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) {
            ok = false;
            break;
        }
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        bool heap = PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_HEAPTYPE);
        if (!dict || !PyDict_CheckExact(dict.get()) || (heap && !str_keys_only(dict.get()))) {
            ok = false;
            break;
        }
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &found) < 0) {
            drop_quiet_error();
            ok = false;
            break;
        }
        if (found != nullptr) {
            return Ref::steal(found);
        }
    }
    return Ref();
}

bool same_strings(PyObject* x, PyObject* y) noexcept {
    if (!PyTuple_CheckExact(x) || !PyTuple_CheckExact(y) || PyTuple_GET_SIZE(x) != PyTuple_GET_SIZE(y)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(x); ++i) {
        PyObject* a = PyTuple_GET_ITEM(x, i);
        PyObject* b = PyTuple_GET_ITEM(y, i);
        if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b) || PyUnicode_Compare(a, b) != 0) {
            return false;
        }
    }
    return true;
}

// Whether `code` does exactly what the reference does: the same bytecode, names and variables.
bool same_code(PyObject* code, PyObject* reference) {
    if (!PyCode_Check(code)) {
        return false;
    }
    auto* c = reinterpret_cast<PyCodeObject*>(code);
    auto* r = reinterpret_cast<PyCodeObject*>(reference);
    if (c->co_argcount != r->co_argcount || c->co_posonlyargcount != 0 || c->co_kwonlyargcount != 0 ||
        (c->co_flags & kCallShapeFlags) != 0 || !same_strings(c->co_names, r->co_names)) {
        return false;
    }
    Ref vars_c = Ref::steal(PyCode_GetVarnames(c));
    Ref vars_r = Ref::steal(PyCode_GetVarnames(r));
    Ref free_c = Ref::steal(PyCode_GetFreevars(c));
    Ref bytes_c = Ref::steal(PyCode_GetCode(c));
    Ref bytes_r = Ref::steal(PyCode_GetCode(r));
    if (!vars_c || !vars_r || !free_c || !bytes_c || !bytes_r) {
        drop_quiet_error();
        return false;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(bytes_c.get());
    return same_strings(vars_c.get(), vars_r.get()) && PyTuple_GET_SIZE(free_c.get()) == 0 &&
           n == PyBytes_GET_SIZE(bytes_r.get()) &&
           std::memcmp(PyBytes_AS_STRING(bytes_c.get()), PyBytes_AS_STRING(bytes_r.get()), static_cast<size_t>(n)) == 0;
}

// A cache of an abstract class, drained from the copy that the accelerator made of it.
std::vector<Ref> drain(PyObject* set) {
    std::vector<Ref> refs;
    refs.reserve(static_cast<size_t>(PySet_GET_SIZE(set)));
    while (PySet_GET_SIZE(set) > 0) {
        Ref ref = Ref::steal(PySet_Pop(set));  // our own copy: no hashing, no comparison
        if (!ref) {
            drop_quiet_error();
            break;
        }
        refs.push_back(std::move(ref));
    }
    return refs;
}

// 1 if `type` is among the weak references, 0 if not, -1 if a lookup of it could compare it
// with another entry (a live one of equal hash, whose equality may be Python code) or the cache
// holds something else.
int in_cache(const std::vector<Ref>& refs, PyTypeObject* type) noexcept {
    Py_hash_t hash = Py_HashPointer(type);  // how the hash of a static type is made
    int found = 0;
    for (const Ref& ref : refs) {
        if (!PyWeakref_CheckRefExact(ref.get())) {
            return -1;
        }
        auto* weak = reinterpret_cast<PyWeakReference*>(ref.get());
        if (weak->wr_object == reinterpret_cast<PyObject*>(type)) {
            found = 1;
        } else if (weak->hash == -1 || (weak->hash == hash && weak->wr_object != Py_None)) {
            return -1;
        }
    }
    return found;
}

// The process-wide facts about the machinery: what was found stock, re-examined when what the
// finding rests on moves (a type's version tag, a function's code). Only the attached thread
// touches it, and only while no Python code runs.
class Stock {
public:
    // Compiles the reference, once: through the gate, since compiling raises an audit event.
    void make_reference(Walk& walk) {
        if (reference_tried_) {
            return;
        }
        reference_tried_ = true;
        Ref module = compile_module(walk, kReferenceSource);
        if (!module) {
            return;
        }
        PyObject* consts = reinterpret_cast<PyCodeObject*>(module.get())->co_consts;
        for (Py_ssize_t i = 0; PyTuple_Check(consts) && i < PyTuple_GET_SIZE(consts); ++i) {
            if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) {
                reference_ = Ref::borrow(PyTuple_GET_ITEM(consts, i));
            }
        }
    }

    // Whether the machinery behind every class of metaclass type(cls) is the stock one, and
    // nothing would observe a check now.
    bool holds(PyObject* cls) {
        if (!reference_) {
            return false;
        }
        PyTypeObject* meta = Py_TYPE(cls);
        if (meta != meta_ || meta->tp_version_tag != meta_tag_ || meta_tag_ == 0) {
            if (!examine_meta(meta)) {
                return false;
            }
        }
        PyObject* code = PyFunction_GET_CODE(function_.get());
        if (code != code_.get()) {
            if (!same_code(code, reference_.get())) {
                return false;
            }
            code_ = Ref::borrow(code);
        }
        return genuine_global() && unobserved();
    }

    // Whether `cls` keeps its abc data as a plain value that its caches can be read from.
    bool holds_for_class(PyObject* cls, int which) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type == classes_[which] && type->tp_version_tag == class_tags_[which] && class_tags_[which] != 0) {
            return true;
        }
        classes_[which] = nullptr;
        if (!PyType_Check(cls) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
            !PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        // `_abc_impl` is found in the class's own dict: the lookup stops there.
        Ref dict = Ref::steal(PyType_GetDict(type));
        if (!dict || !PyDict_CheckExact(dict.get()) || !str_keys_only(dict.get())) {
            return false;
        }
        PyObject* impl = PyDict_GetItemWithError(dict.get(), names_.abc_impl);
        if (impl == nullptr || Py_TYPE(impl)->tp_descr_get != nullptr) {
            drop_quiet_error();
            return false;
        }
        classes_[which] = type;
        class_tags_[which] = type->tp_version_tag;
        return true;
    }

    // The caches of `cls` now, copied by the accelerator; false when they cannot be read.
    bool read_caches(PyObject* cls, AbcCaches& caches) {
        Ref copy = Ref::steal(get_dump_->ml_meth(abc_module_.get(), cls));  // (registry, cache, negative, version)
        if (!copy) {
            drop_quiet_error();
            return false;
        }
        PyObject* t = copy.get();
        if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 4 || !PySet_CheckExact(PyTuple_GET_ITEM(t, 1)) ||
            !PySet_CheckExact(PyTuple_GET_ITEM(t, 2)) || !PyLong_CheckExact(PyTuple_GET_ITEM(t, 3))) {
            return false;
        }
        Ref token = Ref::steal(get_token_->ml_meth(abc_module_.get(), nullptr));
        unsigned long long now = token && PyLong_CheckExact(token.get()) ? PyLong_AsUnsignedLongLong(token.get()) : 0;
        unsigned long long filled = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(t, 3));
        if (!token || PyErr_Occurred()) {
            drop_quiet_error();
            return false;
        }
        caches.positive = drain(PyTuple_GET_ITEM(t, 1));
        // The negative cache counts only while no registration has been made since it was filled.
        caches.negative = now == filled ? drain(PyTuple_GET_ITEM(t, 2)) : std::vector<Ref>();
        return true;
    }

private:
    struct Names {
        PyObject* instancecheck = nullptr;
        PyObject* abc_impl = nullptr;
        PyObject* abc_instancecheck = nullptr;

        bool make() {
            instancecheck = instancecheck != nullptr ? instancecheck : PyUnicode_InternFromString("__instancecheck__");
            abc_impl = abc_impl != nullptr ? abc_impl : PyUnicode_InternFromString("_abc_impl");
            abc_instancecheck =
                abc_instancecheck != nullptr ? abc_instancecheck : PyUnicode_InternFromString("_abc_instancecheck");
            if (instancecheck == nullptr || abc_impl == nullptr || abc_instancecheck == nullptr) {
                drop_quiet_error();
                return false;
            }
            return true;
        }
    };

    // The metaclass looks its instances' attributes up as type does, defines no _abc_impl of its
    // own, and its __instancecheck__ is a plain function with the stock code.
    bool examine_meta(PyTypeObject* meta) {
        meta_ = nullptr;
        function_.reset();
        code_.reset();
        if (!names_.make() || meta->tp_getattro != PyType_Type.tp_getattro ||
            !PyUnstable_Type_AssignVersionTag(meta)) {
            return false;
        }
        bool ok = true;
        Ref function = lookup_in_mro(meta, names_.instancecheck, ok);
        Ref impl = ok ? lookup_in_mro(meta, names_.abc_impl, ok) : Ref();
        if (!ok || impl || !function || !PyFunction_Check(function.get()) ||
            !same_code(PyFunction_GET_CODE(function.get()), reference_.get())) {
            return false;
        }
        code_ = Ref::borrow(PyFunction_GET_CODE(function.get()));
        function_ = std::move(function);
        meta_ = meta;
        meta_tag_ = meta->tp_version_tag;
        return true;
    }

    // The function's global _abc_instancecheck (its globals' keys all exact str, so that the
    // lookup runs no code) is the accelerator's own, bound to the module whose caches are read.
    bool genuine_global() {
        PyObject* globals = PyFunction_GET_GLOBALS(function_.get());
        if (!PyDict_CheckExact(globals) || !str_keys_only(globals)) {
            return false;
        }
        PyObject* fn = PyDict_GetItemWithError(globals, names_.abc_instancecheck);
        if (fn == nullptr || !PyCFunction_CheckExact(fn)) {
            drop_quiet_error();
            return false;
        }
        PyObject* module = PyCFunction_GET_SELF(fn);
        if (module != abc_module_.get()) {
            PyModuleDef* def = c_module_def(module, "_abc");
            PyMethodDef* check = method_of(def, "_abc_instancecheck", METH_FASTCALL);
            get_dump_ = method_of(def, "_get_dump", METH_O);
            get_token_ = method_of(def, "get_cache_token", METH_NOARGS);
            if (check == nullptr || get_dump_ == nullptr || get_token_ == nullptr) {
                abc_module_.reset();
                return false;
            }
            abc_module_ = Ref::borrow(module);
            instancecheck_def_ = check;
        }
        return reinterpret_cast<PyCFunctionObject*>(fn)->m_ml == instancecheck_def_;
    }

    // No profile or trace function, no sys.monitoring tool, and room for the check's frame.
    bool unobserved() {
        PyThreadState* state = PyThreadState_Get();
        if (state->c_profilefunc != nullptr || state->c_tracefunc != nullptr ||
            state->py_recursion_remaining < kFrameMargin) {
            return false;
        }
        if (PyMonitoring_EnterScope(monitoring_, &monitoring_version_, kEvents, kEventCount) < 0) {
            drop_quiet_error();
            return false;
        }
        uint8_t active = 0;
        for (const PyMonitoringState& s : monitoring_) {
            active |= s.active;
        }
        if ((active & ~gate_check::kOwnToolMask) != 0) {
            return false;
        }
        if (tools_version_ != monitoring_version_ || !tools_checked_) {
            tools_free_ = no_user_tools();
            tools_checked_ = true;
            tools_version_ = monitoring_version_;
        }
        return tools_free_;
    }

    // Whether no user tool is registered with sys.monitoring (whose local events on a code
    // object no global state shows): asked of the module's own C function.
    static bool no_user_tools() {
        PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
        PyMethodDef* get_tool = method_of(c_module_def(monitoring, "sys.monitoring"), "get_tool", METH_O);
        if (get_tool == nullptr) {
            drop_quiet_error();
            return false;
        }
        for (long tool = 0; tool < kUserTools; ++tool) {
            if (((1L << tool) & gate_check::kOwnToolMask) != 0) {
                continue;
            }
            Ref id = Ref::steal(PyLong_FromLong(tool));
            Ref name = id ? Ref::steal(get_tool->ml_meth(monitoring, id.get())) : Ref();
            if (!name || name.get() != Py_None) {
                drop_quiet_error();
                return false;
            }
        }
        return true;
    }

    static constexpr uint8_t kEvents[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    static constexpr Py_ssize_t kEventCount = sizeof kEvents;

    bool reference_tried_ = false;
    Ref reference_;
    Names names_;
    PyTypeObject* meta_ = nullptr;
    unsigned int meta_tag_ = 0;
    Ref function_;
    Ref code_;
    Ref abc_module_;
    PyMethodDef* instancecheck_def_ = nullptr;
    PyMethodDef* get_dump_ = nullptr;
    PyMethodDef* get_token_ = nullptr;
    PyTypeObject* classes_[2] = {nullptr, nullptr};
    unsigned int class_tags_[2] = {0, 0};
    PyMonitoringState monitoring_[kEventCount] = {};
    uint64_t monitoring_version_ = 0;
    uint64_t tools_version_ = 0;
    bool tools_checked_ = false;
    bool tools_free_ = false;
};

// Made once and never destroyed: what it holds must outlive the interpreter's finalization.
Stock& stock() {
    static Stock* made = new Stock();
    return *made;
}

}  // namespace

void AbcAnswers::remember(PyTypeObject* type, AbcTest test, int answer, uint64_t epoch) noexcept {
    if (test == AbcTest::Mapping && answer == 0 && type == &PyList_Type) {
        list_no_mapping_ = epoch;
    } else if (test == AbcTest::Mapping && answer == 0 && type == &PyTuple_Type) {
        tuple_no_mapping_ = epoch;
    }
    if (epoch != epoch_) {
        epoch_ = epoch;
        used_ = 0;
    }
    for (size_t i = 0; i < used_; ++i) {
        if (entries_[i].type == type) {
            entries_[i].answer[static_cast<int>(test)] = static_cast<int8_t>(answer);
            return;
        }
    }
    if (used_ < kSize) {
        entries_[used_] = Entry{type, {-1, -1}};
        entries_[used_++].answer[static_cast<int>(test)] = static_cast<int8_t>(answer);
    }
}

// What isinstance answers for an instance of `type` from the caches, or -1: in the cache, yes;
// otherwise in the (current) negative cache, no.
int AbcCaches::answer(PyTypeObject* type) const noexcept {
    int yes = in_cache(positive, type);
    if (yes != 0) {
        return yes;
    }
    return in_cache(negative, type) == 1 ? 0 : -1;
}

int AbcAnswers::read(Walk& walk, PyTypeObject* type, AbcTest test, PyObject* cls) {
    stock().make_reference(walk);
    uint64_t epoch = walk.epoch();
    int which = static_cast<int>(test);
    if (read_epoch_[which] != epoch) {
        read_epoch_[which] = epoch;
        // The machinery is looked at once an epoch for both classes (they share their metaclass).
        if (stock_epoch_ != epoch || stock_meta_ != Py_TYPE(cls)) {
            stock_epoch_ = epoch;
            stock_meta_ = Py_TYPE(cls);
            stock_ = stock().holds(cls);
        }
        readable_[which] = stock_ && stock().holds_for_class(cls, which) && stock().read_caches(cls, caches_[which]);
    }
    int answer = readable_[which] ? caches_[which].answer(type) : -1;
    if (answer >= 0) {
        remember(type, test, answer, epoch);
    }
    return answer;
}

}  // namespace corvane
