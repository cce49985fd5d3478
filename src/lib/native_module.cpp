// The companion package's native module, corvane_report._native: the same walk under the rules of
// data documents (engine/rules.h), for the tools, and the datasets' native helpers (lib/rows_native.h).
//
//   diff(a, b, /, *, missing, nan_equal=True, lists="align", keyed=(), unordered=(), budget=2000)
//
// `keyed` holds (pattern, key) pairs and `unordered` patterns; a pattern is a tuple of steps, each
// a str (a key or position by its text), None (`*`: one step) or Ellipsis (`**`: any number);
// a key is a tuple of str keys and int positions. The result is a list, in walk order, of
// (kind, path, a, b): kind one of "changed", "type_changed", "added", "removed", "length_changed",
// "inserted", "deleted", "unaligned"; path a tuple of keys and positions (for an added, removed,
// inserted or deleted item, its key or position is the last step); `missing` on the side that
// has no value, and the two lengths for "length_changed" and "unaligned".
#include "boundary.h"
#include "engine/align.h"
#include "engine/engine.h"
#include "engine/scalars.h"
#include "lib/arguments.h"
#include "lib/rows_native.h"

#ifdef Py_GIL_DISABLED
#error "corvane is built for the default (GIL) build of CPython only"
#endif


#include <cstring>

namespace corvane {
namespace {

Pattern pattern_of(PyObject* steps) {
    if (!PyTuple_Check(steps)) {
        bad_argument("a pattern is a tuple of steps");
    }
    Pattern pattern;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(steps); ++i) {
        PyObject* step = PyTuple_GET_ITEM(steps, i);
        if (step == Py_None) {
            pattern.push_back({PatternStep::Kind::One, Ref()});
        } else if (step == Py_Ellipsis) {
            pattern.push_back({PatternStep::Kind::Any, Ref()});
        } else if (PyUnicode_CheckExact(step)) {
            PatternStep text{PatternStep::Kind::Text, Ref::borrow(step)};
            long long number = position_of(step);
            text.numeric = number >= 0;
            text.number = text.numeric ? number : 0;
            pattern.push_back(std::move(text));
        } else {
            bad_argument("a pattern step is a str, None (*) or Ellipsis (**)");
        }
    }
    return pattern;
}

DataOptions options_of(int nan_equal, const char* lists, PyObject* keyed, PyObject* unordered, Py_ssize_t budget) {
    DataOptions options;
    options.nan_equal = nan_equal != 0;
    if (std::strcmp(lists, "align") == 0) {
        options.lists = ListMode::Align;
    } else if (std::strcmp(lists, "position") == 0) {
        options.lists = ListMode::Position;
    } else {
        bad_argument("lists is \"align\" or \"position\"");
    }
    if (!PyTuple_Check(keyed) || !PyTuple_Check(unordered) || budget < 0) {
        bad_argument("keyed and unordered are tuples, budget is not negative");
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keyed); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(keyed, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyTuple_Check(PyTuple_GET_ITEM(pair, 1))) {
            bad_argument("keyed holds (pattern, key) pairs");
        }
        ListKey key{pattern_of(PyTuple_GET_ITEM(pair, 0)), {}};
        PyObject* steps = PyTuple_GET_ITEM(pair, 1);
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(steps); ++k) {
            PyObject* step = PyTuple_GET_ITEM(steps, k);
            if (!PyUnicode_CheckExact(step) && !PyLong_CheckExact(step)) {
                bad_argument("a key's steps are str keys and int positions");
            }
            key.key.push_back(Ref::borrow(step));
        }
        options.keyed.push_back(std::move(key));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(unordered); ++i) {
        options.unordered.push_back(pattern_of(PyTuple_GET_ITEM(unordered, i)));
    }
    options.align_budget = static_cast<size_t>(budget);
    return options;
}

// A record's path as a tuple, with `last` appended when given.
Ref path_tuple(const KeyPath& path, PyObject* last) {
    size_t n = path.size() + (last != nullptr);
    Ref tuple = or_pending(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < path.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(path[i]));
    }
    if (last != nullptr) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(path.size()), Py_NewRef(last));
    }
    return tuple;
}

Ref entry(const char* kind, Ref path, PyObject* a, PyObject* b) {
    return or_pending(Py_BuildValue("(sNOO)", kind, path.release(), a, b));
}

Ref lengths_entry(const char* kind, const IterLenMismatch& record) {
    Ref path = path_tuple(record.path, nullptr);
    return or_pending(Py_BuildValue("(sNKK)", kind, path.release(), static_cast<unsigned long long>(record.a_len),
                                    static_cast<unsigned long long>(record.b_len)));
}

