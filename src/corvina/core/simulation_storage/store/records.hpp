// Result records: saving, loading, and the cache lookup by identity.
#pragma once

#include "frame/ref.hpp"

namespace css {

// The record in the bytes of one result file, decoded and validated as the
// host does it; an empty Ref with the error set when they hold none.
Ref decode_record(PyObject* globals, PyObject* bytes);

}  // namespace css
