// JSON Lines for keyed datasets: each line checked as strict JSON and its key read off the bytes,
// without building a value. Plain C++: nothing here calls the interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::rows {

// The key's pointers, each the member names (UTF-8) that lead to its value from the row.
using KeySteps = std::vector<std::vector<std::string>>;

// The most pointers and steps a key may have for the lines to be read here.
inline constexpr size_t kMaxPointers = 8;
inline constexpr size_t kMaxSteps = 16;

enum class LineKind {
    Blank,   // white space only (the ASCII white space of bytes.isspace): counted, not a row
    Keyed,   // strict JSON, every pointer leading to one scalar the text names
    Unsure,  // anything else: the general reader decodes it and decides (error or key)
};

// Whether lines can be read here for a key of these pointers (at most kMaxPointers, each of 1 to
// kMaxSteps steps).
bool readable(const KeySteps& steps) noexcept;

// Reads one line (its end included). For Keyed, `text` is the key as the companion package writes
// it: each value's JSON text (ints in their shortest form, strings as written, which needs no
// escapes), joined by commas. Unsure is also the answer for what is valid but read elsewhere:
// float keys, keys with escapes, NaN and Infinity, BOMs, very long numbers, deep nesting,
// duplicate members along a key's path.
LineKind key_of_line(std::string_view line, const KeySteps& steps, std::string& text);

// The CRC-32 of zlib (and of Python's zlib.crc32), by which rows go to partitions.
uint32_t crc32(std::string_view bytes) noexcept;

}  // namespace corvane::rows
