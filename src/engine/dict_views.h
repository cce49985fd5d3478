// The readers of the mapping walk: a's items (an exact dict in place, or any other mapping's
// items list), b's side read in step with a's (Lockstep), and two small dicts read into arrays
// (LeanPair). Each view keeps what it borrows in its Borrowed part (views.h).
#pragma once

#include "engine/keys.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

template <class Variant>
inline void add_item_record(Walk& walk, const PathFrame* path, PyObject* key, PyObject* value) {
    walk.out.emplace_back(std::in_place_type<Variant>,
                          DictDiff(materialize(path), Ref::borrow(key), Ref::borrow(value)));
}

// Where an exact dict is read in place: the dict and the position of the next item.
struct InDict {
    PyObject* dict;
    Py_ssize_t pos;
    Py_ssize_t unread;  // items left of those it had when the view began
};

// The items of an exact dict, as its items list would hold them: read in place while no Python
// code runs, and copied, from the current item on, when pinned (the current item's key and value
// then stay alive in the copy).
class DictItems final : public BorrowingView<InDict> {
public:
    DictItems(Walk& walk, PyObject* dict) noexcept
        : BorrowingView(walk, InDict{dict, 0, PyDict_GET_SIZE(dict)}) {}
    ~DictItems() override { walk().release_in_destructor(copy_); }

    // Moves to the next item; false after the last.
    bool next() noexcept {
        if (borrowing()) {
            // Unchanged since the view began: exactly as many items as it had then.
            InDict& in = borrowed();
            if (in.unread == 0 || !PyDict_Next(in.dict, &in.pos, &key_, &value_)) {
                return false;
            }
            --in.unread;
            keys_plain_ = keys_plain_ && is_plain_key(key_);
            return true;
        }
        if (read_ + 2 > copy_.size()) {
            return false;
        }
        key_ = copy_[read_];
        value_ = copy_[read_ + 1];
        read_ += 2;
        return true;
    }

    Operand key() const noexcept { return Operand(key_); }
    Operand value() const noexcept { return Operand(value_); }
    // Every key read so far is plain.
    bool keys_plain() const noexcept { return keys_plain_; }

private:
    // Copies, with references, the current item (still in use) and every item not yet read.
    void keep(const InDict& in) override {
        bool current = key_ != nullptr;
        size_t n = 2 * (static_cast<size_t>(in.unread) + current);
        RefArray rest(n);
        size_t filled = 0;
        if (current) {
            rest.put(filled++, Ref::borrow(key_));
            rest.put(filled++, Ref::borrow(value_));
        }
        Py_ssize_t pos = in.pos;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t left = in.unread; left > 0 && PyDict_Next(in.dict, &pos, &key, &value); --left) {
            rest.put(filled++, Ref::borrow(key));
            rest.put(filled++, Ref::borrow(value));
        }
        copy_ = std::move(rest);
        read_ = current ? 2 : 0;
    }

    PyObject* key_ = nullptr;  // the current item: in the dict, or in copy_ once pinned
    PyObject* value_ = nullptr;
    RefArray copy_;  // its unused tail (if the dict had fewer items than counted) stays null
    size_t read_ = 0;
    bool keys_plain_ = true;
};

// The items of any other mapping: the list that items() returns, read by position within both
// its starting and its current length, since code run by the walk may still hold and change
// that very list. Each element must be a tuple of a key, a value and perhaps more.
class ListedItems {
public:
    ListedItems(Walk& walk, Operand mapping)
        : list_(mapping_items(walk, mapping)), current_(walk, Ref()) {
        len_ = PyList_GET_SIZE(list_.get());
    }

    bool next() {
        if (pos_ >= std::min(len_, PyList_GET_SIZE(list_.get()))) {
            return false;
        }
        Ref element = Ref::borrow(PyList_GET_ITEM(list_.get(), pos_++));
        if (!PyTuple_Check(element.get())) {
            fail("mapping items must be tuples of a key and a value, got an item of type " +
                 std::string(Py_TYPE(element.get())->tp_name));
        }
        PyObject* key = PyTuple_GetItem(element.get(), 0);
        PyObject* value = key != nullptr ? PyTuple_GetItem(element.get(), 1) : nullptr;
        if (value == nullptr) {
            fail_with_pending();
        }
        current_.replace(std::move(element));
        key_ = key;
        value_ = value;
        return true;
    }

