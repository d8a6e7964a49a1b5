// The values a query compares, as their JSON forms: made from the host's
// objects, compared whole and ordered; and the texts of a query's refusals.
#include "query/detail.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace css::query {

using Kind = Value::Kind;

// --- refusals ------------------------------------------------------------------------

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

// --- numbers -------------------------------------------------------------------------

namespace {

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

}  // namespace

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


// --- values --------------------------------------------------------------------------

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


namespace {

bool from_int(PyObject* o, Value& out) {
    __int128 v = 0;
    Py_ssize_t n = PyLong_AsNativeBytes(o, &v, sizeof v, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
    if (n < 0) return false;
    if (static_cast<size_t>(n) <= sizeof v) {
        out.kind = Kind::Int;
        out.i = v;
        return true;
    }
    out.kind = Kind::Big;
    out.big = Ref::steal(PyNumber_Index(o));
    return bool(out.big);
}

bool from_sequence(PyObject* o, Value& out, bool strict, const std::string& where) {
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
    return ok;
}

bool from_dict(PyObject* o, Value& out, bool strict, const std::string& where) {
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
        ok = utf8_keeping_surrogates(key.get(), members.back().first) &&
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
    return true;
}

}  // namespace

bool from_object(PyObject* o, Value& out, bool strict, const std::string& where) {
    out = Value{};
    if (o == Py_None) {
        out.kind = Kind::Null;
    } else if (PyBool_Check(o)) {
        out.kind = o == Py_True ? Kind::True : Kind::False;
    } else if (PyLong_Check(o)) {
        return from_int(o, out);
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
        return utf8_keeping_surrogates(o, out.s);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        return from_sequence(o, out, strict, where);
    } else if (PyDict_Check(o)) {
        return from_dict(o, out, strict, where);
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

}  // namespace css::query
