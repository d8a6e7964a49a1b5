// What the units that speak to fsspec share (the batch path here, the
// object-store claims in claims/): the names they ask fsspec and
// universal-pathlib objects for, the rule for failures met while deciding,
// and texts. Names the host's table already holds (host_names) are taken from
// there.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <string_view>

namespace css::remote {

#define CSS_FSSPEC_NAMES(X)                                                             \
    X(fs) X(path) X(protocol) X(find) X(detail) X(withdirs) X(listdir) X(info)          \
    X(cat_file) X(cat_ranges) X(pipe_file) X(rm) X(rm_file) X(joinpath) X(with_segments) \
    X(size) X(type) X(max_concurrency) X(mode) X(create) X(start) X(end) X(refresh)     \
    X(timeout) X(IfMatch) X(response) X(sync_wrapper) X(fget) X(co_filename)            \
    X(__wrapped__) X(__qualname__) X(__module__) X(__dict__) X(ETag)

struct FsspecNames {
#define CSS_DECLARE(n) PyObject* n;
    CSS_FSSPEC_NAMES(CSS_DECLARE)
#undef CSS_DECLARE
    PyObject* kw_detail;           // ("detail", "withdirs")
    PyObject* kw_max_concurrency;  // ("max_concurrency",)
    PyObject* kw_create;           // ("mode",)
    PyObject* kw_start;            // ("start",)
    PyObject* kw_range;            // ("start", "end")
};

extern FsspecNames fsspec_names;

// Creates the names on first use (idempotent). false: an error is set.
bool init_fsspec_names();

// An ordinary failure of the host while deciding or listing only means "take
// the literal path", which then meets it again and reports it as the host
// does (Fallback, the error cleared); anything else (an interruption) must
// reach the caller (Error).
Outcome soft_failure();

// A new str of a UTF-8 text.
Ref text(std::string_view s);

}  // namespace css::remote
