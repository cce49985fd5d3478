// Fingerprints of data values, and the plans that pair the items of two lists: alignment by a
// longest common subsequence, multisets, keys; and which of them a list's path asks for.
#include "engine/align.h"

#include "engine/keys.h"
#include "engine/scalars.h"
#include "engine/values.h"

#include <algorithm>
#include <cstring>

namespace corvane {
namespace {

// Fingerprints are made of the interpreter's own hashes of strings, ints and bytes (computed by
// their types' C functions, which run no Python code) mixed with a tag for each kind.
uint64_t mix(uint64_t h, uint64_t v) noexcept {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 29);
}

enum Tag : uint64_t { kStr = 1, kBool, kInt, kFloat, kNone, kBytes, kDate, kDict, kList };

constexpr size_t kMaxDepth = 512;  // deeper values get a fingerprint that equals nothing
// Room left on the stack below which containers get a fingerprint that equals nothing: well above
// the margin at which the interpreter's recursion check stops the walk itself.
constexpr size_t kStackReserve = 512 * 1024;

}  // namespace

Fingerprinter::Fingerprinter(bool nan_equal) noexcept : nan_equal_(nan_equal), stack_floor_(stack_floor(kStackReserve)) {}

bool Fingerprinter::value(PyObject* x, uint64_t& out) noexcept {
    ValueKind kind = value_kind(x);
    switch (kind) {
    case ValueKind::Str:
        out = mix(kStr, static_cast<uint64_t>(PyUnicode_Type.tp_hash(x)));
        return true;
    case ValueKind::Int:
        out = mix(kInt, static_cast<uint64_t>(PyLong_Type.tp_hash(x)));
        return true;
    case ValueKind::Bool:
        out = mix(kBool, x == Py_True);
        return true;
    case ValueKind::None:
        out = kNone;
        return true;
    case ValueKind::Float: {
        double d = PyFloat_AsDouble(x);
        if (d != d) {
            out = kFloat;
            return nan_equal_;
        }
        d = d == 0.0 ? 0.0 : d;  // 0.0 equals -0.0
        uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        out = mix(kFloat, bits);
        return true;
    }
    case ValueKind::Bytes:
        out = mix(kBytes, static_cast<uint64_t>(PyBytes_Type.tp_hash(x)));
        return true;
    case ValueKind::Date:
    case ValueKind::DateTime:
    case ValueKind::Time: {
        uint64_t fields = 0;
        if (!scalar_fingerprint(x, kind, fields)) {
            return false;
        }
        out = mix(kDate + static_cast<uint64_t>(kind), fields);
        return true;
    }
    case ValueKind::Container:
        break;
    }
    return container(x, out);
}

bool Fingerprinter::container(PyObject* x, uint64_t& out) noexcept {
    PyTypeObject* type = Py_TYPE(x);
    bool dict = type == &PyDict_Type;
    if (!dict && type != &PyList_Type && type != &PyTuple_Type) {
        return false;
    }
    auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (open_.size() >= kMaxDepth || stack_floor_ == 0 || sp < stack_floor_ ||
        std::find(open_.begin(), open_.end(), x) != open_.end()) {
        return false;  // too deep, or holding itself
    }
    open_.push_back(x);
    bool known = true;
    if (dict) {
        // Order does not count in a dict: the items' fingerprints are summed.
        uint64_t sum = 0;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (known && PyDict_Next(x, &pos, &key, &item)) {
            uint64_t k = 0;
            uint64_t v = 0;
            known = value(key, k) && value(item, v);
            sum += mix(k, v);
        }
        out = mix(mix(kDict, static_cast<uint64_t>(PyDict_GET_SIZE(x))), sum);
    } else {
        uint64_t h = mix(kList, static_cast<uint64_t>(PySequence_Fast_GET_SIZE(x)));
        PyObject* const* items = PySequence_Fast_ITEMS(x);
        for (Py_ssize_t i = 0; known && i < PySequence_Fast_GET_SIZE(x); ++i) {
            uint64_t v = 0;
            known = value(items[i], v);
            h = mix(h, v);
        }
        out = h;
    }
    open_.pop_back();
    return known;
}

