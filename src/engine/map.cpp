// The mapping walk: the items of a, each looked up in b (a failed lookup means removed), then
// the items of b, taken only after that, each tested for membership in a (absent means added).
#include "engine/calls.h"
#include "engine/engine.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace corvane {
namespace {

// The items of an exact dict, as its items list would hold them: read in place while no
// Python code runs, and copied, from the current item on, before any does.
class DictItems final : public LazyItems {
public:
    DictItems(Walk& walk, PyObject* dict) noexcept : LazyItems(walk), dict_(dict) {}
    ~DictItems() override {
        for (PyObject* item : copy_) {
            Py_DECREF(item);
        }
    }

    // The next key and value, held until the next call; false after the last.
    bool next(PyObject*& key, PyObject*& value) {
        if (!pinned_) {
            if (!PyDict_Next(dict_, &pos_, &key, &value)) {
                return false;
            }
            current_key_ = key;
            current_value_ = value;
            keys_plain_ = keys_plain_ && is_plain_key(key);
            return true;
        }
        if (read_ + 2 > copy_.size()) {
            return false;
        }
        key = copy_[read_];
        value = copy_[read_ + 1];
        read_ += 2;
        return true;
    }

    // Every key read so far is a plain key.
    bool keys_plain() const noexcept { return keys_plain_; }

    // Copies, with references, the current item (still in use) and every item not yet read.
    void pin() override {
        std::vector<PyObject*> rest;
        if (current_key_ != nullptr) {
            rest.push_back(current_key_);
            rest.push_back(current_value_);
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict_, &pos_, &key, &value)) {
            rest.push_back(key);
            rest.push_back(value);
        }
        for (PyObject* item : rest) {
            Py_INCREF(item);
        }
        copy_ = std::move(rest);
        read_ = current_key_ != nullptr ? 2 : 0;
        pinned_ = true;
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    PyObject* current_key_ = nullptr;  // borrowed, until pinned
    PyObject* current_value_ = nullptr;
    std::vector<PyObject*> copy_;  // owned, once pinned
    size_t read_ = 0;
    bool pinned_ = false;
    bool keys_plain_ = true;
};

// The items of any other mapping: the list that items() returns, read by position within both
// its starting and its current length, since code run by the walk may still hold and change
// that very list. Each element must be a tuple of a key, a value and perhaps more.
class ListedItems {
public:
    ListedItems(Walk& walk, PyObject* mapping) : list_(mapping_items(walk, mapping)) {
        len_ = PyList_GET_SIZE(list_.get());
    }

    bool next(PyObject*& key, PyObject*& value) {
        if (pos_ >= std::min(len_, PyList_GET_SIZE(list_.get()))) {
            return false;
        }
        Ref element = Ref::borrow(PyList_GET_ITEM(list_.get(), pos_++));
        if (!PyTuple_Check(element.get())) {
            fail("mapping items must be tuples of a key and a value, got an item of type " +
                 std::string(Py_TYPE(element.get())->tp_name));
        }
        key = PyTuple_GetItem(element.get(), 0);
        value = key != nullptr ? PyTuple_GetItem(element.get(), 1) : nullptr;
        if (value == nullptr) {
            fail_with_pending();
        }
        current_ = std::move(element);
        return true;
    }

    bool keys_plain() const noexcept { return false; }

private:
    Ref list_;
    Ref current_;
    Py_ssize_t len_;
    Py_ssize_t pos_ = 0;
};

bool dict_keys_plain(PyObject* dict) {
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

// Two plain keys that a dict would take for the same key.
bool plain_keys_equal(PyObject* x, PyObject* y) {
    if (x == y) {
        return true;
    }
    if (Py_TYPE(x) != Py_TYPE(y)) {
        return false;
    }
    if (PyUnicode_CheckExact(x)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        int kind = PyUnicode_KIND(x);
        return n == PyUnicode_GET_LENGTH(y) && kind == PyUnicode_KIND(y) &&
               std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * kind) == 0;
    }
    return PyObject_RichCompareBool(x, y, Py_EQ) == 1;  // two exact ints: no Python code
}

// The items of b read in step with those of a, for as long as both hold equal plain keys in
// the same order (as two documents parsed alike do): each value of b is then found without a
// lookup, and b's keys are seen to be plain along the way.
class Lockstep {
public:
    explicit Lockstep(PyObject* b) noexcept : b_(b) {}

