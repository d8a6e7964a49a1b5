// What the units of the batch path share (see fsspec.hpp).
#include "remote/fsspec.hpp"

#include "frame/host.hpp"

namespace css::remote {

FsspecNames fsspec_names{};

bool init_fsspec_names() {
    FsspecNames& n = fsspec_names;
    if (n.kw_range) return true;
#define CSS_INTERN(name) \
    if (!intern(n.name, #name)) return false;
    CSS_FSSPEC_NAMES(CSS_INTERN)
#undef CSS_INTERN
    auto pack = [](PyObject*& slot, auto... items) {
        return slot || (slot = PyTuple_Pack(sizeof...(items), items...)) != nullptr;
    };
    return pack(n.kw_detail, n.detail, n.withdirs) && pack(n.kw_max_concurrency, n.max_concurrency) &&
           pack(n.kw_create, n.mode) && pack(n.kw_start, n.start) &&
           pack(n.kw_range, n.start, n.end);
}

Outcome soft_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Outcome::Error;
    PyErr_Clear();
    return Outcome::Fallback;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace css::remote
