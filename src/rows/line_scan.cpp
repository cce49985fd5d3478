// A validating JSON scanner that keeps nothing but the spans of the key's values, and the CRC-32
// that sends a key to its partition. Everything it accepts, Python's json module accepts and
// decodes to the same key; what it cannot vouch for it leaves to that module (Unsure).
#include "rows/line_scan.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace corvane::rows {
namespace {

constexpr int kMaxDepth = 1000;          // deeper lines are left to the general reader
constexpr size_t kMaxNumberBytes = 4000;  // longer numbers are left to the general reader
// An int of more digits may pass the interpreter's limit on converting them, which a program can
// lower to 640 (and no further): such lines are the general reader's to accept or refuse.
constexpr std::ptrdiff_t kMaxIntDigits = 640;

enum class ValueKind { None, String, EscapedString, Int, Float, True, False, Null, Container };

struct Found {
    const char* start = nullptr;
    const char* stop = nullptr;
    ValueKind kind = ValueKind::None;
};

// The length of the plain run of string text at `p` (bytes that are neither a quote, a backslash,
// a control character nor part of a multi-byte character), read sixteen or eight bytes at a time.
inline size_t plain_run(const char* p, const char* end) noexcept {
    const char* start = p;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // as signed bytes, those of multi-byte characters are negative: below 0x20 with the controls
        __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                       _mm_cmplt_epi8(v, space));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (mask != 0) {
            return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctz(mask));
        }
        p += 16;
    }
#elif __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t high = 0x8080808080808080ULL;
    while (end - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        auto zero = [](uint64_t v) { return (v - ones) & ~v & high; };  // exact up to its first flag
        uint64_t special = zero(x ^ (ones * '"')) | zero(x ^ (ones * '\\')) | ((x - ones * 0x20) & ~x) | x;
        special &= high;
        if (special != 0) {
            return static_cast<size_t>(p - start) + static_cast<size_t>(__builtin_ctzll(special) / 8);
        }
        p += 8;
    }
#endif
    while (p != end) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) {
            break;
        }
        ++p;
    }
    return static_cast<size_t>(p - start);
}

class Scanner {
public:
    Scanner(std::string_view line, const KeySteps& steps) noexcept
        : p_(line.data()), end_(line.data() + line.size()), steps_(steps) {}

    // Whether the line is one JSON value between white space, with every pointer found once.
    bool run() noexcept {
        uint32_t live = steps_.empty() ? 0 : (1U << steps_.size()) - 1;
        skip_space();
        if (!value(live, 0, nullptr)) {
            return false;
        }
        skip_space();
        if (p_ != end_) {
            return false;
        }
        for (size_t k = 0; k < steps_.size(); ++k) {
            if (found_[k].kind == ValueKind::None) {
                return false;
            }
        }
        return true;
    }

    const Found& found(size_t pointer) const noexcept { return found_[pointer]; }

private:
    void skip_space() noexcept {
        constexpr uint64_t space = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r');
        if (p_ != end_ && *p_ == ' ') {  // the usual case: one space after a comma or colon
            ++p_;
        }
        while (p_ != end_) {
            auto c = static_cast<unsigned char>(*p_);
            if (c > ' ' || !((space >> c) & 1)) {
                return;
            }
            ++p_;
        }
    }

    // One value; `live` holds the pointers whose first `depth` steps led here, `into` is where
    // to note its span and kind when a pointer ends here.
    bool value(uint32_t live, int depth, Found* into) noexcept {
        if (p_ == end_ || depth > kMaxDepth) {
            return false;
        }
        const char* start = p_;
        ValueKind kind;
        switch (*p_) {
        case '{':
            kind = ValueKind::Container;
            if (!object(live, depth)) {
                return false;
            }
            break;
        case '[':
            kind = ValueKind::Container;
            if (!array(depth)) {
                return false;
            }
            break;
        case '"': {
            bool escaped = false;
            if (!string(escaped)) {
                return false;
            }
            kind = escaped ? ValueKind::EscapedString : ValueKind::String;
            break;
        }
        case 't':
            kind = ValueKind::True;
            if (!literal("true")) {
                return false;
            }
            break;
        case 'f':
            kind = ValueKind::False;
            if (!literal("false")) {
                return false;
            }
            break;
        case 'n':
            kind = ValueKind::Null;
            if (!literal("null")) {
                return false;
            }
            break;
        default:
            if (!number(kind)) {
                return false;
            }
        }
        if (into != nullptr) {
            *into = Found{start, p_, kind};
        }
        return true;
    }

