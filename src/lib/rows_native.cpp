// corvane_report._native.key_lines: a chunk of JSON Lines read and keyed at once, its rows grouped
// by partition, for the datasets' spilling pass (only the key texts become objects); and
// identical_spans, which finds the pairs of rows whose bytes are identical without slicing them.
#include "lib/rows_native.h"

#include "lib/arguments.h"
#include "rows/line_scan.h"

#include <cstring>
#include <string>
#include <vector>

namespace corvane {
namespace {

// A buffer held for the length of the call.
class HeldBuffer {
public:
    explicit HeldBuffer(PyObject* source, int flags = PyBUF_SIMPLE) {
        if (PyObject_GetBuffer(source, &view_, flags) < 0) {
            throw PythonError{};
        }
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)};
    }
    // Whether the buffer holds int64 values (an array('q'), got with PyBUF_FORMAT).
    bool holds_int64() const noexcept {
        const char* format = view_.format;
        return view_.itemsize == 8 && format != nullptr && (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0);
    }
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    size_t size() const noexcept { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// The interpreter's lock let go for a block of plain C++ (and taken back however it ends), so
// that other threads run while a chunk is scanned.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

rows::KeySteps steps_of(PyObject* pointers) {
    if (!PyTuple_Check(pointers)) {
        bad_argument("steps is a tuple of tuples of str");
    }
    rows::KeySteps steps;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pointers); ++i) {
        PyObject* path = PyTuple_GET_ITEM(pointers, i);
        if (!PyTuple_Check(path)) {
            bad_argument("steps is a tuple of tuples of str");
        }
        std::vector<std::string> names;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(path); ++k) {
            PyObject* step = PyTuple_GET_ITEM(path, k);
            if (!PyUnicode_Check(step)) {
                bad_argument("steps is a tuple of tuples of str");
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(step, &size);
            if (text == nullptr) {
                throw PythonError{};  // a lone surrogate: no line's member could match it as bytes
            }
            names.emplace_back(text, static_cast<size_t>(size));
        }
        steps.push_back(std::move(names));
    }
    if (!rows::readable(steps)) {
        PyErr_SetString(PyExc_ValueError, "a key of this shape is read by the general reader");
        throw PythonError{};
    }
    return steps;
}

struct KeyedLine {
    uint32_t part;
    size_t text_size;
    size_t start;
    size_t size;
    size_t text_at;
    long long number;
};

struct ScannedChunk {
    std::vector<KeyedLine> keyed;
    std::string texts;
    std::vector<KeyedLine> unsure;  // part and text unused
    size_t consumed = 0;
    long long lines = 0;
};

// Every whole line of `data` (and, when `final`, what follows the last line end), keyed.
ScannedChunk scan(std::string_view data, const rows::KeySteps& steps, unsigned long partitions, long long number,
                  bool final) {
    ScannedChunk chunk;
    std::string text;
    size_t pos = 0;
    while (pos < data.size()) {
        const void* end = std::memchr(data.data() + pos, '\n', data.size() - pos);
        if (end == nullptr && !final) {
            break;
        }
        size_t stop = end == nullptr ? data.size() : static_cast<size_t>(static_cast<const char*>(end) - data.data()) + 1;
        std::string_view line = data.substr(pos, stop - pos);
        ++chunk.lines;
        long long at = number + chunk.lines;
        switch (rows::key_of_line(line, steps, text)) {
        case rows::LineKind::Blank:
            break;
        case rows::LineKind::Keyed:
            chunk.keyed.push_back({static_cast<uint32_t>(rows::crc32(text) % partitions), text.size(), pos, line.size(),
                                   chunk.texts.size(), at});
            chunk.texts += text;
            break;
        case rows::LineKind::Unsure:
            chunk.unsure.push_back({0, 0, pos, line.size(), 0, at});
            break;
        }
        pos = stop;
    }
    chunk.consumed = pos;
    return chunk;
}

Ref int64_bytes(const std::vector<long long>& values) {
    return or_pending(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                          static_cast<Py_ssize_t>(values.size() * sizeof(long long))));
}

// (part, texts, numbers, sizes, blob) of one partition's lines, in the chunk's order.
Ref part_tuple(uint32_t part, const std::vector<const KeyedLine*>& lines, std::string_view data, const std::string& texts) {
    Ref keys = or_pending(PyList_New(static_cast<Py_ssize_t>(lines.size())));
    std::vector<long long> numbers, sizes;
    size_t total = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const KeyedLine& line = *lines[i];
        Ref key = or_pending(PyUnicode_DecodeUTF8(texts.data() + line.text_at, static_cast<Py_ssize_t>(line.text_size), nullptr));
        PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), key.release());
        numbers.push_back(line.number);
        sizes.push_back(static_cast<long long>(line.size));
        total += line.size;
    }
    Ref blob = or_pending(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    char* out = PyBytes_AS_STRING(blob.get());
    for (const KeyedLine* line : lines) {
        std::memcpy(out, data.data() + line->start, line->size);
        out += line->size;
    }
    Ref numbers_bytes = int64_bytes(numbers);
    Ref sizes_bytes = int64_bytes(sizes);
    return or_pending(Py_BuildValue("(INNNN)", part, keys.release(), numbers_bytes.release(), sizes_bytes.release(), blob.release()));
}

Ref parts_list(const ScannedChunk& chunk, std::string_view data, unsigned long partitions) {
    std::vector<std::vector<const KeyedLine*>> by_part(partitions);
    for (const KeyedLine& line : chunk.keyed) {
        by_part[line.part].push_back(&line);
    }
    Ref parts = or_pending(PyList_New(0));
    for (uint32_t part = 0; part < partitions; ++part) {
        if (by_part[part].empty()) {
            continue;
        }
        Ref one = part_tuple(part, by_part[part], data, chunk.texts);
        if (PyList_Append(parts.get(), one.get()) < 0) {
            throw PythonError{};
        }
    }
    return parts;
}

