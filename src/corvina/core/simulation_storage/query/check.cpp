// Checking a query whole, and evaluating it over one record.
//
// The check runs before any record is read and refuses every malformed
// part, wherever it is (behind an `$or`, under a filter that matches
// nothing): a query means one thing or is refused. Nothing in a query is
// ever run as code; `$regex` patterns go to the interpreter's `re`.
#include "query/query.hpp"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace css::query {

namespace {

using Kind = Value::Kind;

// The sixteen fields of a record: the first segment of every path.
constexpr const char* kFields[] = {
    "component_name", "factory_name",     "component_settings", "model_parameters",
    "hyperparameters", "simulation_type", "simulation_id",      "pdk_name",
    "pdk_version",    "simulation_date",  "corvina_version",    "result",
    "wavelengths",    "execution_time_seconds", "status",       "error_message",
};

std::string utf8_of(PyObject* text) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) {
        PyErr_Clear();
        return "?";
    }
    return std::string(p, static_cast<size_t>(n));
}

std::string repr_of(PyObject* o) {
    Ref r = Ref::steal(PyObject_Repr(o));
    if (!r) {
        PyErr_Clear();
        return "?";
    }
    Ref ascii = Ref::steal(PyUnicode_AsEncodedString(r.get(), "utf-8", "backslashreplace"));
    if (!ascii) {
        PyErr_Clear();
        return "?";
    }
    std::string s(PyBytes_AS_STRING(ascii.get()), static_cast<size_t>(PyBytes_GET_SIZE(ascii.get())));
    if (s.size() > 80) s = s.substr(0, 77) + "...";
    return s;
}

std::string at_key(const std::string& loc, PyObject* key) { return loc + "[" + repr_of(key) + "]"; }
std::string at_index(const std::string& loc, Py_ssize_t i) {
    return loc + "[" + std::to_string(i) + "]";
}

bool fail(const std::string& loc, const std::string& why) {
    PyErr_Format(PyExc_ValueError, "invalid query at %s: %s", loc.c_str(), why.c_str());
    return false;
}

// UTF-8 of a text, lone surrogates as their 3-byte forms (code-point order kept).
bool text_bytes(PyObject* s, std::string& out) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
        out.assign(p, static_cast<size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Ref b = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!b) return false;
    out.assign(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
    return true;
}

bool is_number_object(PyObject* o) {
    return !PyBool_Check(o) && (PyLong_Check(o) || PyFloat_Check(o));
}

Ref int_object(__int128 v) {
    return Ref::steal(PyLong_FromNativeBytes(&v, sizeof v, Py_ASNATIVEBYTES_NATIVE_ENDIAN));
}

Ref number_object(const Value& v) {
    switch (v.kind) {
        case Kind::Int: return int_object(v.i);
        case Kind::Float: return Ref::steal(PyFloat_FromDouble(v.d));
        case Kind::Big: return v.big;
        default: return {};
    }
}

// Exact order of an integer and a finite double.
int int_float(__int128 i, double d) {
    if (d >= 0x1p127) return -1;
    if (d < -0x1p127) return 1;
    double t = std::trunc(d);
    auto ti = static_cast<__int128>(t);
    if (i != ti) return i < ti ? -1 : 1;
    double frac = d - t;
    return frac > 0 ? -1 : frac < 0 ? 1 : 0;
}

int numbers(const Value& a, const Value& b) {
    if (a.kind == Kind::Int && b.kind == Kind::Int) return a.i < b.i ? -1 : a.i > b.i;
    if (a.kind == Kind::Float && b.kind == Kind::Float) return a.d < b.d ? -1 : a.d > b.d;
    if (a.kind == Kind::Int && b.kind == Kind::Float) return int_float(a.i, b.d);
    if (a.kind == Kind::Float && b.kind == Kind::Int) return -int_float(b.i, a.d);
    // An integer beyond 128 bits: the interpreter's exact comparison.
    Ref x = number_object(a), y = number_object(b);
    if (!x || !y) {
        PyErr_Clear();
        return 2;
    }
    int lt = PyObject_RichCompareBool(x.get(), y.get(), Py_LT);
    int gt = lt ? 0 : PyObject_RichCompareBool(x.get(), y.get(), Py_GT);
    if (lt < 0 || gt < 0) {
        PyErr_Clear();
        return 2;
    }
    return lt ? -1 : gt;
}

