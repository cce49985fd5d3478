// The mapping walk: the items of a, each looked up in b (a failed lookup means removed), then
// the items of b, taken only after that, each tested for membership in a (absent means added).
#include "engine/dict_views.h"
#include "engine/dispatch.h"

#include <optional>

namespace corvane {
namespace {

// The first pass: for each item of a, b's value compared with it, or a removed item.
template <class Rules, class ItemsA>
void first_pass(Walk& walk, ItemsA& items_a, Lockstep& step, Operand b, const PathFrame* path) {
    while (items_a.next()) {
        Operand key = items_a.key();
        Lockstep::Read read = is_plain_key(key.get()) ? step.find(key.get()) : Lockstep::Read::kUnknown;
        if (read == Lockstep::Read::kMissing) {
            add_item_record<DictItemRemoved>(walk, path, key.get(), items_a.value().get());
            continue;
        }
        if (read == Lockstep::Read::kFound) {
            PathFrame child = extend_keypath(path, key.get());
            corvane_dispatch<Rules>(walk, items_a.value(), step.current(), &child);
            continue;
        }
        std::optional<Held> value_b = lookup_or_missing(walk, b, key);
        if (!value_b) {
            add_item_record<DictItemRemoved>(walk, path, key.get(), items_a.value().get());
            continue;
        }
        PathFrame child = extend_keypath(path, key.get());
        corvane_dispatch<Rules>(walk, items_a.value(), value_b->operand(), &child);
    }
}

// The second pass over b's items: every key that a does not contain is an added item. The test
// runs no Python code while a's keys are all plain (as checked in this epoch) and the key is.
template <class ItemsB>
void second_pass(Walk& walk, Operand a, ItemsB& items_b, const PathFrame* path) {
    PlainFact a_plain;
    a_plain.look(a.get(), walk.epoch());
    while (items_b.next()) {
        Operand key = items_b.key();
        bool present = a_plain.holds(walk.epoch()) && is_plain_key(key.get())
                           ? PyDict_Contains(a.get(), key.get()) == 1
                           : contains(walk, a, key);
        if (!present) {
            add_item_record<DictItemAdded>(walk, path, key.get(), items_b.value().get());
        }
    }
}

// The second pass, made when the step could not replay it: b's items read in place for an
// exact dict, listed by items() for any other mapping.
[[gnu::noinline]] void second_pass(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    if (PyDict_CheckExact(b.get())) {
        DictItems items_b(walk, b.get());
        second_pass(walk, a, items_b, path);
        return;
    }
    ListedItems items_b(walk, b);
    second_pass(walk, a, items_b, path);
}

// The walk over a's items (its own list, or an exact dict in place), b's side and the second pass.
template <class Rules, class ItemsA>
void walk_pair(Walk& walk, ItemsA& items_a, Operand a, Operand b, const PathFrame* path) {
    Lockstep step(walk, a.get(), b.get());
    first_pass<Rules>(walk, items_a, step, b, path);
    if (!step.replay_second_pass(walk, path, items_a.keys_plain())) {
        second_pass(walk, a, b, path);
    }
}

// A first mapping that is no exact dict: its items listed by items().
template <class Rules>
[[gnu::noinline]] void walk_listed(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    ListedItems items_a(walk, a);
    walk_pair<Rules>(walk, items_a, a, b, path);
}

// After a pin of a lean pair: the rest of a's items, as they were, each looked up in b as it is
// now, then the second pass over b as it is.
template <class Rules>
[[gnu::noinline]] void lean_rest(Walk& walk, LeanPair& pair, Operand a, Operand b, const PathFrame* path) {
    pair.let_go_of_current();
    for (size_t k = 0; k < pair.rest_size(); ++k) {
        Operand key = pair.rest_key(k);
        std::optional<Held> value_b = lookup_or_missing(walk, b, key);
        if (!value_b) {
            add_item_record<DictItemRemoved>(walk, path, key.get(), pair.rest_value(k).get());
            continue;
        }
        PathFrame child = extend_keypath(path, key.get());
        corvane_dispatch<Rules>(walk, pair.rest_value(k), value_b->operand(), &child);
    }
    second_pass(walk, a, b, path);
}

// Two small exact dicts with plain keys, or false (having done nothing) for any other pair.
template <class Rules>
bool walk_lean(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    LeanPair pair(walk);
    if (!pair.read(a.get(), b.get())) {
        return false;
    }
    uint32_t matched = 0;
    for (size_t i = 0; i < pair.size_a(); ++i) {
        PyObject* key = pair.a(i).key;
        size_t j = pair.find(key, i);
        if (j == pair.size_b()) {
            add_item_record<DictItemRemoved>(walk, path, key, pair.a(i).value);
            continue;
        }
        matched |= 1u << j;
        pair.at(i, j);
        PathFrame child = extend_keypath(path, key);
        corvane_dispatch<Rules>(walk, pair.a_value(i), pair.b_value(j), &child);
        if (pair.pinned()) {
            lean_rest<Rules>(walk, pair, a, b, path);
            return true;
        }
    }
    for (size_t j = 0; j < pair.size_b(); ++j) {
        if ((matched >> j & 1) == 0) {
            add_item_record<DictItemAdded>(walk, path, pair.b(j).key, pair.b(j).value);
        }
    }
    return true;
}

}  // namespace

template <class Rules>
void compare_exact_dicts(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    if (static_cast<size_t>(PyDict_GET_SIZE(a.get())) <= LeanItems::kMax &&
        static_cast<size_t>(PyDict_GET_SIZE(b.get())) <= LeanItems::kMax && walk_lean<Rules>(walk, a, b, path)) {
        return;
    }
    DictItems items_a(walk, a.get());
    walk_pair<Rules>(walk, items_a, a, b, path);
}

template <class Rules>
void corvane_map(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    if (!PyDict_CheckExact(a.get())) {
        walk_listed<Rules>(walk, a, b, path);
        return;
    }
    if (PyDict_CheckExact(b.get())) {
        compare_exact_dicts<Rules>(walk, a, b, path);
        return;
    }
    DictItems items_a(walk, a.get());
    walk_pair<Rules>(walk, items_a, a, b, path);
}

template void compare_exact_dicts<PythonRules>(Walk&, Operand, Operand, const PathFrame*);
template void compare_exact_dicts<DataRules>(Walk&, Operand, Operand, const PathFrame*);
template void corvane_map<PythonRules>(Walk&, Operand, Operand, const PathFrame*);
template void corvane_map<DataRules>(Walk&, Operand, Operand, const PathFrame*);

}  // namespace corvane
