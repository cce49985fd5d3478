// The entry point: argument binding with its exact TypeError messages, the comparison of the
// two roots, and the stable partition of the records into the five lists of an Output.
#include "lib/entrypoint.h"

#include "boundary.h"

#include "classes/classes.h"
#include "engine/engine.h"

#include <array>

namespace corvane {
namespace {

constexpr std::array<const char*, 2> kParams = {"a", "b"};

// The message may hold any character of a keyword name, NUL included.
[[noreturn]] void binding_error(const std::string& message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                               "replace"));
    if (text) {
        PyErr_SetObject(PyExc_TypeError, text.get());
    }
    throw PythonError{};
}

// str() of a keyword name, each character that UTF-8 cannot carry replaced by U+FFFD.
std::string keyword_text(PyObject* name) {
    Ref text = Ref::steal(PyObject_Str(name));
    if (!text) {
        discard_error();
        text = Ref::borrow(name);
    }
    std::string out;
    int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text.get()); ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        char buf[4];
        int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int k = n - 1; k > 0; --k, c >>= 6) {
            buf[k] = static_cast<char>(0x80 | (c & 0x3F));
        }
        buf[0] = static_cast<char>(n == 1 ? c : (kLead[n] | c));
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// The slot a keyword name binds to, or -1 when it names no parameter.
int keyword_slot(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
        discard_error();
        return -1;
    }
    for (size_t slot = 0; slot < kParams.size(); ++slot) {
        if (std::string_view(text, static_cast<size_t>(size)) == kParams[slot]) {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

void report_missing(const std::array<PyObject*, 2>& slots) {
    std::string names;
    int missing = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == nullptr) {
            names += (missing++ == 0 ? "'" : "' and '");
            names += kParams[i];
        }
    }
    if (missing == 0) {
        return;
    }
    binding_error("corvane() missing " + std::to_string(missing) + " required positional argument" +
                  (missing == 1 ? "" : "s") + ": " + names + "'");
}

std::array<PyObject*, 2> extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    std::array<PyObject*, 2> slots = {nullptr, nullptr};
    for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(nargs, 2); ++i) {
        slots[static_cast<size_t>(i)] = args[i];
    }
    if (nargs > 2) {
        binding_error("corvane() takes 2 positional arguments but " + std::to_string(nargs) +
                      " were given");
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        int slot = keyword_slot(name);
        if (slot < 0) {
            binding_error("corvane() got an unexpected keyword argument '" + keyword_text(name) + "'");
        }
        if (slots[static_cast<size_t>(slot)] != nullptr) {
            binding_error(std::string("corvane() got multiple values for argument '") + kParams[slot] +
                          "'");
        }
        slots[static_cast<size_t>(slot)] = args[nargs + i];
    }
    report_missing(slots);
    return slots;
}

// Moves every record, in discovery order, onto the end of the vector of its kind.
OutputValue partition(DiffList diffs) {
    OutputValue value;
    for (Diff& diff : diffs) {
        switch (diff.index()) {
        case 0: value.val_changes.push_back(std::get<0>(std::move(diff))); break;
        case 1: value.type_and_val_changes.push_back(std::get<1>(std::move(diff))); break;
        case 2: value.dict_items_added.push_back(std::get<2>(std::move(diff)).diff); break;
        case 3: value.dict_items_removed.push_back(std::get<3>(std::move(diff)).diff); break;
        case 4: value.iter_len_mismatch.push_back(std::get<4>(std::move(diff))); break;
        default: break;  // the data rules' own records: never made under the module's rules
        }
    }
    return value;
}

OutputValue compare_roots(PyObject* a, PyObject* b) {
    Ref hold_a = Ref::borrow(a);
    Ref hold_b = Ref::borrow(b);
    OutputValue value = partition(compare(a, b));
    hold_b.reset();
    hold_a.reset();
    return value;
}

PyObject* python_entrypoint(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded([&] {
        auto [a, b] = extract_arguments_fastcall(args, nargs, kwnames);
        PyObject* out = create_output(compare_roots(a, b));
        if (out == nullptr) {
            throw PythonError{};
        }
        return out;
    });
}

}  // namespace

PyMethodDef corvane_method = {
    "corvane",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(python_entrypoint)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "corvane(a, b)\n--\n\n",
};

}  // namespace corvane