// A number as `math.isclose` takes it; false if it has no double.
bool as_double(const Value& v, double& out) {
    switch (v.kind) {
        case Kind::Int: out = static_cast<double>(v.i); return true;
        case Kind::Float: out = v.d; return true;
        case Kind::Big: {
            out = PyLong_AsDouble(v.big.get());
            if (out == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            return true;
        }
        default: return false;
    }
}

// CPython's math.isclose, term for term.
bool isclose(double a, double b, double rel_tol, double abs_tol) {
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    double diff = std::fabs(b - a);
    return ((diff <= std::fabs(rel_tol * b)) || (diff <= std::fabs(rel_tol * a))) ||
           (diff <= abs_tol);
}

// --- dates ---------------------------------------------------------------------------

bool datetime_ready() {
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

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

// --- checking ------------------------------------------------------------------------

struct Compiler {
    Query& q;

    int path_index(PyObject* key, const std::string& loc) {
        std::string text = utf8_of(key);
        if (PyErr_Occurred()) return -1;
        for (size_t k = 0; k < q.paths.size(); ++k) {
            std::string joined;
            for (const std::string& s : q.paths[k].segments) joined += (joined.empty() ? "" : ".") + s;
            if (joined == text) return static_cast<int>(k);
        }
        Path path;
        if (!compile_path(key, loc.c_str(), path, nullptr)) return -1;
        q.paths.push_back(std::move(path));
        return static_cast<int>(q.paths.size() - 1);
    }

    // A constant of the query, as its JSON form; on the record's date, a
    // text (or datetime) is also read as a date.
    bool constant(PyObject* v, const Path& path, const std::string& loc, Value& out, bool& dated,
                  int64_t& instant) {
        dated = false;
        if (path.date && (PyUnicode_Check(v) || (datetime_ready() && PyDateTime_Check(v)))) {
            int r = PyUnicode_Check(v) ? read_iso(v, instant) : instant_of(v, instant);
            if (r < 0) return false;
            if (r == 0)
                return fail(loc, "simulation_date compares as a date: " + repr_of(v) +
                                     " is not an ISO 8601 date");
            dated = true;
            if (!PyUnicode_Check(v)) {
                out.kind = Kind::Other;
                return true;
            }
        }
        return from_object(v, out, true, loc);
    }

    bool test(Node& n, int path, Op op) {
        n.kind = Node::Kind::Test;
        n.path = path;
        n.op = op;
        return true;
    }

    bool operator_entry(PyObject* op, PyObject* v, int path, const std::string& loc, Node& n) {
        const Path& p = q.paths[static_cast<size_t>(path)];
        std::string name = utf8_of(op);
        static const struct {
            const char* name;
            Op op;
        } kCompare[] = {{"$eq", Op::Eq}, {"$ne", Op::Ne}, {"$gt", Op::Gt},
                        {"$gte", Op::Gte}, {"$lt", Op::Lt}, {"$lte", Op::Lte}};
        for (const auto& c : kCompare) {
            if (name != c.name) continue;
            test(n, path, c.op);
            return constant(v, p, loc, n.operand, n.operand_dated, n.instant);
        }
        if (name == "$in" || name == "$nin") {
            test(n, path, name == "$in" ? Op::In : Op::Nin);
            if (!PyList_Check(v) && !PyTuple_Check(v))
                return fail(loc, name + " takes a list of values, got " + repr_of(v));
            Ref seq = Ref::steal(PySequence_Tuple(v));
            if (!seq) return false;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(seq.get()); ++k) {
                n.set.emplace_back();
                bool dated = false;
                int64_t instant = 0;
                if (!constant(PyTuple_GET_ITEM(seq.get(), k), p, at_index(loc, k), n.set.back(),
                              dated, instant))
                    return false;
                n.set_dated.push_back(dated);
                n.set_instants.push_back(instant);
            }
            return true;
        }
        if (name == "$exists") {
            test(n, path, Op::Exists);
            if (!PyBool_Check(v)) return fail(loc, "$exists takes True or False, got " + repr_of(v));
            n.exists = v == Py_True;
            return true;
        }
        if (name == "$regex") {
            test(n, path, Op::Regex);
            if (!PyUnicode_Check(v)) return fail(loc, "$regex takes a text, got " + repr_of(v));
            Ref re = Ref::steal(PyImport_ImportModule("re"));
            if (!re) return false;
            n.pattern = Ref::steal(PyObject_CallMethod(re.get(), "compile", "O", v));
            if (!n.pattern) {
                Ref exc = Ref::steal(PyErr_GetRaisedException());
                Ref error = Ref::steal(PyObject_GetAttrString(re.get(), "error"));
                if (!error) return false;
                if (!PyErr_GivenExceptionMatches(exc.get(), error.get())) {
                    PyErr_SetRaisedException(exc.release());
                    return false;
                }
                Ref text = Ref::steal(PyObject_Str(exc.get()));
                if (!text) PyErr_Clear();
                return fail(loc, "bad regular expression " + repr_of(v) + ": " +
                                     (text ? utf8_of(text.get()) : "?"));
            }
            return true;
        }
        if (name == "$near") {
            test(n, path, Op::Near);
            Ref seq;
            if (is_number_object(v)) seq = Ref::steal(PyTuple_Pack(1, v));
            else if (PyList_Check(v) || PyTuple_Check(v)) seq = Ref::steal(PySequence_Tuple(v));
            else
                return fail(loc, "$near takes [value, rel_tol, abs_tol] (tolerances optional), got " +
                                     repr_of(v));
            if (!seq) return false;
            Py_ssize_t count = PyTuple_GET_SIZE(seq.get());
            if (count < 1 || count > 3)
                return fail(loc, "$near takes [value, rel_tol, abs_tol] (tolerances optional), got " +
                                     repr_of(v));
            n.near[0] = 0.0;
            n.near[1] = 1e-09;  // math.isclose's defaults
            n.near[2] = 0.0;
            static const char* const kWhat[3] = {"value", "rel_tol", "abs_tol"};
            for (Py_ssize_t k = 0; k < count; ++k) {
                PyObject* item = PyTuple_GET_ITEM(seq.get(), k);
                std::string what = std::string("$near's ") + kWhat[k];
                if (!is_number_object(item))
                    return fail(loc, what + " must be a number, got " + repr_of(item));
                double d = PyFloat_AsDouble(item);
                if (d == -1.0 && PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
                    PyErr_Clear();
                    return fail(loc, what + " is too large for a float: " + repr_of(item));
                }
                if (!std::isfinite(d)) return fail(loc, what + " must be finite, got " + repr_of(item));
                if (k > 0 && d < 0) return fail(loc, what + " must not be negative, got " + repr_of(item));
                n.near[k] = d;
            }
            return true;
        }
        if (name == "$not") {
            n.kind = Node::Kind::Not;
            n.children.emplace_back();
            return condition(v, path, loc, n.children.back());
        }
        if (name == "$and" || name == "$or") {
            n.kind = name == "$and" ? Node::Kind::And : Node::Kind::Or;
            return each(v, loc, name, n, [&](PyObject* item, const std::string& l, Node& c) {
                return condition(item, path, l, c);
            });
        }
        return fail(loc, "unknown operator " + repr_of(op));
    }

    template <class F>
    bool each(PyObject* v, const std::string& loc, const std::string& name, Node& n, F f) {
        if (!PyList_Check(v) && !PyTuple_Check(v))
            return fail(loc, name + " takes a non-empty list, got " + repr_of(v));
        Ref seq = Ref::steal(PySequence_Tuple(v));
        if (!seq) return false;
        if (PyTuple_GET_SIZE(seq.get()) == 0) return fail(loc, name + " takes a non-empty list");
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(seq.get()); ++k) {
            n.children.emplace_back();
            if (!f(PyTuple_GET_ITEM(seq.get(), k), at_index(loc, k), n.children.back())) return false;
        }
        return true;
    }

    // What a field path is given: a mapping of operators, or a value it equals.
    bool condition(PyObject* v, int path, const std::string& loc, Node& n) {
        if (Py_EnterRecursiveCall(" while checking a query")) return false;
        bool ok = condition_body(v, path, loc, n);
        Py_LeaveRecursiveCall();
        return ok;
    }

    bool condition_body(PyObject* v, int path, const std::string& loc, Node& n) {
        if (PyDict_Check(v) && PyDict_GET_SIZE(v) > 0) {
            Py_ssize_t pos = 0;
            PyObject *k, *item;
            int operators = 0, fields = 0;
            while (PyDict_Next(v, &pos, &k, &item)) {
                bool op = PyUnicode_Check(k) && PyUnicode_GET_LENGTH(k) > 0 &&
                          PyUnicode_READ_CHAR(k, 0) == '$';
                (op ? operators : fields) += 1;
            }
            if (operators && fields)
                return fail(loc, "a condition mixes operators ($...) with other keys: " + repr_of(v));
            if (operators) {
                n.kind = Node::Kind::And;
                pos = 0;
                Ref keep = Ref::borrow(v);
                while (PyDict_Next(v, &pos, &k, &item)) {
                    Ref key = Ref::borrow(k), value = Ref::borrow(item);
                    n.children.emplace_back();
                    if (!operator_entry(key.get(), value.get(), path, at_key(loc, key.get()),
                                        n.children.back()))
                        return false;
                }
                return true;
            }
        }
        test(n, path, Op::Eq);
        return constant(v, q.paths[static_cast<size_t>(path)], loc, n.operand, n.operand_dated,
                        n.instant);
    }

    bool query(PyObject* v, const std::string& loc, Node& n) {
        if (Py_EnterRecursiveCall(" while checking a query")) return false;
        bool ok = query_body(v, loc, n);
        Py_LeaveRecursiveCall();
        return ok;
    }

    bool query_body(PyObject* v, const std::string& loc, Node& n) {
        n.kind = Node::Kind::And;
        if (!PyDict_Check(v))
            return fail(loc, "a query is a mapping of field paths to conditions, got " + repr_of(v));
        Ref keep = Ref::borrow(v);
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(item);
            std::string l = at_key(loc, key.get());
            if (!PyUnicode_Check(key.get())) return fail(l, "a field path must be a text");
            n.children.emplace_back();
            Node& c = n.children.back();
            std::string name = utf8_of(key.get());
            if (name == "$and" || name == "$or") {
                c.kind = name == "$and" ? Node::Kind::And : Node::Kind::Or;
                if (!each(value.get(), l, name, c, [&](PyObject* sub, const std::string& sl, Node& sc) {
                        return query(sub, sl, sc);
                    }))
                    return false;
            } else if (name == "$not") {
                c.kind = Node::Kind::Not;
                c.children.emplace_back();
                if (!query(value.get(), l, c.children.back())) return false;
            } else if (!name.empty() && name[0] == '$') {
                return fail(l, "unknown operator " + repr_of(key.get()) +
                                   " (a query's own operators are $and, $or and $not)");
            } else {
                int path = path_index(key.get(), l);
                if (path < 0) return false;
                if (!condition(value.get(), path, l, c)) return false;
            }
        }
        return true;
    }
};