    Operand key() const noexcept { return Operand(key_); }
    Operand value() const noexcept { return Operand(value_); }
    bool keys_plain() const noexcept { return false; }

private:
    Held list_;
    Held current_;  // the element being walked: it holds key_ and value_
    PyObject* key_ = nullptr;
    PyObject* value_ = nullptr;
    Py_ssize_t len_;
    Py_ssize_t pos_ = 0;
};

struct Item {
    PyObject* key;
    PyObject* value;
};

// What the step borrows from b: all of it goes with a pin.
struct Step {
    static constexpr size_t kKept = 8;

    Step() noexcept {}  // the kept items are written before they are read, never zeroed

    Item peek = {nullptr, nullptr};  // b's next item not yet matched or stepped over
    Item kept[kKept];                // a small b's items (the first kept_count), as they were when
    size_t kept_count = 0;           // its keys were looked at
    PyObject* current = nullptr;  // b's value being compared
    std::vector<Item> added;      // b's items stepped over as added, for the replay
};

// Where the step is in b's items: a position for PyDict_Next, or an index into the items kept of
// a small b; and where the item it peeks at was read, to read it again after a pin.
class Cursor {
public:
    void start(bool kept_all) noexcept {
        kept_all_ = kept_all;
        next_ = 0;
        pos_ = 0;
    }

    // Moves to b's next item, into `step.peek` (nothing after the last).
    void advance(PyObject* b, Step& step) noexcept {
        peek_at_ = next_;
        peek_pos_ = pos_;
        step.peek = Item{nullptr, nullptr};
        if (!kept_all_) {
            PyDict_Next(b, &pos_, &step.peek.key, &step.peek.value);
        } else if (next_ < step.kept_count) {
            step.peek = step.kept[next_++];
        }
    }

    // Goes back to where the item peeked at before a pin was read, to read it again.
    void rewind(bool kept_all) noexcept {
        kept_all_ = kept_all;
        next_ = peek_at_;
        pos_ = peek_pos_;
    }

private:
    bool kept_all_ = false;
    size_t next_ = 0;
    size_t peek_at_ = 0;
    Py_ssize_t pos_ = 0;
    Py_ssize_t peek_pos_ = 0;
};

// b's side of the first pass when b is an exact dict whose keys are all plain, a fact held
// for the current epoch. b's values are then read without running Python code: in step with
// a's items while their keys agree (as in two documents parsed alike), otherwise by a lookup.
// Where a is an exact dict with plain keys too, b's items that a lacks are stepped over and
// remembered, so that the step survives added and removed keys, and while nothing has run
// since the walk of the pair began, the second pass is replayed from them without a membership
// test per key. A pin holds the current value; afterwards b's keys are looked at again (no more
// often than the items walked since pay for) before anything is read without a lookup again.
//
// Why b's keys must all be plain: a lookup of a plain key compares it with every key of the
// same hash on its probe path, and a key whose equality is Python code would be called, and
// could answer, even when it lies after the matching key in item order. A step that finds a
// plain key equal to a's gives the value a lookup gives: no other key of b can equal it.
class Lockstep final : public BorrowingView<Step> {
public:
    Lockstep(Walk& walk, PyObject* a, PyObject* b) noexcept : BorrowingView(walk), a_(a), b_(b) {
        cursor_.start(look_at_keys(borrowed()));
        advance(borrowed());
    }
    ~Lockstep() override { walk().release_in_destructor(held_); }

    enum class Read { kUnknown, kMissing, kFound };

    // b's value for a's plain key `key`, read without running Python code: kFound (the value
    // is then current()), kMissing, or kUnknown when b's keys cannot be vouched for now, and
    // b must be looked up. Called once per plain key of a.
    Read find(PyObject* key) {
        if (!usable()) {
            return Read::kUnknown;
        }
        Step& step = borrowed();
        if (matches(step, key) || (step_over_added(step) && matches(step, key))) {
            step.current = step.peek.value;
            advance(step);
            return Read::kFound;
        }
        step.current = PyDict_GetItemWithError(b_, key);  // plain keys: neither Python nor an error
        return step.current != nullptr ? Read::kFound : Read::kMissing;
    }

    Operand current() const noexcept { return Operand(borrowing() ? borrowed().current : held_.get()); }

