// The UTF-8 forms of a str, one helper per treatment of what has no UTF-8
// form (lone surrogates, from file names of undecodable bytes).
#pragma once

#include "frame/ref.hpp"

#include <string>
#include <string_view>

namespace css {

// A view of an exact str's UTF-8 text, held by the str. false (no error set)
// for anything else, and for a text with lone surrogates: such a name is
// not one the caller can compare bytewise, so it takes the general path.
bool utf8_view(PyObject* s, std::string_view& out);

// The UTF-8 text of a str for a message or a comparison that tolerates a
// stand-in: `fallback` for anything else and for lone surrogates (no error
// set).
std::string utf8_or(PyObject* s, std::string_view fallback);

// The UTF-8 text of a str with lone surrogates as their 3-byte forms, which
// keeps code-point order (sorting, comparing with decoded JSON). false: an
// error is set.
bool utf8_keeping_surrogates(PyObject* s, std::string& out);

// The UTF-8 text of a str with lone surrogates written as backslash escapes,
// for text that must be valid UTF-8 and still tell such names apart. false:
// an error is set.
bool utf8_escaping_surrogates(PyObject* s, std::string& out);

}  // namespace css