Ref unsure_lists(const ScannedChunk& chunk, std::string_view data, Ref& numbers) {
    numbers = or_pending(PyList_New(static_cast<Py_ssize_t>(chunk.unsure.size())));
    Ref payloads = or_pending(PyList_New(static_cast<Py_ssize_t>(chunk.unsure.size())));
    for (size_t i = 0; i < chunk.unsure.size(); ++i) {
        const KeyedLine& line = chunk.unsure[i];
        PyList_SET_ITEM(numbers.get(), static_cast<Py_ssize_t>(i), or_pending(PyLong_FromLongLong(line.number)).release());
        Ref payload = or_pending(PyBytes_FromStringAndSize(data.data() + line.start, static_cast<Py_ssize_t>(line.size)));
        PyList_SET_ITEM(payloads.get(), static_cast<Py_ssize_t>(i), payload.release());
    }
    return payloads;
}

// One side of identical_spans: its bytes and the span of a row, checked against both.
class Spans {
public:
    Spans(PyObject* blob, PyObject* offsets) : blob_(blob), offsets_(offsets, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) {
        if (!offsets_.holds_int64()) {
            bad_argument("offsets are an int64 buffer (an array('q'))");
        }
        bytes_ = blob_.bytes();
        count_ = offsets_.size() / sizeof(long long);
    }
    std::string_view row(PyObject* position) const {
        Py_ssize_t i = PyLong_AsSsize_t(position);
        if (i == -1 && PyErr_Occurred()) {
            throw PythonError{};
        }
        if (i < 0 || static_cast<size_t>(i) + 1 >= count_) {
            PyErr_SetString(PyExc_IndexError, "a position past the offsets");
            throw PythonError{};
        }
        long long start = offset(static_cast<size_t>(i));
        long long stop = offset(static_cast<size_t>(i) + 1);
        if (start < 0 || stop < start || static_cast<size_t>(stop) > bytes_.size()) {
            PyErr_SetString(PyExc_ValueError, "offsets outside the blob");
            throw PythonError{};
        }
        return bytes_.substr(static_cast<size_t>(start), static_cast<size_t>(stop - start));
    }

private:
    long long offset(size_t i) const noexcept {  // copied out: a buffer's view need not be aligned
        long long value;
        std::memcpy(&value, offsets_.data() + i * sizeof(long long), sizeof value);
        return value;
    }

    HeldBuffer blob_;
    HeldBuffer offsets_;
    std::string_view bytes_;
    size_t count_ = 0;
};

}  // namespace

PyObject* native_key_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded([&] {
        if (nargs != 5) {
            bad_argument("key_lines(data, steps, partitions, number, final)");
        }
        HeldBuffer data(args[0]);
        rows::KeySteps steps = steps_of(args[1]);
        // each conversion checked before the next, which may run Python code (__index__, __bool__)
        unsigned long partitions = PyLong_AsUnsignedLong(args[2]);
        if (partitions == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            throw PythonError{};
        }
        long long number = PyLong_AsLongLong(args[3]);
        if (number == -1 && PyErr_Occurred()) {
            throw PythonError{};
        }
        int final = PyObject_IsTrue(args[4]);
        if (final < 0) {
            throw PythonError{};
        }
        if (partitions == 0 || partitions > (1UL << 20)) {
            PyErr_SetString(PyExc_ValueError, "partitions is between 1 and 2**20");
            throw PythonError{};
        }
        ScannedChunk chunk;
        {
            WithoutGil released;  // the scan reads the held buffer and C++ values only
            chunk = scan(data.bytes(), steps, partitions, number, final != 0);
        }
        Ref parts = parts_list(chunk, data.bytes(), partitions);
        Ref numbers;
        Ref payloads = unsure_lists(chunk, data.bytes(), numbers);
        return or_pending(Py_BuildValue("(nLNNN)", static_cast<Py_ssize_t>(chunk.consumed), chunk.lines, parts.release(),
                                  numbers.release(), payloads.release()))
            .release();
    });
}

PyObject* native_identical_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guarded([&] {
        if (nargs != 8 || !PyList_Check(args[2]) || !PyList_Check(args[5])) {
            bad_argument("identical_spans(blob_a, offsets_a, positions_a, blob_b, offsets_b, positions_b, short, nan)");
        }
        Spans a(args[0], args[1]);
        Spans b(args[3], args[4]);
        size_t shorter = PyLong_AsSize_t(args[6]);
        if (shorter == static_cast<size_t>(-1) && PyErr_Occurred()) {
            throw PythonError{};
        }
        int nan = PyObject_IsTrue(args[7]);  // before the lists are read: it may run Python code
        if (nan < 0) {
            throw PythonError{};
        }
        Py_ssize_t n = PyList_GET_SIZE(args[2]);
        if (PyList_GET_SIZE(args[5]) != n) {
            bad_argument("as many positions on each side");
        }
        Ref flags = or_pending(PyBytes_FromStringAndSize(nullptr, n));
        char* out = PyBytes_AS_STRING(flags.get());
        for (Py_ssize_t k = 0; k < n; ++k) {  // nothing in the loop runs Python code: the lists stay as they are
            std::string_view x = a.row(PyList_GET_ITEM(args[2], k));
            std::string_view y = b.row(PyList_GET_ITEM(args[5], k));
            bool looked_at = x.size() >= shorter || (nan && x.find("NaN") != std::string_view::npos);
            out[k] = static_cast<char>(x != y ? 0 : looked_at ? 2 : 1);
        }
        return flags.release();
    });
}

}  // namespace corvane