uint64_t Fingerprinter::of(PyObject* x) noexcept {
    uint64_t h = 0;
    return x != nullptr && value(x, h) ? h & ~kOpaque : unique();
}

namespace {

using Op = PlanStep::Op;

// Builds a plan: pairs, deletions and insertions in order; each run of deletions and insertions
// between two pairs is then paired up by position (an item changed in place is compared, not
// reported as removed and inserted), the surplus staying deleted or inserted.
class PlanBuilder {
public:
    PlanBuilder(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, size_t budget)
        : a_(a), b_(b), budget_(budget) {}

    void stretch(size_t a0, size_t a1, size_t b0, size_t b1);
    Plan finish();

private:
    void pair(size_t i, size_t j) { raw_.push_back({Op::Pair, i, j}); }
    void edits(size_t a0, size_t a1, size_t b0, size_t b1);
    bool myers(size_t a0, size_t a1, size_t b0, size_t b1);
    bool anchored(size_t a0, size_t a1, size_t b0, size_t b1);

    const std::vector<uint64_t>& a_;
    const std::vector<uint64_t>& b_;
    size_t budget_;
    std::vector<PlanStep> raw_;
    bool unaligned_ = false;
    // Stretches cut at anchors inside stretches cut at anchors: each level sorts its stretch, and
    // a list built for it could nest them about as deep as it is long (the stack, and the time).
    size_t anchoring_ = 0;
};

constexpr size_t kMaxAnchoringDepth = 16;  // deeper stretches go to Myers' algorithm alone

// Deletions of a's items, then insertions of b's: a stretch with nothing in common.
void PlanBuilder::edits(size_t a0, size_t a1, size_t b0, size_t b1) {
    for (size_t i = a0; i < a1; ++i) {
        raw_.push_back({Op::Delete, i, b0});
    }
    for (size_t j = b0; j < b1; ++j) {
        raw_.push_back({Op::Insert, a1, j});
    }
}

void PlanBuilder::stretch(size_t a0, size_t a1, size_t b0, size_t b1) {
    while (a0 < a1 && b0 < b1 && a_[a0] == b_[b0]) {
        pair(a0++, b0++);
    }
    size_t tail = 0;
    while (a1 > a0 && b1 > b0 && a_[a1 - 1] == b_[b1 - 1]) {
        --a1;
        --b1;
        ++tail;
    }
    if (a0 == a1 || b0 == b1) {
        edits(a0, a1, b0, b1);
    } else if (!anchored(a0, a1, b0, b1) && !myers(a0, a1, b0, b1)) {
        // Too different to align within the budget: paired by position, and said so.
        unaligned_ = true;
        size_t common = std::min(a1 - a0, b1 - b0);
        for (size_t k = 0; k < common; ++k) {
            pair(a0 + k, b0 + k);
        }
        edits(a0 + common, a1, b0 + common, b1);
    }
    for (size_t k = 0; k < tail; ++k) {
        pair(a1 + k, b1 + k);
    }
}

// A long stretch is cut at the items whose fingerprint occurs once on each side, along the
// longest run of them in the same order on both; false when there is no such item, the stretch
// is short enough for Myers' algorithm alone, or it lies kMaxAnchoringDepth cuts deep.
bool PlanBuilder::anchored(size_t a0, size_t a1, size_t b0, size_t b1) {
    if ((a1 - a0) + (b1 - b0) <= 2048 || anchoring_ >= kMaxAnchoringDepth) {
        return false;
    }
    struct Seen {
        uint64_t fp;
        size_t index;
        bool in_b;
    };
    std::vector<Seen> seen;
    seen.reserve((a1 - a0) + (b1 - b0));
    for (size_t i = a0; i < a1; ++i) {
        seen.push_back({a_[i], i, false});
    }
    for (size_t j = b0; j < b1; ++j) {
        seen.push_back({b_[j], j, true});
    }
    std::sort(seen.begin(), seen.end(), [](const Seen& x, const Seen& y) {
        return x.fp != y.fp ? x.fp < y.fp : x.in_b < y.in_b;
    });
    std::vector<std::pair<size_t, size_t>> unique;  // (i, j) of fingerprints once on each side
    for (size_t k = 0; k + 1 < seen.size();) {
        size_t end = k;
        while (end < seen.size() && seen[end].fp == seen[k].fp) {
            ++end;
        }
        if (end - k == 2 && !seen[k].in_b && seen[k + 1].in_b) {
            unique.emplace_back(seen[k].index, seen[k + 1].index);
        }
        k = end;
    }
    if (unique.empty()) {
        return false;
    }
    std::sort(unique.begin(), unique.end());
    // The longest run increasing in j (patience sorting, with links back for the run itself).
    std::vector<size_t> tails;
    std::vector<size_t> back(unique.size(), SIZE_MAX);
    for (size_t k = 0; k < unique.size(); ++k) {
        auto at = std::lower_bound(tails.begin(), tails.end(), unique[k].second,
                                   [&](size_t t, size_t j) { return unique[t].second < j; });
        if (at != tails.begin()) {
            back[k] = *(at - 1);
        }
        if (at == tails.end()) {
            tails.push_back(k);
        } else {
            *at = k;
        }
    }
    std::vector<std::pair<size_t, size_t>> anchors;
    for (size_t k = tails.back(); k != SIZE_MAX; k = back[k]) {
        anchors.push_back(unique[k]);
    }
    std::reverse(anchors.begin(), anchors.end());
    size_t i = a0;
    size_t j = b0;
    ++anchoring_;  // a failure below throws and ends the whole plan: no need to step back then
    for (auto [ai, bj] : anchors) {
        stretch(i, ai, j, bj);
        pair(ai, bj);
        i = ai + 1;
        j = bj + 1;
    }
    stretch(i, a1, j, b1);
    --anchoring_;
    return true;
}

// Myers' shortest edit script of the stretch, within the budget; false when it is exceeded.
bool PlanBuilder::myers(size_t a0, size_t a1, size_t b0, size_t b1) {
    const long n = static_cast<long>(a1 - a0);
    const long m = static_cast<long>(b1 - b0);
    if (static_cast<size_t>(n + m) > kMaxAlignedStretch) {
        return false;
    }
    const long max_d = std::min<long>(n + m, static_cast<long>(budget_));
    const long offset = max_d + 1;
    std::vector<long> v(static_cast<size_t>(2 * max_d + 3), 0);
    // For the way back, the front as step d found it: only what step d reads of it, the diagonals
    // k of d - 1's parity in [-(d - 1), d - 1] (d values; about d*d/2 for all steps, where a copy of
    // the whole front each step was 2 * max_d * d), from starts[d] in one vector (n + m fits 32 bits).
    std::vector<int32_t> kept;
    std::vector<size_t> starts;
    long found = -1;
    for (long d = 0; d <= max_d && found < 0; ++d) {
        starts.push_back(kept.size());
        for (long k = -(d - 1); k <= d - 1; k += 2) {
            kept.push_back(static_cast<int32_t>(v[static_cast<size_t>(offset + k)]));
        }
        for (long k = -d; k <= d; k += 2) {
            long x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) ? v[offset + k + 1]
                                                                                 : v[offset + k - 1] + 1;
            long y = x - k;
            while (x < n && y < m && a_[a0 + x] == b_[b0 + y]) {
                ++x;
                ++y;
            }
            v[offset + k] = x;
            if (x >= n && y >= m) {
                found = d;
                break;
            }
        }
    }
    if (found < 0) {
        return false;
    }
    // Back from the end, through the saved fronts: each step a snake, then one edit.
    std::vector<PlanStep> reversed;
    long x = n;
    long y = m;
    for (long d = found; d > 0; --d) {
        auto prev = [&](long diagonal) -> long {  // diagonal in [-(d - 1), d - 1], of d - 1's parity
            return kept[starts[static_cast<size_t>(d)] + static_cast<size_t>((diagonal + d - 1) / 2)];
        };
        long k = x - y;
        bool down = k == -d || (k != d && prev(k - 1) < prev(k + 1));
        long pk = down ? k + 1 : k - 1;
        long px = prev(pk);
        long py = px - pk;
        while (x > px + (down ? 0 : 1) && y > py + (down ? 1 : 0)) {
            reversed.push_back({Op::Pair, a0 + static_cast<size_t>(--x), b0 + static_cast<size_t>(--y)});
        }
        if (down) {
            reversed.push_back({Op::Insert, a0 + static_cast<size_t>(x), b0 + static_cast<size_t>(--y)});
        } else {
            reversed.push_back({Op::Delete, a0 + static_cast<size_t>(--x), b0 + static_cast<size_t>(y)});
        }
    }
    while (x > 0 && y > 0) {
        reversed.push_back({Op::Pair, a0 + static_cast<size_t>(--x), b0 + static_cast<size_t>(--y)});
    }
    raw_.insert(raw_.end(), reversed.rbegin(), reversed.rend());
    return true;
}

