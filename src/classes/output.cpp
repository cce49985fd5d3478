// The Output class: five read-only list attributes, each read giving a new list of new
// record instances that hold copies of the stored records.
#include "classes/classes.h"
#include "classes/instance.h"
#include "classes/record_classes.h"

namespace corvane {
namespace {

template <auto Member>
PyObject* output_get_list(PyObject* self, void*) noexcept {
    return guarded([self] { return record_list(wrapped<OutputValue>(self).*Member).release(); });
}

PyGetSetDef output_getset[] = {
    {"val_changes", output_get_list<&OutputValue::val_changes>, nullptr, "", nullptr},
    {"type_and_val_changes", output_get_list<&OutputValue::type_and_val_changes>, nullptr, "", nullptr},
    {"dict_items_added", output_get_list<&OutputValue::dict_items_added>, nullptr, "", nullptr},
    {"dict_items_removed", output_get_list<&OutputValue::dict_items_removed>, nullptr, "", nullptr},
    {"iter_len_mismatch", output_get_list<&OutputValue::iter_len_mismatch>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot output_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<OutputValue>)},
    {Py_tp_getset, output_getset},
    {0, nullptr},
};

PyType_Spec output_spec = {
    .name = "builtins.Output",
    .basicsize = static_cast<int>(sizeof(Instance<OutputValue>)),
    .itemsize = 0,
    .flags = kClassFlags,
    .slots = output_slots,
};

ClassSlot output_slot(&output_spec, "Output");

}  // namespace

PyTypeObject* output_class() noexcept { return output_slot.get(); }

PyObject* create_output(OutputValue value) noexcept {
    PyTypeObject* cls = output_class();
    if (cls == nullptr) {
        return nullptr;
    }
    return create_class_object(cls, std::move(value));
}

}  // namespace corvane
