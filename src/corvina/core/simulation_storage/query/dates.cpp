// The record's date as the query reads it: the instant an ISO 8601 text or
// a datetime stands for, in microseconds since the epoch (naive: UTC). The
// forms the store writes are read here; any other goes to the interpreter's
// own reader, which decides.
#include "query/detail.hpp"

#include <datetime.h>

namespace css::query {

namespace {

bool datetime_ready() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

}  // namespace

bool is_datetime(PyObject* o) { return datetime_ready() && PyDateTime_Check(o); }

namespace {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Digits at s[0..n) as a number; -1 if any is not a digit.
int digits(std::string_view s, size_t at, size_t n) {
    if (at + n > s.size()) return -1;
    int v = 0;
    for (size_t k = at; k < at + n; ++k) {
        if (s[k] < '0' || s[k] > '9') return -1;
        v = v * 10 + (s[k] - '0');
    }
    return v;
}

// The forms the store writes (and the usual others): YYYY-MM-DD, then
// optionally [T ]HH:MM:SS[.fff|.ffffff][Z|+HH:MM|-HH:MM]. false: another
// form, for the interpreter's reader to decide.
bool parse_common(std::string_view s, int64_t& out) {
    if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
    int y = digits(s, 0, 4), mo = digits(s, 5, 2), d = digits(s, 8, 2);
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return false;
    int h = 0, mi = 0, sec = 0, us = 0, offset = 0;
    size_t p = 10;
    if (p < s.size()) {
        if ((s[p] != 'T' && s[p] != ' ') || s.size() < p + 9 || s[p + 3] != ':' || s[p + 6] != ':')
            return false;
        h = digits(s, p + 1, 2), mi = digits(s, p + 4, 2), sec = digits(s, p + 7, 2);
        if (h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59) return false;
        p += 9;
        if (p < s.size() && s[p] == '.') {
            size_t n = 0;
            while (p + 1 + n < s.size() && s[p + 1 + n] >= '0' && s[p + 1 + n] <= '9') ++n;
            if (n != 3 && n != 6) return false;
            us = digits(s, p + 1, n) * (n == 3 ? 1000 : 1);
            p += 1 + n;
        }
        if (p < s.size()) {
            if (s[p] == 'Z') {
                ++p;
            } else if (s[p] == '+' || s[p] == '-') {
                if (s.size() != p + 6 || s[p + 3] != ':') return false;
                int oh = digits(s, p + 1, 2), om = digits(s, p + 4, 2);
                if (oh < 0 || oh > 23 || om < 0 || om > 59) return false;
                offset = (oh * 60 + om) * 60 * (s[p] == '-' ? -1 : 1);
                p += 6;
            } else {
                return false;
            }
        }
        if (p != s.size()) return false;
    }
    int64_t seconds = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                      h * 3600 + mi * 60 + sec - offset;
    out = seconds * 1000000 + us;
    return true;
}

}  // namespace

// The instant of a datetime object (naive: UTC). -1 on error.
int instant_of(PyObject* dt, int64_t& out) {
    int64_t seconds =
        days_from_civil(PyDateTime_GET_YEAR(dt), static_cast<unsigned>(PyDateTime_GET_MONTH(dt)),
                        static_cast<unsigned>(PyDateTime_GET_DAY(dt))) *
            86400 +
        PyDateTime_DATE_GET_HOUR(dt) * 3600 + PyDateTime_DATE_GET_MINUTE(dt) * 60 +
        PyDateTime_DATE_GET_SECOND(dt);
    int64_t us = seconds * 1000000 + PyDateTime_DATE_GET_MICROSECOND(dt);
    Ref offset = Ref::steal(PyObject_CallMethod(dt, "utcoffset", nullptr));
    if (!offset) return -1;
    if (PyDelta_Check(offset.get())) {
        PyObject* o = offset.get();
        us -= (static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(o)) * 86400 +
               PyDateTime_DELTA_GET_SECONDS(o)) *
                  1000000 +
              PyDateTime_DELTA_GET_MICROSECONDS(o);
    }
    out = us;
    return 1;
}

// `datetime.fromisoformat(text)`, as an instant; 0 when it refuses the text.
int read_iso(PyObject* text, int64_t& out) {
    if (!datetime_ready()) return -1;
    Ref dt = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType),
                                            "fromisoformat", "O", text));
    if (!dt) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyDateTime_Check(dt.get())) return 0;
    return instant_of(dt.get(), out);
}
int date_instant(std::string_view text, int64_t& out) {
    if (parse_common(text, out)) return 1;
    Ref s = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    if (!s) return -1;
    return read_iso(s.get(), out);
}

}  // namespace css::query
