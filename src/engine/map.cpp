// The mapping walk: the items of a, each looked up in b (a failed lookup means removed), then
// the items of b, taken only after that, each tested for membership in a (absent means added).
#include "engine/dispatch.h"
#include "engine/python_calls.h"
#include "engine/walk.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace corvane {
namespace {

// Whether every key of an exact dict is plain; while no Python code runs after this, a lookup
// of a plain key in it, and a membership test, run none either.
bool all_keys_plain(PyObject* dict) noexcept {
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
Word load(const unsigned char* p) noexcept {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Equal bytes, compared inline with overlapping word loads: keys are short, and a call to
// memcmp costs more than they do.
bool same_bytes(const void* x, const void* y, size_t n) noexcept {
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
bool plain_keys_equal(PyObject* x, PyObject* y) noexcept {
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
               same_bytes(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * kind);
    }
    auto* lx = reinterpret_cast<PyLongObject*>(x);
    auto* ly = reinterpret_cast<PyLongObject*>(y);
    if (PyUnstable_Long_IsCompact(lx) && PyUnstable_Long_IsCompact(ly)) {
        return PyUnstable_Long_CompactValue(lx) == PyUnstable_Long_CompactValue(ly);
    }
    return PyObject_RichCompareBool(x, y, Py_EQ) == 1;  // two exact ints: no Python code
}

template <class Variant>
void add_item_record(Walk& walk, const PathFrame* path, PyObject* key, PyObject* value) {
    walk.out.emplace_back(std::in_place_type<Variant>,
                          DictDiff(materialize(path), Ref::borrow(key), Ref::borrow(value)));
}

}  // namespace

// The items of an exact dict, as its items list would hold them: read in place while no Python
// code runs, and copied, from the current item on, when pinned.
class DictItems final : public LazyView {
public:
    DictItems(Walk& walk, PyObject* dict) noexcept
        : LazyView(walk), walk_(walk), dict_(dict), unread_(PyDict_GET_SIZE(dict)) {}
    ~DictItems() { walk_.release_in_destructor(copy_); }

    // Moves to the next item; false after the last.
    bool next() noexcept {
        if (!pinned_) {
            // Unchanged since the view began: exactly as many items as it had then.
            if (unread_ == 0 || !PyDict_Next(dict_, &pos_, &key_, &value_)) {
                return false;
            }
            --unread_;
            keys_plain_ = keys_plain_ && is_plain_key(key_);
            return true;
        }
        if (read_ + 2 > copied_) {
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
    void pin() override {
        bool current = key_ != nullptr;
        RefArray rest(2 * (static_cast<size_t>(unread_) + current));
        size_t n = 0;
        if (current) {
            rest.put(n++, Ref::borrow(key_));
            rest.put(n++, Ref::borrow(value_));
        }
        Py_ssize_t pos = pos_;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t left = unread_; left > 0 && PyDict_Next(dict_, &pos, &key, &value); --left) {
            rest.put(n++, Ref::borrow(key));
            rest.put(n++, Ref::borrow(value));
        }
        copy_ = std::move(rest);
        copied_ = n;
        read_ = current ? 2 : 0;
        pinned_ = true;
    }

    Walk& walk_;
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t unread_;
    PyObject* key_ = nullptr;  // the current item: borrowed until pinned, then in copy_
    PyObject* value_ = nullptr;
    RefArray copy_;
    size_t copied_ = 0;
    size_t read_ = 0;
    bool pinned_ = false;
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
class Lockstep final : public LazyView {
public:
    Lockstep(Walk& walk, PyObject* a, PyObject* b) noexcept
        : LazyView(walk), walk_(walk), a_(a), b_(b), exact_(PyDict_CheckExact(b)) {
        look_at_keys();
        advance();
    }
    ~Lockstep() { walk_.release_in_destructor(held_); }

    enum class Read { kUnknown, kMissing, kFound };

    // b's value for a's plain key `key`, read without running Python code: kFound (the value
    // is then current()), kMissing, or kUnknown when b's keys cannot be vouched for now, and
    // b must be looked up. Called once per plain key of a.
    Read find(PyObject* key) {
        if (!usable()) {
            return Read::kUnknown;
        }
        if (matches(key) || (step_over_added() && matches(key))) {
            current_ = peek_value_;
            advance();
            return Read::kFound;
        }
        current_ = PyDict_GetItemWithError(b_, key);  // plain keys: neither Python nor an error
        return current_ != nullptr ? Read::kFound : Read::kMissing;
    }

    Operand current() const noexcept { return Operand(current_ != nullptr ? current_ : held_.get()); }

    // Replays the second pass when nothing has run since the walk of the pair began: the items
    // that were stepped over, then those not reached, tested against a. False when it cannot.
    // `a_keys_plain`: the first pass found all of a's keys plain.
    bool replay_second_pass(Walk& walk, const PathFrame* path, bool a_keys_plain) {
        if (!replayable_ || !plain_ || plain_epoch_ != walk.epoch()) {
            return false;
        }
        if (a_keys_plain && PyDict_CheckExact(a_)) {
            a_plain_ = 1;
            a_plain_epoch_ = walk.epoch();
        }
        if (!a_plain()) {
            return false;
        }
        if (added_.empty() && peek_key_ == nullptr) {
            return true;  // every key of b matched one of a
        }
        for (const auto& [key, value] : added_) {
            add_item_record<DictItemAdded>(walk, path, key, value);
        }
        for (; peek_key_ != nullptr; advance()) {
            if (PyDict_Contains(a_, peek_key_) == 0) {
                add_item_record<DictItemAdded>(walk, path, peek_key_, peek_value_);
            }
        }
        return true;
    }

private:
    // Whether b's value for a plain key can be read now without running Python code.
    bool usable() {
        ++walked_;
        // The value held since a pin goes first: its release may run Python code, which the
        // facts below must then see.
        if (held_) {
            walk_.release(std::move(held_));
        }
        if (!plain_ || plain_epoch_ == walk_.epoch()) {
            return plain_;
        }
        if (walked_ * kRecheckRatio < static_cast<size_t>(PyDict_GET_SIZE(b_))) {
            return false;
        }
        look_at_keys();
        if (plain_) {
            rechain();
            // b may have changed: read the item at the step's place again.
            next_ = peek_at_;
            pos_ = peek_pos_;
            advance();
        }
        return plain_;
    }

    // One look at all of b's keys per this many items of a walked since the last, at most.
    static constexpr size_t kRecheckRatio = 16;
    // b's items are kept from that look when there are no more than this many.
    static constexpr size_t kKept = 8;

    // Whether b is an exact dict with plain keys, in this epoch; a small b's items are kept.
    void look_at_keys() noexcept {
        walked_ = 0;
        plain_epoch_ = walk_.epoch();
        plain_ = exact_;
        kept_ = 0;
        bool keep = exact_ && static_cast<size_t>(PyDict_GET_SIZE(b_)) <= kKept;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t left = exact_ ? PyDict_GET_SIZE(b_) : 0;
        for (; plain_ && left > 0 && PyDict_Next(b_, &pos, &key, &value); --left) {
            plain_ = is_plain_key(key);
            if (keep) {
                kept_items_[kept_++] = Item{key, value};
            }
        }
        kept_all_ = keep;
    }

    bool matches(PyObject* key) const noexcept {
        return peek_key_ != nullptr && plain_keys_equal(key, peek_key_);
    }

    // Moves the step to b's next item.
    void advance() noexcept {
        peek_at_ = next_;
        peek_pos_ = pos_;
        peek_key_ = peek_value_ = nullptr;
        if (!plain_) {
            return;
        }
        if (kept_all_) {
            if (next_ < kept_) {
                peek_key_ = kept_items_[next_].key;
                peek_value_ = kept_items_[next_].value;
                ++next_;
            }
            return;
        }
        PyDict_Next(b_, &pos_, &peek_key_, &peek_value_);
    }

    // a's keys all plain (in this epoch), so that testing b's keys against a runs no Python.
    bool a_plain() {
        if (a_plain_ < 0 || a_plain_epoch_ != walk_.epoch()) {
            a_plain_ = PyDict_CheckExact(a_) && all_keys_plain(a_);
            a_plain_epoch_ = walk_.epoch();
        }
        return a_plain_ == 1;
    }

    // b's next items that a lacks are added items: move past them, remembering them for the
    // replay of the second pass while it can still be made. Whether it moved at all.
    bool step_over_added() {
        bool moved = false;
        while (peek_key_ != nullptr && a_plain() && PyDict_Contains(a_, peek_key_) == 0) {
            if (replayable_) {
                added_.emplace_back(peek_key_, peek_value_);
            }
            advance();
            moved = true;
        }
        return moved;
    }

    void pin() override {
        held_ = Ref::borrow(current_);
        current_ = nullptr;
        peek_key_ = peek_value_ = nullptr;
        kept_ = 0;
        replayable_ = false;
        added_.clear();
    }

    Walk& walk_;
    PyObject* a_;
    PyObject* b_;
    bool exact_;
    bool plain_ = false;        // b is an exact dict whose keys are all plain ...
    uint64_t plain_epoch_ = 0;  // ... as seen in this epoch
    int a_plain_ = -1;
    uint64_t a_plain_epoch_ = 0;
    bool replayable_ = true;  // nothing has pinned the step since it began
    size_t walked_ = 0;
    // Where the step is: an index into the kept items, or a position for PyDict_Next.
    bool kept_all_ = false;
    size_t kept_ = 0;
    size_t next_ = 0;
    size_t peek_at_ = 0;
    Py_ssize_t pos_ = 0;
    Py_ssize_t peek_pos_ = 0;
    PyObject* peek_key_ = nullptr;  // b's next item not yet matched or stepped over
    PyObject* peek_value_ = nullptr;
    struct Item {
        PyObject* key;
        PyObject* value;
    };
    Item kept_items_[kKept];  // the first kept_ of them, as b held them in this epoch
    PyObject* current_ = nullptr;  // b's value being compared, borrowed until pinned
    Ref held_;                     // ... and then held
    std::vector<std::pair<PyObject*, PyObject*>> added_;
};

namespace {

// The first pass: for each item of a, b's value compared with it, or a removed item.
template <class ItemsA>
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
            corvane_dispatch(walk, items_a.value(), step.current(), &child);
            continue;
        }
        std::optional<Held> value_b = lookup_or_missing(walk, b, key);
        if (!value_b) {
            add_item_record<DictItemRemoved>(walk, path, key.get(), items_a.value().get());
            continue;
        }
        PathFrame child = extend_keypath(path, key.get());
        corvane_dispatch(walk, items_a.value(), value_b->operand(), &child);
    }
}

// The second pass over b's items: every key that a does not contain is an added item. The test
// runs no Python code while a's keys are all plain (as checked in this epoch) and the key is.
template <class ItemsB>
void second_pass(Walk& walk, Operand a, ItemsB& items_b, const PathFrame* path) {
    uint64_t plain_epoch = PyDict_CheckExact(a.get()) && all_keys_plain(a.get()) ? walk.epoch() : 0;
    while (items_b.next()) {
        Operand key = items_b.key();
        bool present = walk.epoch() == plain_epoch && is_plain_key(key.get())
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
template <class ItemsA>
void walk_pair(Walk& walk, ItemsA& items_a, Operand a, Operand b, const PathFrame* path) {
    Lockstep step(walk, a.get(), b.get());
    first_pass(walk, items_a, step, b, path);
    if (!step.replay_second_pass(walk, path, items_a.keys_plain())) {
        second_pass(walk, a, b, path);
    }
}

// A first mapping that is no exact dict: its items listed by items().
[[gnu::noinline]] void walk_listed(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    ListedItems items_a(walk, a);
    walk_pair(walk, items_a, a, b, path);
}

}  // namespace

void corvane_map(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    if (!PyDict_CheckExact(a.get())) {
        walk_listed(walk, a, b, path);
        return;
    }
    DictItems items_a(walk, a.get());
    walk_pair(walk, items_a, a, b, path);
}

}  // namespace corvane
