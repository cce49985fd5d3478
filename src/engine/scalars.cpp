// Bytes, dates, times and datetimes compared by their fields.
#include "engine/scalars.h"

#include "engine/python_calls.h"

#include <datetime.h>

#include <cstring>

namespace corvane {
namespace {

// Days from 0001-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}

constexpr int64_t kMicrosPerDay = 86400LL * 1000000;

int64_t time_of_day(int hour, int minute, int second, int micro) noexcept {
    return ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000000 + micro;
}

int64_t datetime_micros(PyObject* x) noexcept {
    return days_from_civil(PyDateTime_GET_YEAR(x), PyDateTime_GET_MONTH(x), PyDateTime_GET_DAY(x)) * kMicrosPerDay +
           time_of_day(PyDateTime_DATE_GET_HOUR(x), PyDateTime_DATE_GET_MINUTE(x), PyDateTime_DATE_GET_SECOND(x),
                       PyDateTime_DATE_GET_MICROSECOND(x));
}

int64_t clock_micros(PyObject* x) noexcept {
    return time_of_day(PyDateTime_TIME_GET_HOUR(x), PyDateTime_TIME_GET_MINUTE(x), PyDateTime_TIME_GET_SECOND(x),
                       PyDateTime_TIME_GET_MICROSECOND(x));
}

PyObject* tzinfo_of(PyObject* x, ValueKind kind) noexcept {
    return kind == ValueKind::DateTime ? PyDateTime_DATE_GET_TZINFO(x) : PyDateTime_TIME_GET_TZINFO(x);
}

// The value's offset from UTC in microseconds, asked of its tzinfo through the gate; nothing for
// an offset of None (a tzinfo that does not know).
std::optional<int64_t> offset_micros(Walk& walk, PyObject* x) {
    Held offset(walk, utc_offset(walk, x));  // released through the gate however this returns
    PyObject* d = offset.get();
    if (d == Py_None || !PyDelta_Check(d)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(d)) * kMicrosPerDay +
           static_cast<int64_t>(PyDateTime_DELTA_GET_SECONDS(d)) * 1000000 + PyDateTime_DELTA_GET_MICROSECONDS(d);
}

ScalarVerdict same(bool equal) noexcept { return equal ? ScalarVerdict::Equal : ScalarVerdict::Differ; }

// Two datetimes, or two times: naive ones by their fields, aware ones (in the same tzinfo by their
// fields, else) as instants; a naive one against an aware one is another kind.
ScalarVerdict compare_clock(Walk& walk, PyObject* a, PyObject* b, ValueKind kind) {
    PyObject* tz_a = tzinfo_of(a, kind);
    PyObject* tz_b = tzinfo_of(b, kind);
    auto fields = [&](PyObject* x) { return kind == ValueKind::DateTime ? datetime_micros(x) : clock_micros(x); };
    if ((tz_a == Py_None) != (tz_b == Py_None)) {
        return ScalarVerdict::OtherKind;
    }
    if (tz_a == tz_b) {
        return same(fields(a) == fields(b));
    }
    std::optional<int64_t> off_a = offset_micros(walk, a);
    std::optional<int64_t> off_b = offset_micros(walk, b);
    if (!off_a || !off_b) {
        return off_a.has_value() == off_b.has_value() ? same(fields(a) == fields(b)) : ScalarVerdict::OtherKind;
    }
    return same(fields(a) - *off_a == fields(b) - *off_b);
}

}  // namespace

bool scalar_fingerprint(PyObject* x, ValueKind kind, uint64_t& out) noexcept {
    switch (kind) {
    case ValueKind::Date:
        out = static_cast<uint64_t>(
            days_from_civil(PyDateTime_GET_YEAR(x), PyDateTime_GET_MONTH(x), PyDateTime_GET_DAY(x)));
        return true;
    case ValueKind::DateTime:
        out = static_cast<uint64_t>(datetime_micros(x));
        return PyDateTime_DATE_GET_TZINFO(x) == Py_None;
    case ValueKind::Time:
        out = static_cast<uint64_t>(clock_micros(x));
        return PyDateTime_TIME_GET_TZINFO(x) == Py_None;
    case ValueKind::Str:
    case ValueKind::Int:
    case ValueKind::Bool:
    case ValueKind::Float:
    case ValueKind::None:
    case ValueKind::Bytes:
    case ValueKind::Container:
        break;
    }
    return false;
}

const char* const kDateTimeCapsule = PyDateTime_CAPSULE_NAME;

void use_datetime_api(void* api) noexcept { PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(api); }

ValueKind date_kind(PyObject* x) noexcept {
    if (PyDateTimeAPI == nullptr) {
        return ValueKind::Container;
    }
    if (PyDateTime_CheckExact(x)) {
        return ValueKind::DateTime;
    }
    if (PyDate_CheckExact(x)) {
        return ValueKind::Date;
    }
    if (PyTime_CheckExact(x)) {
        return ValueKind::Time;
    }
    return ValueKind::Container;
}

ScalarVerdict compare_scalars(Walk& walk, PyObject* a, PyObject* b, ValueKind kind) {
    switch (kind) {
    case ValueKind::Bytes: {
        Py_ssize_t n = PyBytes_GET_SIZE(a);
        return same(n == PyBytes_GET_SIZE(b) &&
                    std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<size_t>(n)) == 0);
    }
    case ValueKind::Date:
        return same(PyDateTime_GET_YEAR(a) == PyDateTime_GET_YEAR(b) &&
                    PyDateTime_GET_MONTH(a) == PyDateTime_GET_MONTH(b) && PyDateTime_GET_DAY(a) == PyDateTime_GET_DAY(b));
    case ValueKind::DateTime:
    case ValueKind::Time:
        return compare_clock(walk, a, b, kind);
    case ValueKind::Str:
    case ValueKind::Int:
    case ValueKind::Bool:
    case ValueKind::Float:
    case ValueKind::None:
    case ValueKind::Container:
        break;
    }
    return ScalarVerdict::OtherKind;
}

}  // namespace corvane