    // The items of an object or an array, from its opening bracket: `item` reads one, a comma
    // goes on to the next, `close` ends them.
    template <class Item>
    bool items(char close, Item&& item) noexcept {
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == close) {
            ++p_;
            return true;
        }
        for (;;) {
            if (!item()) {
                return false;
            }
            skip_space();
            if (p_ == end_) {
                return false;
            }
            if (*p_ == close) {
                ++p_;
                return true;
            }
            if (*p_ != ',') {
                return false;
            }
            ++p_;
            skip_space();
        }
    }

    bool object(uint32_t live, int depth) noexcept {
        return items('}', [&] { return member(live, depth); });
    }

    bool array(int depth) noexcept {
        return items(']', [&] { return value(0, depth + 1, nullptr); });
    }

    // One member of an object at `depth`: its name, and its value with the pointers that go on
    // through it.
    bool member(uint32_t live, int depth) noexcept {
        if (p_ == end_ || *p_ != '"') {
            return false;
        }
        const char* name = p_ + 1;
        bool escaped = false;
        if (!string(escaped)) {
            return false;
        }
        std::string_view text(name, static_cast<size_t>(p_ - 1 - name));
        skip_space();
        if (p_ == end_ || *p_ != ':') {
            return false;
        }
        ++p_;
        skip_space();
        Found* into = nullptr;
        uint32_t next = 0;
        if (live != 0) {
            if (escaped) {
                return false;  // the name might be a step once its escapes are read
            }
            if (!follow(live, depth, text, next, into)) {
                return false;
            }
        }
        return value(next, depth + 1, into);
    }

    // The pointers that go on through the member `name` of an object at `depth`, and where the
    // value goes when one of them ends there. A step met twice (a duplicate member on the way)
    // is left to the general reader, which keeps the last.
    bool follow(uint32_t live, int depth, std::string_view name, uint32_t& next, Found*& into) noexcept {
        for (size_t k = 0; k < steps_.size(); ++k) {
            const auto& path = steps_[k];
            if (!(live & (1U << k)) || path[static_cast<size_t>(depth)] != name) {
                continue;
            }
            if (++seen_[k][static_cast<size_t>(depth)] > 1) {
                return false;
            }
            if (static_cast<size_t>(depth) + 1 == path.size()) {
                if (into != nullptr) {
                    return false;  // two pointers naming one value: left to the general reader
                }
                into = &found_[k];
            } else {
                next |= 1U << k;
            }
        }
        return true;
    }

    bool literal(const char* word) noexcept {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) {
            return false;
        }
        p_ += n;
        return true;
    }

    bool digits() noexcept {
        const char* start = p_;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
            ++p_;
        }
        return p_ != start;
    }

    bool number(ValueKind& kind) noexcept {
        const char* start = p_;
        kind = ValueKind::Int;
        if (*p_ == '-') {
            ++p_;
        }
        const char* first_digit = p_;
        if (p_ != end_ && *p_ == '0') {
            ++p_;
        } else if (!digits()) {
            return false;  // NaN, Infinity and anything else that is not JSON here
        }
        std::ptrdiff_t int_digits = p_ - first_digit;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            kind = ValueKind::Float;
            if (!digits()) {
                return false;
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            kind = ValueKind::Float;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (!digits()) {
                return false;
            }
        }
        if (kind == ValueKind::Int && int_digits > kMaxIntDigits) {
            return false;
        }
        return static_cast<size_t>(p_ - start) <= kMaxNumberBytes;
    }

    // A string from its opening quote; `escaped` tells whether it holds an escape.
    bool string(bool& escaped) noexcept {
        ++p_;
        for (;;) {
            p_ += plain_run(p_, end_);
            if (p_ == end_) {
                return false;
            }
            auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                escaped = true;
                if (!escape()) {
                    return false;
                }
            } else if (c < 0x20) {
                return false;
            } else if (c < 0x80) {
                ++p_;
            } else if (!utf8()) {
                return false;
            }
        }
    }

    bool escape() noexcept {
        ++p_;
        if (p_ == end_) {
            return false;
        }
        char c = *p_++;
        if (std::strchr("\"\\/bfnrt", c) != nullptr && c != '\0') {
            return true;
        }
        if (c != 'u' || end_ - p_ < 4) {
            return false;
        }
        for (int i = 0; i < 4; ++i, ++p_) {
            char h = *p_;
            if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'))) {
                return false;
            }
        }
        return true;  // lone surrogates included: the json module reads them as such
    }

    // One multi-byte character, strictly: no overlong forms, no surrogates, nothing past U+10FFFF.
    bool utf8() noexcept {
        auto byte = [this](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
        auto tail = [&](std::ptrdiff_t i) { return (byte(i) & 0xC0) == 0x80; };
        unsigned char c = byte(0);
        std::ptrdiff_t left = end_ - p_;
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !tail(1)) {
                return false;
            }
            p_ += 2;
            return true;
        }
        if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || !tail(1) || !tail(2)) {
                return false;
            }
            if ((c == 0xE0 && byte(1) < 0xA0) || (c == 0xED && byte(1) > 0x9F)) {
                return false;
            }
            p_ += 3;
            return true;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || !tail(1) || !tail(2) || !tail(3)) {
                return false;
            }
            if ((c == 0xF0 && byte(1) < 0x90) || (c == 0xF4 && byte(1) > 0x8F)) {
                return false;
            }
            p_ += 4;
            return true;
        }
        return false;
    }

    const char* p_;
    const char* end_;
    const KeySteps& steps_;
    std::array<Found, kMaxPointers> found_{};
    std::array<std::array<uint8_t, kMaxSteps>, kMaxPointers> seen_{};
};

