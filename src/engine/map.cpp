// The mapping walk: the items of a, each looked up in b (a failed lookup means removed), then
// the items of b, taken only after that, each tested for membership in a (absent means added).
#include "engine/calls.h"
#include "engine/engine.h"

#include <algorithm>

namespace corvane {
namespace {

// An items-list element split into key and value. Anything but a tuple of two or more is a
// failure; the element's own reference keeps the two alive.
struct Item {
    Ref element;
    PyObject* key;
    PyObject* value;
};

Item item_at(PyObject* items, Py_ssize_t i) {
    Ref element = Ref::borrow(PyList_GET_ITEM(items, i));
    if (!PyTuple_Check(element.get())) {
        fail("mapping items must be tuples of a key and a value, got an item of type " +
             std::string(Py_TYPE(element.get())->tp_name));
    }
    PyObject* key = PyTuple_GetItem(element.get(), 0);
    PyObject* value = key != nullptr ? PyTuple_GetItem(element.get(), 1) : nullptr;
    if (value == nullptr) {
        fail_with_pending();
    }
    return Item{std::move(element), key, value};
}

// Positions below both the starting length and the current one: code run by the walk may
// still hold and change the very list that items() returned.
bool in_bounds(PyObject* items, Py_ssize_t start_len, Py_ssize_t i) {
    return i < std::min(start_len, PyList_GET_SIZE(items));
}

template <class Variant>
void add_item_record(const PathFrame* path, const Item& item, DiffList& out) {
    out.emplace_back(std::in_place_type<Variant>,
                     DictDiff(materialize(path), Ref::borrow(item.key), Ref::borrow(item.value)));
}

}  // namespace

void corvane_map(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out) {
    Ref items_a = mapping_items(a);
    Py_ssize_t len_a = PyList_GET_SIZE(items_a.get());
    for (Py_ssize_t i = 0; in_bounds(items_a.get(), len_a, i); ++i) {
        Item item = item_at(items_a.get(), i);
        Ref value_b = lookup_or_missing(b, item.key);
        if (!value_b) {
            add_item_record<DictItemRemoved>(path, item, out);
            continue;
        }
        PathFrame child = extend_keypath(path, item.key);
        corvane_dispatch(item.value, value_b.get(), &child, out);
    }

    Ref items_b = mapping_items(b);
    Py_ssize_t len_b = PyList_GET_SIZE(items_b.get());
    for (Py_ssize_t i = 0; in_bounds(items_b.get(), len_b, i); ++i) {
        Item item = item_at(items_b.get(), i);
        if (!contains(a, item.key)) {
            add_item_record<DictItemAdded>(path, item, out);
        }
    }
}

}  // namespace corvane
