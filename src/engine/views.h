// Views: containers that the walk reads in place, borrowing their items, and the operands read
// from them. A view is chained with the walk until the gate pins it; a pin takes references to
// whatever the view may still read, so that Python code run by the gate cannot free it.
#pragma once

#include "gate_check.h"
#include "ref.h"

#include <optional>
#include <utility>

namespace corvane {

class Walk;

// An operand of the comparison: a borrowed pointer that something keeps alive for as long as
// its pair is compared, pins included. Only views, owned references and the roots make them.
class Operand {
public:
    PyObject* get() const noexcept { return p_; }

private:
    explicit Operand(PyObject* p) noexcept : p_(p) {}
    PyObject* p_;

    friend class InPlace;
    friend class InPlacePair;
    friend class LeanPair;
    friend class ElementStack;
    friend class DictItems;
    friend class ListedItems;
    friend class Lockstep;
    friend class Held;
    friend class Roots;
};

// A container read in place. Views nest as the walks do; until pinned they are chained
// innermost first, and `pin` takes references to whatever the view may still read.
class LazyView {
public:
    LazyView(const LazyView&) = delete;
    LazyView& operator=(const LazyView&) = delete;

protected:
    // A view that can never need a pin (one over owned or immutable items) is not chained.
    explicit LazyView(Walk& walk, bool chained = true) noexcept;
    virtual ~LazyView();
    virtual void pin() = 0;
    Walk& walk() const noexcept { return walk_; }
    // Joins the chain again, to borrow again after a pin, from the walk's own level.
    void rechain() noexcept;

private:
    friend class Walk;
    Walk& walk_;
    LazyView* outer_ = nullptr;
    bool chained_ = false;
};

// A view whose borrowed fields all live in one part, `Borrowed`, which the pin destroys once
// `keep` has taken references to what the view may still read: a field added to the part is
// cleared by its type, and reading it after a pin is a checked error rather than a stale read.
template <class Borrowed>
class BorrowingView : public LazyView {
protected:
    template <class... Args>
    explicit BorrowingView(Walk& walk, Args&&... args) noexcept
        : LazyView(walk), borrowed_(std::in_place, std::forward<Args>(args)...) {}

    bool borrowing() const noexcept { return borrowed_.has_value(); }
    Borrowed& borrowed() noexcept {
        gate_check::require(borrowed_.has_value(), "a view read what it borrowed after a pin");
        return *borrowed_;
    }
    const Borrowed& borrowed() const noexcept {
        gate_check::require(borrowed_.has_value(), "a view read what it borrowed after a pin");
        return *borrowed_;
    }
    // Borrows again, from the walk's own level: the caller establishes anew, in the new part, what
    // the borrowing relies on.
    Borrowed& borrow_again() noexcept {
        rechain();
        return borrowed_.emplace();
    }
    // Takes references to whatever the view still needs of what it borrowed.
    virtual void keep(const Borrowed& borrowed) = 0;

private:
    void pin() final {
        keep(*borrowed_);
        borrowed_.reset();
    }

    std::optional<Borrowed> borrowed_;
};

}  // namespace corvane