// --- evaluating ----------------------------------------------------------------------

struct Evaluator {
    const Query& q;
    Source& src;
    std::vector<signed char> state;  // 0 not yet, 1 present, 2 missing
    std::vector<Value> values;
    std::vector<signed char> date_state;  // 0 not yet, 1 a date, 2 not
    std::vector<int64_t> dates;

    Evaluator(const Query& query, Source& source)
        : q(query), src(source), state(query.paths.size(), 0), values(query.paths.size()),
          date_state(query.paths.size(), 0), dates(query.paths.size(), 0) {}

    const Value* value(int path) {
        auto k = static_cast<size_t>(path);
        if (!state[k]) state[k] = src.resolve(q.paths[k], values[k]) ? 1 : 2;
        return state[k] == 1 ? &values[k] : nullptr;
    }

    // 1 the value is a date (its instant in `out`), 0 not, -1 error.
    int date(int path, const Value& v, int64_t& out) {
        auto k = static_cast<size_t>(path);
        if (!date_state[k]) {
            if (v.kind != Kind::Str) {
                date_state[k] = 2;
            } else {
                int r = date_instant(v.s, dates[k]);
                if (r < 0) return -1;
                date_state[k] = r ? 1 : 2;
            }
        }
        out = dates[k];
        return date_state[k] == 1;
    }

