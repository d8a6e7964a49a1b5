// What follows from a signature table alone (see binder.hpp).
#include "frame/binder.hpp"

#include "frame/host.hpp"

#include <utility>
#include <vector>

namespace css {

namespace {

const char* type_name_of(Check c) {
    switch (c) {
        case Check::Str:
        case Check::StrOrNone: return "str";
        case Check::Dict: return "dict";
        case Check::List: return "list";
        case Check::Double: return "double";
        case Check::DictOrNone: return "dict";
        case Check::IntOrNone: return "int";
        case Check::Any:
        case Check::Callable:
        case Check::DoubleOrNone: break;
    }
    return nullptr;
}

// What a type error says was expected.
const char* expected_text(Check c) {
    switch (c) {
        case Check::Callable: return "callable";
        case Check::DoubleOrNone: return "float or None";
        default: return type_name_of(c);
    }
}

// The float objects of `Default::Number` parameters, made when a function
// object is made (so that binding never allocates), kept for the process.
std::vector<std::pair<double, PyObject*>> g_numbers;

PyObject* number_object(double value) {
    for (const auto& [v, o] : g_numbers)
        if (v == value) return o;
    return nullptr;
}

bool ensure_numbers(const Signature& s) {
    for (int i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        if (p.dflt != Default::Number || number_object(p.number)) continue;
        PyObject* o = PyFloat_FromDouble(p.number);
        if (!o) return false;
        g_numbers.emplace_back(p.number, o);
    }
    return true;
}

std::string default_literal(const Param& p) {
    switch (p.dflt) {
        case Default::None: return "None";
        case Default::Empty: return "''";
        case Default::Success: return "'success'";
        case Default::False: return "False";
        case Default::Number: {
            char* text = PyOS_double_to_string(p.number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) {
                PyErr_Clear();
                return "...";
            }
            std::string out(text);
            PyMem_Free(text);
            return out;
        }
        case Default::Required: break;
    }
    return {};
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
        const Check c = s.params[j].check;
        if (c != Check::Double && c != Check::DoubleOrNone) continue;
        PyObject* o = out.v[j];
        if (c == Check::DoubleOrNone && o == Py_None) continue;
        double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out.num[j] = d;
        if (c == Check::Double) out.dbl = d;
    }
    for (int j = 0; j < s.nparams; ++j) {
        PyObject* o = out.v[j];
        bool ok = true;
        switch (s.params[j].check) {
            case Check::Str: ok = PyUnicode_CheckExact(o); break;
            case Check::StrOrNone: ok = o == Py_None || PyUnicode_CheckExact(o); break;
            case Check::Dict: ok = PyDict_CheckExact(o); break;
            case Check::List: ok = PyList_CheckExact(o); break;
            case Check::Callable: ok = PyCallable_Check(o); break;
            case Check::DictOrNone: ok = o == Py_None || PyDict_Check(o); break;
            case Check::IntOrNone: ok = o == Py_None || (PyLong_Check(o) && !PyBool_Check(o)); break;
            case Check::Any:
            case Check::Double:
            case Check::DoubleOrNone: break;
        }
        if (!ok) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         s.params[j].name, expected_text(s.params[j].check), Py_TYPE(o)->tp_name);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* default_value(const Param& p) {
    switch (p.dflt) {
        case Default::None: return Py_None;
        case Default::Empty: return host_names.empty;
        case Default::Success: return host_names.success;
        case Default::False: return Py_False;
        case Default::Number: return number_object(p.number);
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
        if (p.dflt != Default::Required) {
            d += " = ";
            d += default_literal(p);
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
    if (!ensure_numbers(s)) return false;
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
        if (PyObject* d = default_value(s.params[j])) {
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