    // Replays the second pass when nothing has run since the walk of the pair began: the items
    // that were stepped over, then those not reached, tested against a. False when it cannot.
    // `a_keys_plain`: the first pass found all of a's keys plain.
    bool replay_second_pass(Walk& walk, const PathFrame* path, bool a_keys_plain) {
        if (!replayable_ || !borrowing() || !b_plain_) {
            return false;  // pinned since it began: b's items may have changed
        }
        if (a_keys_plain && PyDict_CheckExact(a_)) {
            a_plain_.set(true, walk.epoch());
        }
        if (!a_plain()) {
            return false;
        }
        Step& step = borrowed();
        for (const Item& item : step.added) {
            add_item_record<DictItemAdded>(walk, path, item.key, item.value);
        }
        for (; step.peek.key != nullptr; advance(step)) {
            if (PyDict_Contains(a_, step.peek.key) == 0) {
                add_item_record<DictItemAdded>(walk, path, step.peek.key, step.peek.value);
            }
        }
        return true;
    }

private:
    // One look at all of b's keys per this many items of a walked since the last, at most.
    static constexpr size_t kRecheckRatio = 16;

    // Whether b's value for a plain key can be read now without running Python code.
    bool usable() {
        ++walked_;
        // The value held since a pin goes first: its release may run Python code, which the
        // facts below must then see.
        if (held_) {
            walk().release(std::move(held_));
        }
        if (borrowing() || !b_plain_) {
            return b_plain_;  // borrowing: nothing has run since b's keys were looked at
        }
        if (walked_ * kRecheckRatio < static_cast<size_t>(PyDict_GET_SIZE(b_))) {
            return false;
        }
        Step& step = borrow_again();
        bool kept_all = look_at_keys(step);
        if (!b_plain_) {
            return false;  // borrowing nothing until the next pin
        }
        cursor_.rewind(kept_all);  // b may have changed: read the item at the step's place again
        advance(step);
        return true;
    }

    // Whether b is an exact dict with plain keys, now; a small b's items are kept in `step`.
    // Whether they were.
    bool look_at_keys(Step& step) noexcept {
        walked_ = 0;
        bool exact = PyDict_CheckExact(b_);
        bool keep = exact && static_cast<size_t>(PyDict_GET_SIZE(b_)) <= Step::kKept;
        b_plain_ = exact;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t left = exact ? PyDict_GET_SIZE(b_) : 0;
        for (; b_plain_ && left > 0 && PyDict_Next(b_, &pos, &key, &value); --left) {
            b_plain_ = is_plain_key(key);
            if (keep) {
                step.kept[step.kept_count++] = Item{key, value};
            }
        }
        return keep;
    }

    static bool matches(const Step& step, PyObject* key) noexcept {
        return step.peek.key != nullptr && keys_equal(key, step.peek.key);
    }

    void advance(Step& step) noexcept {
        if (b_plain_) {
            cursor_.advance(b_, step);
        } else {
            step.peek = Item{nullptr, nullptr};
        }
    }

    // a's keys all plain (in this epoch), so that testing b's keys against a runs no Python.
    bool a_plain() {
        if (!a_plain_.known(walk().epoch())) {
            a_plain_.look(a_, walk().epoch());
        }
        return a_plain_.holds(walk().epoch());
    }

    // b's next items that a lacks are added items: move past them, remembering them for the
    // replay of the second pass while it can still be made. Whether it moved at all.
    bool step_over_added(Step& step) {
        bool moved = false;
        while (step.peek.key != nullptr && a_plain() && PyDict_Contains(a_, step.peek.key) == 0) {
            if (replayable_) {
                step.added.push_back(step.peek);
            }
            advance(step);
            moved = true;
        }
        return moved;
    }

    void keep(const Step& step) override {
        held_ = Ref::borrow(step.current);
        replayable_ = false;
    }

    PyObject* a_;
    PyObject* b_;
    bool b_plain_ = false;    // b is an exact dict whose keys are all plain, when last looked at
    PlainFact a_plain_;
    Cursor cursor_;
    bool replayable_ = true;  // nothing has pinned the step since it began
    size_t walked_ = 0;       // items of a walked since b's keys were last looked at
    Ref held_;                // b's value being compared, held once a pin has ended the borrowing
};

// Two small exact dicts, each read once into an array.
struct LeanItems {
    static constexpr size_t kMax = 8;

    LeanItems() noexcept {}  // filled before it is read, never zeroed
    Item a[kMax];
    Item b[kMax];
};

// Reads an exact dict of at most LeanItems::kMax items into `items`: how many, or -1 when a key
// is not plain.
inline Py_ssize_t read_plain_items(PyObject* dict, Item* items) noexcept {
    Py_ssize_t pos = 0;
    Py_ssize_t n = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t left = PyDict_GET_SIZE(dict); left > 0 && PyDict_Next(dict, &pos, &key, &value); --left) {
        if (!is_plain_key(key)) {
            return -1;
        }
        items[n++] = Item{key, value};
    }
    return n;
}