    // -1 error; else whether `v` equals the operand (or one item of the set).
    int same(int path, const Value& v, const Value& operand, bool dated, int64_t instant) {
        if (!dated) return equal(v, operand);
        int64_t at = 0;
        int r = date(path, v, at);
        if (r < 0) return -1;
        return r && at == instant;
    }

    int in_set(const Node& n, const Value& v) {
        for (size_t k = 0; k < n.set.size(); ++k) {
            int r = same(n.path, v, n.set[k], n.set_dated[k], n.set_instants[k]);
            if (r) return r;
        }
        return 0;
    }

    int test(const Node& n) {
        const Value* v = value(n.path);
        switch (n.op) {
            case Op::Exists: return (v != nullptr) == n.exists;
            case Op::Ne: {
                if (!v) return 1;
                int r = same(n.path, *v, n.operand, n.operand_dated, n.instant);
                return r < 0 ? -1 : !r;
            }
            case Op::Nin: {
                if (!v) return 1;
                int r = in_set(n, *v);
                return r < 0 ? -1 : !r;
            }
            default: break;
        }
        if (!v) return 0;
        switch (n.op) {
            case Op::Eq: return same(n.path, *v, n.operand, n.operand_dated, n.instant);
            case Op::In: return in_set(n, *v);
            case Op::Gt:
            case Op::Gte:
            case Op::Lt:
            case Op::Lte: {
                int c;
                if (n.operand_dated) {
                    int64_t at = 0;
                    int r = date(n.path, *v, at);
                    if (r <= 0) return r;
                    c = at < n.instant ? -1 : at > n.instant;
                } else {
                    c = order(*v, n.operand);
                    if (c == 2) return 0;
                }
                switch (n.op) {
                    case Op::Gt: return c > 0;
                    case Op::Gte: return c >= 0;
                    case Op::Lt: return c < 0;
                    default: return c <= 0;
                }
            }
            case Op::Regex: {
                if (v->kind != Kind::Str) return 0;
                Ref s = str_object(*v);
                if (!s) return -1;
                Ref m = Ref::steal(PyObject_CallMethod(n.pattern.get(), "search", "O", s.get()));
                if (!m) return -1;
                return !Py_IsNone(m.get());
            }
            case Op::Near: {
                double d = 0.0;
                if (!v->is_number() || !as_double(*v, d)) return 0;
                return isclose(d, n.near[0], n.near[1], n.near[2]);
            }
            default: return 0;
        }
    }