Plan PlanBuilder::finish() {
    Plan plan;
    plan.unaligned = unaligned_;
    plan.steps.reserve(raw_.size());
    for (size_t k = 0; k < raw_.size();) {
        if (raw_[k].op == Op::Pair) {
            plan.steps.push_back(raw_[k++]);
            continue;
        }
        // A run of edits: its k-th deletion paired with its k-th insertion, in order.
        std::vector<size_t> deleted;
        std::vector<size_t> inserted;
        for (; k < raw_.size() && raw_[k].op != Op::Pair; ++k) {
            (raw_[k].op == Op::Delete ? deleted : inserted).push_back(raw_[k].op == Op::Delete ? raw_[k].i : raw_[k].j);
        }
        std::sort(deleted.begin(), deleted.end());
        std::sort(inserted.begin(), inserted.end());
        size_t common = std::min(deleted.size(), inserted.size());
        for (size_t t = 0; t < common; ++t) {
            plan.steps.push_back({Op::Pair, deleted[t], inserted[t]});
        }
        for (size_t t = common; t < deleted.size(); ++t) {
            plan.steps.push_back({Op::Delete, deleted[t], 0});
        }
        for (size_t t = common; t < inserted.size(); ++t) {
            plan.steps.push_back({Op::Insert, 0, inserted[t]});
        }
    }
    return plan;
}

}  // namespace