bool blank(std::string_view line) noexcept {
    for (char c : line) {
        if (!(c == ' ' || (c >= '\t' && c <= '\r'))) {
            return false;
        }
    }
    return true;
}

// The key text of one value, as the general reader writes it; false where that takes more than
// copying the JSON text (floats, escapes, containers).
bool append_text(const Found& f, std::string& text) {
    switch (f.kind) {
    case ValueKind::Int:
        if (f.stop - f.start == 2 && f.start[0] == '-' && f.start[1] == '0') {
            text += '0';
            return true;
        }
        [[fallthrough]];
    case ValueKind::String:
    case ValueKind::True:
    case ValueKind::False:
    case ValueKind::Null:
        text.append(f.start, static_cast<size_t>(f.stop - f.start));
        return true;
    case ValueKind::None:
    case ValueKind::EscapedString:
    case ValueKind::Float:
    case ValueKind::Container:
        return false;
    }
    return false;
}

std::array<uint32_t, 256> crc_table() noexcept {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

}  // namespace

bool readable(const KeySteps& steps) noexcept {
    if (steps.empty() || steps.size() > kMaxPointers) {
        return false;
    }
    for (const auto& path : steps) {
        if (path.empty() || path.size() > kMaxSteps) {
            return false;
        }
    }
    return true;
}

LineKind key_of_line(std::string_view line, const KeySteps& steps, std::string& text) {
    text.clear();
    if (blank(line)) {
        return LineKind::Blank;
    }
    if (!readable(steps)) {
        return LineKind::Unsure;
    }
    Scanner scanner(line, steps);
    if (!scanner.run()) {
        return LineKind::Unsure;
    }
    for (size_t k = 0; k < steps.size(); ++k) {
        if (k > 0) {
            text += ',';
        }
        if (!append_text(scanner.found(k), text)) {
            return LineKind::Unsure;
        }
    }
    return LineKind::Keyed;
}

uint32_t crc32(std::string_view bytes) noexcept {
    static const std::array<uint32_t, 256> table = crc_table();
    uint32_t c = 0xFFFFFFFFU;
    for (char ch : bytes) {
        c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFU;
}

}  // namespace corvane::rows
