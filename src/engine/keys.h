// Keys of dicts whose hashing and equality are the interpreter's own (exact str and int): telling
// two of them equal without a lookup, and whether a dict holds only such keys.
#pragma once

#include "engine/values.h"
#include "engine/walk.h"

#include <cstring>

namespace corvane {


// Whether every key of an exact dict is plain; while no Python code runs after this, a lookup
// of a plain key in it, and a membership test, run none either.
inline bool all_keys_plain(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!is_plain_key(key)) {
            return false;
        }
    }
    return true;
}

template <class Word>
inline Word load(const unsigned char* p) noexcept {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Equal bytes, compared inline with overlapping word loads: keys are short, and a call to
// memcmp costs more than they do.
inline bool same_bytes(const void* x, const void* y, size_t n) noexcept {
    const auto* p = static_cast<const unsigned char*>(x);
    const auto* q = static_cast<const unsigned char*>(y);
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8) {
            if (load<uint64_t>(p + i) != load<uint64_t>(q + i)) {
                return false;
            }
        }
        return load<uint64_t>(p + n - 8) == load<uint64_t>(q + n - 8);
    }
    if (n >= 4) {
        return (load<uint32_t>(p) == load<uint32_t>(q)) & (load<uint32_t>(p + n - 4) == load<uint32_t>(q + n - 4));
    }
    if (n >= 2) {
        return (load<uint16_t>(p) == load<uint16_t>(q)) & (load<uint16_t>(p + n - 2) == load<uint16_t>(q + n - 2));
    }
    return n == 0 || *p == *q;
}

// Two plain keys that a dict would take for the same key.
[[gnu::noinline]] inline bool plain_keys_equal(PyObject* x, PyObject* y) noexcept {
    if (x == y) {
        return true;
    }
    PlainKey kind = plain_kind(x);
    if (kind != plain_kind(y)) {
        return false;
    }
    switch (kind) {
    case PlainKey::Str: {
        Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        int width = PyUnicode_KIND(x);
        return n == PyUnicode_GET_LENGTH(y) && width == PyUnicode_KIND(y) &&
               same_bytes(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * width);
    }
    case PlainKey::Int:
        return data_ints_equal(x, y);
    case PlainKey::None:
        return false;  // only plain keys are compared here
    }
    return false;
}

// plain_keys_equal with the common cases inline: the same object, and two compact ASCII strings
// (told apart by their cached hashes first, which every dict key has).
[[gnu::always_inline]] inline bool keys_equal(PyObject* x, PyObject* y) noexcept {
    if (x == y) {
        return true;
    }
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y) && PyUnicode_IS_COMPACT_ASCII(x) &&
        PyUnicode_IS_COMPACT_ASCII(y)) {
        Py_hash_t hx = reinterpret_cast<PyASCIIObject*>(x)->hash;
        Py_hash_t hy = reinterpret_cast<PyASCIIObject*>(y)->hash;
        Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        return (hx == hy || hx == -1 || hy == -1) && n == PyUnicode_GET_LENGTH(y) &&
               same_bytes(PyUnicode_1BYTE_DATA(x), PyUnicode_1BYTE_DATA(y), static_cast<size_t>(n));
    }
    return plain_keys_equal(x, y);
}

// Whether a dict is exact with plain keys only, as seen in one epoch: a lookup of a plain key in
// it, and a membership test, then run no Python code for as long as the epoch lasts.
class PlainFact {
public:
    bool holds(uint64_t epoch) const noexcept { return plain_ && epoch_ == epoch; }
    bool known(uint64_t epoch) const noexcept { return epoch_ == epoch; }
    void set(bool plain, uint64_t epoch) noexcept {
        plain_ = plain;
        epoch_ = epoch;
    }
    // Looks at every key of `dict` now.
    void look(PyObject* dict, uint64_t epoch) noexcept { set(PyDict_CheckExact(dict) && all_keys_plain(dict), epoch); }

private:
    bool plain_ = false;
    uint64_t epoch_ = 0;
};

}  // namespace corvane