Plan match_in_order(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    std::vector<std::pair<uint64_t, size_t>> by_fp;
    by_fp.reserve(b.size());
    for (size_t j = 0; j < b.size(); ++j) {
        by_fp.emplace_back(b[j], j);
    }
    std::sort(by_fp.begin(), by_fp.end());
    std::vector<bool> used(b.size(), false);
    std::vector<size_t> next(by_fp.size(), 0);  // per fingerprint run: the next unused one
    Plan plan;
    for (size_t i = 0; i < a.size(); ++i) {
        auto run = std::lower_bound(by_fp.begin(), by_fp.end(), std::make_pair(a[i], size_t{0}));
        size_t first = static_cast<size_t>(run - by_fp.begin());
        size_t at = first < by_fp.size() && by_fp[first].first == a[i] ? first + next[first] : by_fp.size();
        if (at >= by_fp.size() || by_fp[at].first != a[i]) {
            plan.steps.push_back({Op::Delete, i, 0});
            continue;
        }
        ++next[first];
        used[by_fp[at].second] = true;
        plan.steps.push_back({Op::Pair, i, by_fp[at].second});
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!used[j]) {
            plan.steps.push_back({Op::Insert, a.size(), j});
        }
    }
    return plan;
}

namespace {

// Whether `key` (a step of the path: a mapping key, or null for the position `index`) is the
// step's text: a str key by its characters, an int key or a position by its digits.
bool step_is(PyObject* key, uint64_t index, const PatternStep& step) noexcept {
    if (key == nullptr) {
        return step.numeric && step.number >= 0 && static_cast<uint64_t>(step.number) == index;
    }
    if (PyUnicode_Check(key)) {
        return data_strings_equal(key, step.text.get());
    }
    if (PyLong_CheckExact(key)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
        return overflow == 0 && step.numeric && value == step.number;
    }
    return false;
}

bool matches(const Pattern& pattern, size_t p, const std::vector<std::pair<PyObject*, uint64_t>>& path,
             size_t s) noexcept {
    if (p == pattern.size()) {
        return s == path.size();
    }
    const PatternStep& step = pattern[p];
    if (step.kind == PatternStep::Kind::Any) {
        for (size_t t = s; t <= path.size(); ++t) {
            if (matches(pattern, p + 1, path, t)) {
                return true;
            }
        }
        return false;
    }
    if (s == path.size()) {
        return false;
    }
    if (step.kind == PatternStep::Kind::Text && !step_is(path[s].first, path[s].second, step)) {
        return false;
    }
    return matches(pattern, p + 1, path, s + 1);
}

// The value of an exact dict's plain key equal to `key` (plain), or null. Found by a scan, not a
// lookup: a lookup compares `key` with every key of the same hash on its probe path, and one whose
// equality is Python code would run it (and could raise).
PyObject* plain_item(PyObject* dict, PyObject* key) noexcept {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (is_plain_key(k) && keys_equal(k, key)) {
            return v;
        }
    }
    return nullptr;
}

}  // namespace

