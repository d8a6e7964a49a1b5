// What follows from a signature table alone: the argument binder with its
// checks, the default values, and the docstring.
#pragma once

#include "frame/signature.hpp"

#include <string>

namespace css {

// The value of a default (borrowed), or nullptr for a required parameter.
PyObject* default_value(Default d);

// The docstring: the signature line with types and defaults, the summary
// and description, and the Args and Returns sections.
std::string build_doc(const Signature& s);

// Interns the parameter names of `s`, once. false: an error is set.
bool ensure_param_names(const Signature& s);

// Binds vectorcall arguments to the parameters of `s`: keywords, defaults,
// the conversion of a double, then the type checks. false: the error is set
// as the interpreter words it for a function of this signature.
bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Args& out);

}  // namespace css
