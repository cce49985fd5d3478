// The Python classes of a result: Output and the four record classes, all process-wide heap
// types. An instance owns the value it wraps; reads hand out copies and new references only.
#pragma once

#include "records/records.h"

namespace corvane {

// The content of an Output: the five record vectors, released in this order.
struct OutputValue {
    std::vector<ValChange> val_changes;
    std::vector<TypeAndValChange> type_and_val_changes;
    std::vector<DictDiff> dict_items_added;
    std::vector<DictDiff> dict_items_removed;
    std::vector<IterLenMismatch> iter_len_mismatch;

    OutputValue() = default;
    OutputValue(OutputValue&&) noexcept = default;
    OutputValue& operator=(OutputValue&&) noexcept = default;
    ~OutputValue() {
        val_changes.clear();
        type_and_val_changes.clear();
        dict_items_added.clear();
        dict_items_removed.clear();
        iter_len_mismatch.clear();
    }
};

// The Output class, made on first need; nullptr with a RuntimeError set if it cannot be made.
PyTypeObject* output_class() noexcept;

// A new Output instance owning `value`; nullptr with the interpreter's exception set.
PyObject* create_output(OutputValue value) noexcept;

}  // namespace corvane