Plan align_by_fingerprints(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, size_t budget) {
    PlanBuilder builder(a, b, budget);
    builder.stretch(0, a.size(), 0, b.size());
    return builder.finish();
}

long long position_of(PyObject* step) noexcept {
    if (PyLong_CheckExact(step)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(step, &overflow);
        return overflow == 0 ? value : -1;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(step);
    if (n == 0 || n > 18) {
        return -1;
    }
    long long value = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_UCS4 c = PyUnicode_READ_CHAR(step, k);
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

PyObject* value_at(PyObject* item, const std::vector<Ref>& key) noexcept {
    for (const Ref& step : key) {
        PyObject* s = step.get();
        if (PyDict_CheckExact(item) && is_plain_key(s)) {
            item = plain_item(item, s);
            if (item == nullptr) {
                return nullptr;
            }
        } else if (PyList_CheckExact(item) || PyTuple_CheckExact(item)) {
            long long i = position_of(s);  // a step into a list is its position, as text or int
            if (i < 0 || i >= PySequence_Fast_GET_SIZE(item)) {
                return nullptr;
            }
            item = PySequence_Fast_ITEMS(item)[i];
        } else {
            return nullptr;
        }
    }
    return item;
}

ListMode list_mode(const DataOptions& options, const PathFrame* path, const ListKey** keyed) {
    *keyed = nullptr;
    if (options.keyed.empty() && options.unordered.empty()) {
        return options.lists;
    }
    std::vector<std::pair<PyObject*, uint64_t>> steps;
    path_steps(path, steps);
    for (const ListKey& key : options.keyed) {
        if (matches(key.where, 0, steps, 0)) {
            *keyed = &key;
            return ListMode::Keyed;
        }
    }
    for (const Pattern& pattern : options.unordered) {
        if (matches(pattern, 0, steps, 0)) {
            return ListMode::Unordered;
        }
    }
    return options.lists;
}

}  // namespace corvane
