// What the units of the batch path share (see fsspec.hpp).
#include "remote/fsspec.hpp"

namespace css::remote {

RemoteNames R{};

bool init_remote_names() {
    if (R.kw_max_concurrency) return true;
#define CSS_INTERN(n) \
    if (!R.n && !(R.n = PyUnicode_InternFromString(#n))) return false;
    CSS_REMOTE_NAMES(CSS_INTERN)
#undef CSS_INTERN
    if (!R.kw_detail && !(R.kw_detail = PyTuple_Pack(2, R.detail, R.withdirs))) return false;
    return (R.kw_max_concurrency = PyTuple_Pack(1, R.max_concurrency)) != nullptr;
}

Outcome soft_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Outcome::Error;
    PyErr_Clear();
    return Outcome::Fallback;
}

bool utf8(PyObject* s, std::string_view& out) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();  // lone surrogates: no UTF-8 form
        return false;
    }
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace css::remote
