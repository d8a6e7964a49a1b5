#include "frame/text.hpp"

namespace css {

bool utf8_view(PyObject* s, std::string_view& out) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
}

std::string utf8_or(PyObject* s, std::string_view fallback) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return std::string(fallback);
    }
    return std::string(p, static_cast<size_t>(n));
}

bool utf8_keeping_surrogates(PyObject* s, std::string& out) {
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

bool utf8_escaping_surrogates(PyObject* s, std::string& out) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

}  // namespace css
