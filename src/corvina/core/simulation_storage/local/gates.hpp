// Native fast paths, taken only when the objects involved are exactly the
// standard ones, unpatched; everything else takes the literal path through
// the host's own objects. Both paths give the same results, files, log lines
// and exceptions.
#pragma once

#include "frame/ref.hpp"

#include <string>
#include <string_view>

namespace css {

// Captures the standard objects the fast paths stand in for (at import).
bool init_fastpaths();

// Forces every fast path off (for differential testing), or back on.
extern bool g_fast_disabled;

// --- identity -----------------------------------------------------------------

// Whether `json.dumps(..., sort_keys=True)` and `hashlib.sha256` of these
// module objects are the standard ones.
bool identity_is_standard(PyObject* json, PyObject* hashlib);

// --- local paths -----------------------------------------------------------------

// Whether `path` is exactly a standard, unpatched local path object; if so
// its file-system text is stored in `out`. -1 on error.
int local_path(PyObject* path, std::string& out);

// Whether `path` is a local path whose `write_bytes` is pathlib's own, so the
// bytes may be written through a temporary file and a rename instead. Not
// subject to the switch above: the rename is what keeps readers from seeing
// a half-written result, on either path. -1 on error.
int is_plain_local_path(PyObject* path);

// A new standard path object for a file-system text.
Ref make_path(std::string_view text);
// The text form of a file-system text, as `str(path)` gives it.
Ref path_text(std::string_view text);

}  // namespace css
