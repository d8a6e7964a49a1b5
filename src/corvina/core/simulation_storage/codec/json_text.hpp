// The identity text written natively, byte for byte as the interpreter's
// JSON encoder writes it with sorted keys and default options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace css {

// Writes the key-sorted JSON text of the identity (its six fields in the
// order of the signature) into `out`. Returns false (with no error set)
// when the data needs the interpreter's encoder.
bool write_identity_text(PyObject* const values[6], std::string& out);

}  // namespace css
