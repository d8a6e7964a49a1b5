// Checking a query whole, and compiling it.
//
// The check runs before any record is read and refuses every malformed
// part, wherever it is (behind an `$or`, under a filter that matches
// nothing): a query means one thing or is refused. Nothing in a query is
// ever run as code; `$regex` patterns go to the interpreter's `re`.
#include "frame/host.hpp"
#include "query/detail.hpp"

#include <cmath>
#include <string>

namespace css::query {

namespace {

using Kind = Value::Kind;

bool is_number_object(PyObject* o) {
    return !PyBool_Check(o) && (PyLong_Check(o) || PyFloat_Check(o));
}

// The operators that compare the value at a path with one constant.
struct Comparison {
    const char* name;
    Op op;
};
constexpr Comparison kComparisons[] = {
    {.name = "$eq", .op = Op::Eq},   {.name = "$ne", .op = Op::Ne}, {.name = "$gt", .op = Op::Gt},
    {.name = "$gte", .op = Op::Gte}, {.name = "$lt", .op = Op::Lt}, {.name = "$lte", .op = Op::Lte},
};

constexpr const char* kNearForm = "$near takes [value, rel_tol, abs_tol] (tolerances optional), got ";

struct Compiler {
    Query& q;

    int path_index(PyObject* key, const std::string& loc) {
        std::string text = utf8_or(key, "?");
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

    const Path& path_at(int path) const { return q.paths[static_cast<size_t>(path)]; }

    // A constant of the query, as its JSON form; on the record's date, a
    // text (or datetime) is also read as a date.
    bool constant(PyObject* v, const Path& path, const std::string& loc, Value& out, bool& dated,
                  int64_t& instant) {
        dated = false;
        if (path.date && (PyUnicode_Check(v) || is_datetime(v))) {
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
        const std::string name = utf8_or(op, "?");
        for (const Comparison& c : kComparisons) {
            if (name != c.name) continue;
            test(n, path, c.op);
            return constant(v, path_at(path), loc, n.operand, n.operand_dated, n.instant);
        }
        if (name == "$in" || name == "$nin") return set_entry(name, v, path, loc, n);
        if (name == "$exists") {
            test(n, path, Op::Exists);
            if (!PyBool_Check(v)) return fail(loc, "$exists takes True or False, got " + repr_of(v));
            n.exists = v == Py_True;
            return true;
        }
        if (name == "$regex") return regex_entry(v, path, loc, n);
        if (name == "$near") return near_entry(v, path, loc, n);
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

    // `$in` and `$nin`: a list of constants.
    bool set_entry(const std::string& name, PyObject* v, int path, const std::string& loc, Node& n) {
        test(n, path, name == "$in" ? Op::In : Op::Nin);
        if (!PyList_Check(v) && !PyTuple_Check(v))
            return fail(loc, name + " takes a list of values, got " + repr_of(v));
        Ref seq = Ref::steal(PySequence_Tuple(v));
        if (!seq) return false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(seq.get()); ++k) {
            n.set.emplace_back();
            bool dated = false;
            int64_t instant = 0;
            if (!constant(PyTuple_GET_ITEM(seq.get(), k), path_at(path), at_index(loc, k),
                          n.set.back(), dated, instant))
                return false;
            n.set_dated.push_back(dated);
            n.set_instants.push_back(instant);
        }
        return true;
    }

    // `$regex`: a pattern `re.compile` takes; its own refusal, as the query's.
    bool regex_entry(PyObject* v, int path, const std::string& loc, Node& n) {
        test(n, path, Op::Regex);
        if (!PyUnicode_Check(v)) return fail(loc, "$regex takes a text, got " + repr_of(v));
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        if (!re) return false;
        n.pattern = Ref::steal(PyObject_CallMethod(re.get(), "compile", "O", v));
        if (n.pattern) return true;
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
                             (text ? utf8_or(text.get(), "?") : "?"));
    }

    // `$near`: a number, or [value, rel_tol, abs_tol] with the tolerances
    // optional, as `math.isclose` takes them.
    bool near_entry(PyObject* v, int path, const std::string& loc, Node& n) {
        test(n, path, Op::Near);
        Ref seq;
        if (is_number_object(v)) seq = Ref::steal(PyTuple_Pack(1, v));
        else if (PyList_Check(v) || PyTuple_Check(v)) seq = Ref::steal(PySequence_Tuple(v));
        else return fail(loc, kNearForm + repr_of(v));
        if (!seq) return false;
        Py_ssize_t count = PyTuple_GET_SIZE(seq.get());
        if (count < 1 || count > 3) return fail(loc, kNearForm + repr_of(v));
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
            std::string name = utf8_or(key.get(), "?");
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

}  // namespace

bool compile_path(PyObject* text, const char* what, Path& out, bool* descending) {
    std::string loc = what;
    if (!PyUnicode_Check(text)) return fail(loc, "a field path must be a text, got " + repr_of(text));
    std::string s;
    if (!utf8_keeping_surrogates(text, s)) return false;
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
    // The record's fields, in their order: the first segment of every path.
    bool known = false;
    std::string list;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(host_names.kw_record); ++k) {
        const std::string field = utf8_or(PyTuple_GET_ITEM(host_names.kw_record, k), "?");
        known |= out.segments[0] == field;
        list += (list.empty() ? "" : ", ") + field;
    }
    if (!known)
        return fail(loc, "unknown field " + repr_of(text) + "; a path starts with one of " + list);
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

}  // namespace css::query
