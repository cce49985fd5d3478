// DictDiff, ValChange, TypeAndValChange and IterLenMismatch: made lazily, read-only, and
// never module attributes. Getters return the stored objects themselves and fresh path lists.
#include "classes/instance.h"
#include "classes/record_classes.h"

namespace corvane {
namespace {

template <class Record>
PyObject* record_get_path(PyObject* self, void*) noexcept {
    return guarded([self] {
        const KeyPath& path = wrapped<Record>(self).path;
        Ref list = new_list(path.size());
        for (size_t i = 0; i < path.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(path[i]));
        }
        return list.release();
    });
}

template <class Record>
PyObject* record_get_first(PyObject* self, void*) noexcept {
    return Py_NewRef(wrapped<Record>(self).first.get());
}

template <class Record>
PyObject* record_get_second(PyObject* self, void*) noexcept {
    return Py_NewRef(wrapped<Record>(self).second.get());
}

PyObject* mismatch_get_a_len(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(wrapped<IterLenMismatch>(self).a_len);
}

PyObject* mismatch_get_b_len(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(wrapped<IterLenMismatch>(self).b_len);
}

template <class Record>
PyGetSetDef pair_getset[] = {
    {"path", record_get_path<Record>, nullptr, "", nullptr},
    {std::is_same_v<Record, DictDiff> ? "key" : "a", record_get_first<Record>, nullptr, "", nullptr},
    {std::is_same_v<Record, DictDiff> ? "val" : "b", record_get_second<Record>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef mismatch_getset[] = {
    {"path", record_get_path<IterLenMismatch>, nullptr, "", nullptr},
    {"a_len", mismatch_get_a_len, nullptr, "", nullptr},
    {"b_len", mismatch_get_b_len, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Record>
PyGetSetDef* getset_of() {
    if constexpr (std::is_same_v<Record, IterLenMismatch>) {
        return mismatch_getset;
    } else {
        return pair_getset<Record>;
    }
}

template <class Record>
PyType_Slot record_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Record>)},
    {Py_tp_getset, getset_of<Record>()},
    {0, nullptr},
};

template <class Record>
PyType_Spec record_spec(const char* qualified_name) {
    return PyType_Spec{
        .name = qualified_name,
        .basicsize = static_cast<int>(sizeof(Instance<Record>)),
        .itemsize = 0,
        .flags = kClassFlags,
        .slots = record_slots<Record>,
    };
}

PyType_Spec dict_diff_spec = record_spec<DictDiff>("builtins.DictDiff");
PyType_Spec val_change_spec = record_spec<ValChange>("builtins.ValChange");
PyType_Spec type_and_val_change_spec = record_spec<TypeAndValChange>("builtins.TypeAndValChange");
PyType_Spec iter_len_mismatch_spec = record_spec<IterLenMismatch>("builtins.IterLenMismatch");

ClassSlot dict_diff_class(&dict_diff_spec, "DictDiff");
ClassSlot val_change_class(&val_change_spec, "ValChange");
ClassSlot type_and_val_change_class(&type_and_val_change_spec, "TypeAndValChange");
ClassSlot iter_len_mismatch_class(&iter_len_mismatch_spec, "IterLenMismatch");

ClassSlot& slot_of(const DictDiff*) { return dict_diff_class; }
ClassSlot& slot_of(const ValChange*) { return val_change_class; }
ClassSlot& slot_of(const TypeAndValChange*) { return type_and_val_change_class; }
ClassSlot& slot_of(const IterLenMismatch*) { return iter_len_mismatch_class; }

template <class Record>
PyTypeObject* record_class() {
    ClassSlot& slot = slot_of(static_cast<const Record*>(nullptr));
    PyTypeObject* cls = slot.get();
    if (cls == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        fail(std::string("failed to create type object for `") + slot.name() + "`");
    }
    return cls;
}

template <class Record>
Ref make_record_list(const std::vector<Record>& records) {
    std::vector<Record> copies;
    copies.reserve(records.size());
    for (const Record& rec : records) {
        copies.push_back(copy_record(rec));
    }
    Ref list = new_list(copies.size());
    for (size_t i = 0; i < copies.size(); ++i) {
        PyObject* item = create_class_object(record_class<Record>(), std::move(copies[i]));
        if (item == nullptr) {
            throw PythonError{};
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace

Ref record_list(const std::vector<ValChange>& records) { return make_record_list(records); }
Ref record_list(const std::vector<TypeAndValChange>& records) { return make_record_list(records); }
Ref record_list(const std::vector<DictDiff>& records) { return make_record_list(records); }
Ref record_list(const std::vector<IterLenMismatch>& records) { return make_record_list(records); }

}  // namespace corvane
