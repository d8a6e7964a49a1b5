// What follows from a signature table alone (see binder.hpp).
#include "frame/binder.hpp"

#include "frame/host.hpp"

namespace css {

namespace {

const char* type_name_of(Check c) {
    switch (c) {
        case Check::Str:
        case Check::StrOrNone: return "str";
        case Check::Dict: return "dict";
        case Check::List: return "list";
        case Check::Double: return "double";
        case Check::Any: break;
    }
    return nullptr;
}

const char* default_literal(Default d) {
    switch (d) {
        case Default::None: return "None";
        case Default::Empty: return "''";
        case Default::Success: return "'success'";
        case Default::Required: break;
    }
    return nullptr;
}

void raise_count(const Signature& s, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name, "exactly", expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, -1 when none; -2 on error.
int param_index(const Signature& s, PyObject* key) {
    PyObject* names = s.param_names;
    for (int j = 0; j < s.nparams; ++j)
        if (PyTuple_GET_ITEM(names, j) == key) return j;
    for (int j = 0; j < s.nparams; ++j) {
        int eq = PyUnicode_Equal(PyTuple_GET_ITEM(names, j), key);
        if (eq < 0) return -2;
        if (eq) return j;
    }
    return -1;
}

// The conversion of a double parameter, then the type checks of all: a
// failing conversion is reported before any wrong type.
bool convert_and_check(const Signature& s, Args& out) {
    for (int j = 0; j < s.nparams; ++j) {
        if (s.params[j].check != Check::Double) continue;
        PyObject* o = out.v[j];
        double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out.dbl = d;
    }
    for (int j = 0; j < s.nparams; ++j) {
        PyObject* o = out.v[j];
        bool ok = true;
        switch (s.params[j].check) {
            case Check::Str: ok = PyUnicode_CheckExact(o); break;
            case Check::StrOrNone: ok = o == Py_None || PyUnicode_CheckExact(o); break;
            case Check::Dict: ok = PyDict_CheckExact(o); break;
            case Check::List: ok = PyList_CheckExact(o); break;
            case Check::Any:
            case Check::Double: break;
        }
        if (!ok) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         s.params[j].name, type_name_of(s.params[j].check), Py_TYPE(o)->tp_name);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* default_value(Default d) {
    switch (d) {
        case Default::None: return Py_None;
        case Default::Empty: return N.empty;
        case Default::Success: return N.success;
        case Default::Required: break;
    }
    return nullptr;
}

std::string build_doc(const Signature& s) {
    std::string d = s.name;
    d += '(';
    if (s.kwonly) d += "*, ";
    for (int i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        if (i) d += ", ";
        if (const char* t = type_name_of(p.check)) {
            d += t;
            d += ' ';
        }
        d += p.name;
        d += ": ";
        d += p.annotation;
        if (const char* lit = default_literal(p.dflt)) {
            d += " = ";
            d += lit;
        }
    }
    d += ") -> ";
    d += s.return_annotation;
    d += "\n\n";
    d += s.summary;
    if (s.description) {
        d += "\n\n";
        d += s.description;
    }
    if (s.args_section) {
        d += "\n\nArgs:";
        for (int i = 0; i < s.nparams; ++i) {
            d += "\n    ";
            d += s.params[i].name;
            d += ": ";
            d += s.params[i].meaning;
        }
        d += "\n\nReturns:\n    ";
        d += s.returns;
    }
    return d;
}

bool ensure_param_names(const Signature& s) {
    if (s.param_names) return true;
    Ref t = Ref::steal(PyTuple_New(s.nparams));
    if (!t) return false;
    for (int i = 0; i < s.nparams; ++i) {
        PyObject* u = PyUnicode_InternFromString(s.params[i].name);
        if (!u) return false;
        PyTuple_SET_ITEM(t.get(), i, u);
    }
    s.param_names = t.release();
    return true;
}

bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Args& out) {
    const Py_ssize_t n = s.nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (s.kwonly) {
        if (nargs > 0) {
            raise_count(s, 0, nargs);
            return false;
        }
    } else {
        if ((nkw == 0 && nargs != n) || nargs > n) {
            raise_count(s, n, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out.v[i] = args[i];
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
            return false;
        }
        int j = param_index(s, key);
        if (j == -2) return false;
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name,
                         key);
            return false;
        }
        if (out.v[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         s.name, key);
            return false;
        }
        out.v[j] = args[nargs + i];
    }
    for (int j = 0; j < n; ++j) {
        if (out.v[j]) continue;
        if (PyObject* d = default_value(s.params[j].dflt)) {
            out.v[j] = d;
            continue;
        }
        if (s.kwonly)
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", s.name,
                         PyTuple_GET_ITEM(s.param_names, j));
        else
            raise_count(s, n, j);
        return false;
    }
    return convert_and_check(s, out);
}

}  // namespace css