Ref entry_of(const Diff& diff, PyObject* missing) {
    switch (diff.index()) {
    case 0: {
        const auto& r = std::get<ValChange>(diff);
        return entry("changed", path_tuple(r.path, nullptr), r.first.get(), r.second.get());
    }
    case 1: {
        const auto& r = std::get<TypeAndValChange>(diff);
        return entry("type_changed", path_tuple(r.path, nullptr), r.first.get(), r.second.get());
    }
    case 2: {
        const DictDiff& r = std::get<DictItemAdded>(diff).diff;
        return entry("added", path_tuple(r.path, r.first.get()), missing, r.second.get());
    }
    case 3: {
        const DictDiff& r = std::get<DictItemRemoved>(diff).diff;
        return entry("removed", path_tuple(r.path, r.first.get()), r.second.get(), missing);
    }
    case 4:
        return lengths_entry("length_changed", std::get<IterLenMismatch>(diff));
    case 5: {
        const DictDiff& r = std::get<ItemInserted>(diff).diff;
        return entry("inserted", path_tuple(r.path, r.first.get()), missing, r.second.get());
    }
    case 6: {
        const DictDiff& r = std::get<ItemDeleted>(diff).diff;
        return entry("deleted", path_tuple(r.path, r.first.get()), r.second.get(), missing);
    }
    default:
        return lengths_entry("unaligned", std::get<Unaligned>(diff).lengths);
    }
}

PyObject* native_diff(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        static const char* kNames[] = {"", "", "missing", "nan_equal", "lists", "keyed", "unordered", "budget", nullptr};
        PyObject* a = nullptr;
        PyObject* b = nullptr;
        PyObject* missing = nullptr;
        int nan_equal = 1;
        const char* lists = "align";
        PyObject* keyed = nullptr;
        PyObject* unordered = nullptr;
        Py_ssize_t budget = 2000;
        Ref empty = or_pending(PyTuple_New(0));
        keyed = unordered = empty.get();
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpsOOn:diff", const_cast<char**>(kNames), &a, &b,
                                         &missing, &nan_equal, &lists, &keyed, &unordered, &budget)) {
            throw PythonError{};
        }
        if (missing == nullptr) {
            bad_argument("diff() needs missing=, the object that stands for an absent value");
        }
        DataOptions options = options_of(nan_equal, lists, keyed, unordered, budget);
        Ref hold_a = Ref::borrow(a);
        Ref hold_b = Ref::borrow(b);
        DiffList found = compare_data(a, b, options);
        Ref list = or_pending(PyList_New(static_cast<Py_ssize_t>(found.size())));
        for (size_t i = 0; i < found.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry_of(found[i], missing).release());
        }
        return list.release();
    });
}

PyMethodDef native_methods[] = {
    {"diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_diff)), METH_VARARGS | METH_KEYWORDS,
     "diff(a, b, /, *, missing, nan_equal=True, lists='align', keyed=(), unordered=(), budget=2000)\n--\n\n"
     "The differences of a and b under the rules of data documents, in walk order."},
    {"key_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_key_lines)), METH_FASTCALL,
     "key_lines(data, steps, partitions, number, final, /)\n--\n\n"
     "The whole lines of a chunk of JSON Lines checked, keyed and grouped by partition."},
    {"identical_spans", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_identical_spans)), METH_FASTCALL,
     "identical_spans(blob_a, offsets_a, positions_a, blob_b, offsets_b, positions_b, short, nan, /)\n--\n\n"
     "For each pair of rows, 0 when their bytes differ, 2 when identical but long or (nan) holding NaN, else 1."},
    {nullptr, nullptr, 0, nullptr},
};

int native_exec(PyObject*) noexcept {
    PyObject* ok = guarded([] {
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError, "corvane can be imported in the main interpreter only");
            throw PythonError{};
        }
        if (gate_check::install() < 0) {  // debug and sanitizer builds only
            throw PythonError{};
        }
        // The datetime types, imported now: during a walk the import would have to go through its
        // gate, and a data walk meets dates anywhere.
        void* api = PyCapsule_Import(kDateTimeCapsule, 0);
        if (api == nullptr) {
            throw PythonError{};
        }
        use_datetime_api(api);
        return Py_None;
    });
    return ok == nullptr ? -1 : 0;
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef native_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvane_report._native",
    .m_doc = "The rules of data documents, for the companion package's tools.",
    .m_size = 0,
    .m_methods = native_methods,
    .m_slots = native_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&corvane::native_module); }
