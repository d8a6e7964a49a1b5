// The identity text written natively, byte for byte as the interpreter's
// JSON encoder writes it with sorted keys and default options. Anything this
// writer does not know exactly (other key types, dict subclasses, unknown
// objects, deep or cyclic data) is left to the interpreter's encoder.
#include "fastpath.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

namespace css {

namespace {

// Deeper data goes to the interpreter's encoder, which also detects cycles.
constexpr int kMaxDepth = 100;

const char kHex[] = "0123456789abcdef";

void write_escape(std::string& out, unsigned c) {
    char buf[6] = {'\\', 'u', kHex[(c >> 12) & 0xf], kHex[(c >> 8) & 0xf], kHex[(c >> 4) & 0xf],
                   kHex[c & 0xf]};
    out.append(buf, 6);
}

void write_string(std::string& out, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    out.push_back('"');
    if (kind == PyUnicode_1BYTE_KIND) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        Py_ssize_t run = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            unsigned char c = p[i];
            if (c >= 0x20 && c <= 0x7e && c != '"' && c != '\\') continue;
            out.append(reinterpret_cast<const char*>(p + run), static_cast<size_t>(i - run));
            run = i + 1;
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                case '\b': out.append("\\b"); break;
                case '\f': out.append("\\f"); break;
                default: write_escape(out, c);
            }
        }
        out.append(reinterpret_cast<const char*>(p + run), static_cast<size_t>(n - run));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0x20 && c <= 0x7e && c != '"' && c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            switch (c) {
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                case '\b': out.append("\\b"); break;
                case '\f': out.append("\\f"); break;
                default:
                    if (c >= 0x10000) {
                        Py_UCS4 v = c - 0x10000;
                        write_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
                        write_escape(out, 0xdc00 | (v & 0x3ff));
                    } else {
                        write_escape(out, c);
                    }
            }
        }
    }
    out.push_back('"');
}

bool write_value(std::string& out, PyObject* o, int depth);

bool write_int(std::string& out, PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
        return true;
    }
    // Large integers: the interpreter's own text, limit on digits included.
    Ref text = Ref::steal(PyLong_Type.tp_repr(o));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    out.append(utf8, static_cast<size_t>(len));
    return true;
}

bool write_float(std::string& out, double d) {
    if (std::isnan(d)) {
        out.append("NaN");
        return true;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "Infinity" : "-Infinity");
        return true;
    }
    char* text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    out.append(text);
    PyMem_Free(text);
    return true;
}

bool write_dict(std::string& out, PyObject* d, int depth) {
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0) {
        out.append("{}");
        return true;
    }
    std::vector<std::pair<PyObject*, PyObject*>> items;
    items.reserve(static_cast<size_t>(n));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        items.emplace_back(k, v);
    }
    // Code-point order, as the interpreter compares texts.
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        return PyUnicode_Compare(a.first, b.first) < 0;
    });
    out.push_back('{');
    bool first = true;
    for (auto& [key, value] : items) {
        if (!first) out.append(", ");
        first = false;
        write_string(out, key);
        out.append(": ");
        if (!write_value(out, value, depth + 1)) return false;
    }
    out.push_back('}');
    return true;
}

bool write_value(std::string& out, PyObject* o, int depth) {
    if (depth > kMaxDepth) return false;
    if (o == Py_None) {
        out.append("null");
    } else if (o == Py_True) {
        out.append("true");
    } else if (o == Py_False) {
        out.append("false");
    } else if (PyUnicode_Check(o)) {
        write_string(out, o);
    } else if (PyLong_Check(o)) {
        return write_int(out, o);
    } else if (PyFloat_Check(o)) {
        return write_float(out, PyFloat_AS_DOUBLE(o));
    } else if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Subclasses are iterated by the encoder through their own __iter__.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        PyObject** items = PySequence_Fast_ITEMS(o);
        out.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out.append(", ");
            if (!write_value(out, items[i], depth + 1)) return false;
        }
        out.push_back(']');
    } else if (PyDict_CheckExact(o)) {
        return write_dict(out, o, depth);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool write_identity_text(PyObject* const values[6], std::string& out) {
    // The members in sorted order: component_name, component_settings,
    // factory_name, hyperparameters, model_parameters, simulation_type.
    static const char* const keys[6] = {"component_name",   "component_settings",
                                        "factory_name",     "hyperparameters",
                                        "model_parameters", "simulation_type"};
    static const int order[6] = {0, 2, 1, 4, 3, 5};
    out.clear();
    out.push_back('{');
    for (int i = 0; i < 6; ++i) {
        if (i) out.append(", ");
        out.push_back('"');
        out.append(keys[i]);
        out.append("\": ");
        if (!write_value(out, values[order[i]], 1)) return false;
    }
    out.push_back('}');
    return true;
}

}  // namespace css