// Two small exact dicts whose keys are all plain, read once into arrays: each key of a is found
// among b's in step or by a search, and b's keys that none of a's matched are the added items,
// while no Python code runs. A pin ends that: the items of a not yet walked, and b's value in
// use, are kept with references, and the rest of the walk asks b itself.
class LeanPair final : public BorrowingView<LeanItems> {
public:
    explicit LeanPair(Walk& walk) noexcept : BorrowingView(walk) {}
    ~LeanPair() override {
        if (kept_) {
            walk().release_in_destructor(kept_->held_b);
            walk().release_in_destructor(kept_->held_a);
            walk().release_in_destructor(kept_->held_key);
            walk().release_in_destructor(kept_->rest);
        }
    }

    // Reads both dicts; false when a key of either is not plain.
    bool read(PyObject* a, PyObject* b) noexcept {
        LeanItems& items = borrowed();
        na_ = read_plain_items(a, items.a);
        nb_ = na_ < 0 ? -1 : read_plain_items(b, items.b);
        return nb_ >= 0;
    }

    size_t size_a() const noexcept { return static_cast<size_t>(na_); }
    size_t size_b() const noexcept { return static_cast<size_t>(nb_); }
    const Item& a(size_t i) const noexcept { return borrowed().a[i]; }
    const Item& b(size_t j) const noexcept { return borrowed().b[j]; }
    Operand a_value(size_t i) const noexcept { return Operand(borrowed().a[i].value); }
    Operand b_value(size_t j) const noexcept { return Operand(borrowed().b[j].value); }

    // The index in b of a's key `key` (a's i-th), or size_b() when b lacks it.
    size_t find(PyObject* key, size_t i) const noexcept {
        const Item* b = borrowed().b;
        size_t nb = size_b();
        if (i < nb && keys_equal(key, b[i].key)) {
            return i;
        }
        for (size_t j = 0; j < nb; ++j) {
            if (j != i && keys_equal(key, b[j].key)) {
                return j;
            }
        }
        return nb;
    }

    // Whether a pin has ended the reading from the arrays.
    bool pinned() const noexcept { return !borrowing(); }

    // The walk is comparing a's i-th value with b's j-th.
    void at(size_t i, size_t j) noexcept {
        current_a_ = i;
        current_b_ = j;
    }

    // After a pin, once the current values' walk is done: lets go of them and of a's key (the
    // path below it no longer in use), through the gate (their release may run Python code, which
    // the rest of the walk must see).
    void let_go_of_current() {
        walk().release(std::move(kept_->held_a));
        walk().release(std::move(kept_->held_b));
        walk().release(std::move(kept_->held_key));
    }

    // After a pin: a's items from the one after the current on, kept with references.
    size_t rest_size() const noexcept { return kept_->rest.size() / 2; }
    Operand rest_key(size_t k) const noexcept { return Operand(kept_->rest[2 * k]); }
    Operand rest_value(size_t k) const noexcept { return Operand(kept_->rest[2 * k + 1]); }

private:
    // What a pin keeps, made only then.
    struct Kept {
        Ref held_key;  // a's key in use when the pin came: the path of the values' walk borrows it
        Ref held_a;    // the values in use when the pin came, kept alive for their walk
        Ref held_b;
        RefArray rest;
    };

    void keep(const LeanItems& items) override {
        auto kept = std::make_unique<Kept>();
        size_t from = current_a_ + 1;
        RefArray rest(2 * (size_a() - std::min(from, size_a())));
        for (size_t i = from; i < size_a(); ++i) {
            rest.put(2 * (i - from), Ref::borrow(items.a[i].key));
            rest.put(2 * (i - from) + 1, Ref::borrow(items.a[i].value));
        }
        kept->rest = std::move(rest);
        kept->held_key = Ref::borrow(items.a[current_a_].key);
        kept->held_a = Ref::borrow(items.a[current_a_].value);
        kept->held_b = Ref::borrow(items.b[current_b_].value);
        kept_ = std::move(kept);
    }

    Py_ssize_t na_ = 0;
    Py_ssize_t nb_ = 0;
    size_t current_a_ = 0;
    size_t current_b_ = 0;
    std::unique_ptr<Kept> kept_;
};

}  // namespace corvane
