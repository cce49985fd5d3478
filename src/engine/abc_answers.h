// What the abstract classes answer for objects of built-in types, read from their own caches.
// A walk owns one AbcAnswers; what it remembers holds for one epoch (no Python code since).
//
// isinstance(x, Mapping) runs Python code: ABCMeta's __instancecheck__ and, on a miss of the
// abstract class's caches, the subclass hooks of the class and of all its subclasses, which may
// do anything. For an object of a built-in type, the stock machinery with the type already in
// its caches returns what the caches hold and runs nothing else. That answer is read here
// straight from the caches (through the accelerator's own functions, calling no Python code)
// where, in the current epoch:
//  - the machinery is the stock one: the metaclass's attribute lookup is type's own, its
//    __instancecheck__ is a function with the stock code whose global _abc_instancecheck is the
//    accelerator's own function, the class's _abc_impl is a plain value, and every dict these
//    lookups read has exact str keys (types are re-examined when their version tag moves);
//  - nothing would observe the call: no profile or trace function, no sys.monitoring tool,
//    and room on the Python stack for the call's frame;
//  - the type is in the class's cache, or in its negative cache while that is current, and no
//    other entry there shares its hash (a lookup would then compare it, which can run code).
// Anything else leaves the answer unknown, and the walk asks isinstance through its gate. A
// check that is made moves the epoch, so the answers after it are read afresh from the caches
// it filled: no answer outlives code that could have changed it.
#pragma once

#include "ref.h"

#include <cstdint>
#include <vector>

namespace corvane {

class Walk;

// The tests that ask collections.abc.
enum class AbcTest : uint8_t { Mapping, Sequence };

// An abstract class's caches as they stood in one epoch: weak references to the types known to
// be subclasses, and to those known not to be (left empty when registrations have been made
// since it was filled, which makes it no longer count). Releasing them runs no Python code.
struct AbcCaches {
    std::vector<Ref> positive;
    std::vector<Ref> negative;

    int answer(PyTypeObject* type) const noexcept;
};

class AbcAnswers {
public:
    AbcAnswers() noexcept = default;
    AbcAnswers(const AbcAnswers&) = delete;
    AbcAnswers& operator=(const AbcAnswers&) = delete;

    // The answer remembered in `epoch` (0 or 1), or -1.
    int find(PyTypeObject* type, AbcTest test, uint64_t epoch) const noexcept {
        if (epoch != epoch_) {
            return -1;
        }
        for (size_t i = 0; i < used_; ++i) {
            if (entries_[i].type == type) {
                return entries_[i].answer[static_cast<int>(test)];
            }
        }
        return -1;
    }

    // Whether an exact list or tuple (`type`) is known not to be a mapping in `epoch`: the answer
    // that every pair of sequences asks first, kept where it is read without a search.
    bool not_a_mapping(PyTypeObject* type, uint64_t epoch) const noexcept {
        return epoch == (type == &PyList_Type ? list_no_mapping_ : tuple_no_mapping_);
    }

    // What isinstance(x, cls) would answer for an object x of the built-in type `type`, read from
    // the caches of `cls` and remembered for the walk's current epoch; -1 when it cannot be read
    // without running Python code. May make one call through the gate, once per process.
    int read(Walk& walk, PyTypeObject* type, AbcTest test, PyObject* cls);

private:
    struct Entry {
        PyTypeObject* type;
        int8_t answer[2];
    };
    static constexpr size_t kSize = 8;

    void remember(PyTypeObject* type, AbcTest test, int answer, uint64_t epoch) noexcept;

    uint64_t epoch_ = 0;
    uint64_t list_no_mapping_ = 0;   // the epoch in which list was found no mapping
    uint64_t tuple_no_mapping_ = 0;  // the same for tuple
    Entry entries_[kSize] = {};
    size_t used_ = 0;
    // Once an epoch: whether the machinery is the stock one (for this metaclass); and per test,
    // whether the class's caches can be read, and what they hold.
    uint64_t stock_epoch_ = 0;
    PyTypeObject* stock_meta_ = nullptr;
    bool stock_ = false;
    uint64_t read_epoch_[2] = {0, 0};
    bool readable_[2] = {false, false};
    AbcCaches caches_[2];
};

}  // namespace corvane
