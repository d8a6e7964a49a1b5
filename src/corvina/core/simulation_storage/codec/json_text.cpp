// The identity text written natively, byte for byte as the interpreter's
// JSON encoder writes it with sorted keys and default options. Anything this
// writer does not know exactly (other key types, dict subclasses, unknown
// objects, deep or cyclic data) is left to the interpreter's encoder.
#include "codec/json_text.hpp"

#include "frame/ref.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
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

// A character of the BMP that is not written as itself.
void write_special(std::string& out, unsigned c) {
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
            write_special(out, c);
        }
        out.append(reinterpret_cast<const char*>(p + run), static_cast<size_t>(n - run));
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0x20 && c <= 0x7e && c != '"' && c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            if (c >= 0x10000) {
                Py_UCS4 v = c - 0x10000;
                write_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
                write_escape(out, 0xdc00 | (v & 0x3ff));
            } else {
                write_special(out, c);
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
    // The shortest digits that read back as the same double, laid out as
    // the interpreter's float repr does: positional for decimal exponents
    // in (-4, 16], else scientific with a signed two-digit exponent.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    if (r.ec != std::errc()) return false;
    std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
    bool negative = sci.front() == '-';
    if (negative) sci.remove_prefix(1);
    size_t e_pos = sci.find('e');
    if (e_pos == std::string_view::npos) return false;
    char digits[24];
    int n = 0;
    for (size_t i = 0; i < e_pos; ++i)
        if (sci[i] != '.') digits[n++] = sci[i];
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(),
                    exponent);
    int decpt = exponent + 1;
    if (negative) out.push_back('-');
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            out.append("0.");
            out.append(static_cast<size_t>(-decpt), '0');
            out.append(digits, static_cast<size_t>(n));
        } else if (decpt >= n) {
            out.append(digits, static_cast<size_t>(n));
            out.append(static_cast<size_t>(decpt - n), '0');
            out.append(".0");
        } else {
            out.append(digits, static_cast<size_t>(decpt));
            out.push_back('.');
            out.append(digits + decpt, static_cast<size_t>(n - decpt));
        }
    } else {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<size_t>(n - 1));
        }
        int e = decpt - 1;
        out.push_back('e');
        out.push_back(e < 0 ? '-' : '+');
        if (e < 0) e = -e;
        if (e < 10) out.push_back('0');
        char eb[8];
        auto er = std::to_chars(eb, eb + sizeof eb, e);
        out.append(eb, er.ptr);
    }
    return true;
}

bool write_dict(std::string& out, PyObject* d, int depth) {
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n == 0) {
        out.append("{}");
        return true;
    }
    struct Item {  // trivial, so that the array below costs no clearing
        const char* ascii;  // the key's text when it is ASCII
        size_t length;
        PyObject* key;
        PyObject* value;
        std::string_view text() const { return {ascii, length}; }
    };
    // Small dictionaries, the usual case, need no allocation.
    Item small[32];  // NOLINT: filled before use
    std::vector<Item> large;
    Item* items = small;
    if (n > 32) {
        large.resize(static_cast<size_t>(n));
        items = large.data();
    }
    Py_ssize_t pos = 0, count = 0;
    bool all_ascii = true;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || count >= n) return false;
        const char* text = nullptr;
        size_t length = 0;
        if (PyUnicode_IS_COMPACT_ASCII(k)) {
            text = static_cast<const char*>(PyUnicode_DATA(k));
            length = static_cast<size_t>(PyUnicode_GET_LENGTH(k));
        } else {
            all_ascii = false;
        }
        items[count++] = {text, length, k, v};
    }
    // Code-point order, as the interpreter compares texts; for ASCII texts
    // that is byte order.
    if (all_ascii)
        std::sort(items, items + count,
                  [](const Item& a, const Item& b) { return a.text() < b.text(); });
    else
        std::sort(items, items + count, [](const Item& a, const Item& b) {
            return PyUnicode_Compare(a.key, b.key) < 0;
        });
    out.push_back('{');
    bool first = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!first) out.append(", ");
        first = false;
        write_string(out, items[i].key);
        out.append(": ");
        if (!write_value(out, items[i].value, depth + 1)) return false;
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