    int eval(const Node& n) {
        switch (n.kind) {
            case Node::Kind::Test: return test(n);
            case Node::Kind::Not: {
                int r = eval(n.children[0]);
                return r < 0 ? -1 : !r;
            }
            case Node::Kind::And:
                for (const Node& c : n.children) {
                    int r = eval(c);
                    if (r <= 0) return r;
                }
                return 1;
            case Node::Kind::Or:
                for (const Node& c : n.children) {
                    int r = eval(c);
                    if (r != 0) return r;
                }
                return 0;
        }
        return 0;
    }
};

}  // namespace

// --- values ----------------------------------------------------------------------------

bool equal(const Value& a, const Value& b) {
    if (a.is_number() && b.is_number()) return numbers(a, b) == 0;
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Kind::Null:
        case Kind::False:
        case Kind::True: return true;
        case Kind::Str: return a.s == b.s;
        case Kind::Arr:
        case Kind::Obj:
            if (a.items.size() != b.items.size() || a.keys != b.keys) return false;
            for (size_t k = 0; k < a.items.size(); ++k)
                if (!equal(a.items[k], b.items[k])) return false;
            return true;
        default: return false;
    }
}

int order(const Value& a, const Value& b) {
    if (a.is_number() && b.is_number()) return numbers(a, b);
    if (a.kind == Kind::Str && b.kind == Kind::Str) {
        int c = a.s.compare(b.s);
        return c < 0 ? -1 : c > 0;
    }
    return 2;
}

