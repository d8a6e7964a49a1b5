// What the units of the batch path share: the names they ask fsspec and
// universal-pathlib objects for, the rule for failures met while deciding,
// and UTF-8 texts. Names the module's own table already holds (N) are
// taken from there.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <string_view>

namespace css::remote {

#define CSS_REMOTE_NAMES(X)                                                           \
    X(fs) X(path) X(find) X(detail) X(withdirs) X(listdir) X(cat_file) X(cat_ranges)  \
    X(rm) X(rm_file) X(joinpath) X(with_segments) X(size) X(type) X(max_concurrency)  \
    X(sync_wrapper) X(fget) X(co_filename) X(__wrapped__) X(__qualname__) X(__module__) \
    X(__dict__) X(ETag)

struct RemoteNames {
#define CSS_DECLARE(n) PyObject* n;
    CSS_REMOTE_NAMES(CSS_DECLARE)
#undef CSS_DECLARE
    PyObject* kw_detail;           // ("detail", "withdirs")
    PyObject* kw_max_concurrency;  // ("max_concurrency",)
};

extern RemoteNames R;

// Creates the names on first use (idempotent). false: an error is set.
bool init_remote_names();

// An ordinary failure of the host while deciding or listing only means "take
// the literal path", which then meets it again and reports it as the host
// does (Fallback, the error cleared); anything else (an interruption) must
// reach the caller (Error).
Outcome soft_failure();

// The UTF-8 text of an exact str; false (no error set) if it has none.
bool utf8(PyObject* s, std::string_view& out);

// A new str of a UTF-8 text.
Ref text(std::string_view s);

}  // namespace css::remote