    // b's value for `key` when b's next item has that key; null ends the lockstep for good.
    PyObject* match(PyObject* key) noexcept {
        PyObject* key_b = nullptr;
        PyObject* value_b = nullptr;
        if (active_ && is_plain_key(key) && PyDict_Next(b_, &pos_, &key_b, &value_b) &&
            is_plain_key(key_b) && plain_keys_equal(key, key_b)) {
            return value_b;
        }
        active_ = false;
        return nullptr;
    }
    bool active() const noexcept { return active_; }

private:
    PyObject* b_;
    Py_ssize_t pos_ = 0;
    bool active_ = true;
};

template <class Variant>
void add_item_record(Walk& walk, const PathFrame* path, PyObject* key, PyObject* value) {
    walk.out.emplace_back(std::in_place_type<Variant>,
                          DictDiff(materialize(path), Ref::borrow(key), Ref::borrow(value)));
}

// Calls `body` with the items of `mapping`: read in place for an exact dict, listed by
// items() for any other mapping.
template <class Body>
void with_items(Walk& walk, PyObject* mapping, Body&& body) {
    if (PyDict_CheckExact(mapping)) {
        DictItems items(walk, mapping);
        body(items);
        return;
    }
    ListedItems items(walk, mapping);
    body(items);
}

// The second pass: every key of b that a does not contain is an added item.
template <class ItemsB>
void second_pass(Walk& walk, PyObject* a, ItemsB& items_b, const PathFrame* path, bool a_plain) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (items_b.next(key, value)) {
        if (!contains(walk, a, key, a_plain && is_plain_key(key))) {
            add_item_record<DictItemAdded>(walk, path, key, value);
        }
    }
}

template <class ItemsA>
void walk_items(Walk& walk, ItemsA& items_a, PyObject* a, PyObject* b, const PathFrame* path) {
    // Lookups of plain keys in a dict with plain keys run no Python code; the claim holds only
    // while nothing else has run Python code either (which could have changed b). While b is
    // read in step with a, its keys seen so far are plain; the rest are looked at once it ends.
    uint64_t calls_at_start = walk.python_calls;
    bool both_dicts = std::is_same_v<ItemsA, DictItems> && PyDict_CheckExact(b);
    Lockstep lockstep(b);
    bool plain = both_dicts;
    size_t found = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (items_a.next(key, value)) {
        bool unchanged = walk.python_calls == calls_at_start;
        Ref value_b;
        if (both_dicts && unchanged && lockstep.active()) {
            value_b = Ref::borrow(lockstep.match(key));
            if (!value_b) {
                plain = dict_keys_plain(b);
            }
        }
        if (!value_b) {
            value_b = lookup_or_missing(walk, b, key, plain && unchanged && is_plain_key(key));
        }
        if (!value_b) {
            add_item_record<DictItemRemoved>(walk, path, key, value);
            continue;
        }
        ++found;
        PathFrame child = extend_keypath(path, key);
        corvane_dispatch(walk, value, value_b.get(), &child);
    }
    // Nothing ran Python code, all keys are plain and every key of b matched a distinct key of
    // a: the second pass would find every key of b in a and run no Python code. Skip it.
    bool a_plain = items_a.keys_plain() && walk.python_calls == calls_at_start;
    if (plain && a_plain && found == static_cast<size_t>(PyDict_GET_SIZE(b))) {
        return;
    }
    with_items(walk, b, [&](auto& items_b) { second_pass(walk, a, items_b, path, a_plain); });
}

}  // namespace

void corvane_map(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    with_items(walk, a, [&](auto& items_a) { walk_items(walk, items_a, a, b, path); });
}

}  // namespace corvane