bool from_object(PyObject* o, Value& out, bool strict, const std::string& where) {
    out = Value{};
    if (o == Py_None) {
        out.kind = Kind::Null;
    } else if (PyBool_Check(o)) {
        out.kind = o == Py_True ? Kind::True : Kind::False;
    } else if (PyLong_Check(o)) {
        __int128 v = 0;
        Py_ssize_t n = PyLong_AsNativeBytes(o, &v, sizeof v, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
        if (n < 0) return false;
        if (static_cast<size_t>(n) <= sizeof v) {
            out.kind = Kind::Int;
            out.i = v;
        } else {
            out.kind = Kind::Big;
            out.big = Ref::steal(PyNumber_Index(o));
            if (!out.big) return false;
        }
    } else if (PyFloat_Check(o)) {
        double d = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(d)) {
            if (strict) return fail(where, repr_of(o) + " has no JSON form");
            out.kind = Kind::Other;
        } else {
            out.kind = Kind::Float;
            out.d = d;
        }
    } else if (PyUnicode_Check(o)) {
        out.kind = Kind::Str;
        if (!text_bytes(o, out.s)) return false;
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        if (Py_EnterRecursiveCall(" in a query value")) return false;
        Ref seq = Ref::steal(PySequence_Tuple(o));
        bool ok = bool(seq);
        out.kind = Kind::Arr;
        for (Py_ssize_t k = 0; ok && k < PyTuple_GET_SIZE(seq.get()); ++k) {
            out.items.emplace_back();
            ok = from_object(PyTuple_GET_ITEM(seq.get(), k), out.items.back(), strict,
                             strict ? at_index(where, k) : where);
        }
        Py_LeaveRecursiveCall();
        if (!ok) return false;
    } else if (PyDict_Check(o)) {
        if (Py_EnterRecursiveCall(" in a query value")) return false;
        Ref keep = Ref::borrow(o);
        out.kind = Kind::Obj;
        std::vector<std::pair<std::string, Value>> members;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool ok = true;
        while (ok && PyDict_Next(o, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (!PyUnicode_Check(key.get())) {
                if (strict) ok = fail(at_key(where, key.get()), "keys of a JSON object are texts");
                else out.kind = Kind::Other;
                break;
            }
            members.emplace_back();
            ok = text_bytes(key.get(), members.back().first) &&
                 from_object(value.get(), members.back().second, strict,
                             strict ? at_key(where, key.get()) : where);
        }
        Py_LeaveRecursiveCall();
        if (!ok) return false;
        if (out.kind == Kind::Obj) {
            std::sort(members.begin(), members.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            for (auto& m : members) {
                out.keys.push_back(std::move(m.first));
                out.items.push_back(std::move(m.second));
            }
        }
    } else {
        if (strict)
            return fail(where, repr_of(o) + " (" + Py_TYPE(o)->tp_name + ") has no JSON form");
        out.kind = Kind::Other;
    }
    return true;
}

Ref str_object(const Value& v) {
    return Ref::steal(
        PyUnicode_DecodeUTF8(v.s.data(), static_cast<Py_ssize_t>(v.s.size()), "surrogatepass"));
}

// --- paths, queries -----------------------------------------------------------------

bool compile_path(PyObject* text, const char* what, Path& out, bool* descending) {
    std::string loc = what;
    if (!PyUnicode_Check(text)) return fail(loc, "a field path must be a text, got " + repr_of(text));
    std::string s;
    if (!text_bytes(text, s)) return false;
    out = Path{};
    size_t start = 0;
    if (descending) {
        *descending = !s.empty() && s[0] == '-';
        if (*descending) start = 1;
    }
    for (;;) {
        size_t dot = s.find('.', start);
        std::string segment = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (segment.empty())
            return fail(loc, "the field path " + repr_of(text) + " has an empty part");
        out.segments.push_back(segment);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    bool known = false;
    for (const char* f : kFields) known |= out.segments[0] == f;
    if (!known) {
        std::string list;
        for (const char* f : kFields) list += (list.empty() ? "" : ", ") + std::string(f);
        return fail(loc, "unknown field " + repr_of(text) + "; a path starts with one of " + list);
    }
    out.date = out.segments.size() == 1 && out.segments[0] == "simulation_date";
    for (const std::string& seg : out.segments) {
        Ref key = Ref::steal(
            PyUnicode_DecodeUTF8(seg.data(), static_cast<Py_ssize_t>(seg.size()), "surrogatepass"));
        if (!key) return false;
        out.keys.push_back(std::move(key));
        long long index = -1;
        bool canonical = !seg.empty() && seg.size() <= 18 && (seg == "0" || seg[0] != '0');
        for (char c : seg) canonical &= c >= '0' && c <= '9';
        if (canonical) index = std::stoll(seg);
        out.indices.push_back(index);
    }
    return true;
}

bool compile(PyObject* where, Query& out) {
    out = Query{};
    out.root.kind = Node::Kind::And;
    if (where == Py_None) return true;
    Compiler c{out};
    return c.query(where, "where", out.root);
}

int matches(const Query& q, Source& src) {
    Evaluator e(q, src);
    return e.eval(q.root);
}

int date_instant(std::string_view text, int64_t& out) {
    if (parse_common(text, out)) return 1;
    Ref s = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
    if (!s) return -1;
    return read_iso(s.get(), out);
}

bool ObjectSource::resolve(const Path& path, Value& out) {
    PyObject* o = data_;
    for (size_t k = 0; k < path.segments.size(); ++k) {
        PyObject* next = nullptr;
        if (PyDict_Check(o)) {
            next = PyDict_GetItemWithError(o, path.keys[k].get());
            if (!next) {
                PyErr_Clear();
                return false;
            }
        } else if (PyList_Check(o) && path.indices[k] >= 0 && path.indices[k] < PyList_GET_SIZE(o)) {
            next = PyList_GET_ITEM(o, static_cast<Py_ssize_t>(path.indices[k]));
        } else {
            return false;
        }
        o = next;
    }
    Ref keep = Ref::borrow(o);
    if (!from_object(o, out, false, std::string())) {
        PyErr_Clear();
        out = Value{};
        out.kind = Kind::Other;
    }
    return true;
}

bool make_sort_key(const Path& path, Source& src, SortKey& out) {
    out = SortKey{};
    if (!src.resolve(path, out.value)) return true;
    if (path.date) {
        if (out.value.kind != Kind::Str) return true;
        int r = date_instant(out.value.s, out.instant);
        if (r < 0) return false;
        if (r) {
            out.rank = 0;
            out.dated = true;
        }
        return true;
    }
    if (out.value.is_number()) out.rank = 0;
    else if (out.value.kind == Kind::Str) out.rank = 1;
    return true;
}

bool sort_before(const SortKey& a, const SortKey& b, bool descending) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.rank == 2) return false;
    int c = a.dated ? (a.instant < b.instant ? -1 : a.instant > b.instant)
                    : order(a.value, b.value);
    if (c == 2) return false;
    return descending ? c > 0 : c < 0;
}

}  // namespace css::query
