// What the query units share among themselves and nobody else: the texts of
// a query's refusals, texts as the query compares them, and reading dates.
#pragma once

#include "frame/text.hpp"
#include "query/query.hpp"

#include <cstdint>
#include <string>

namespace css::query {

// --- refusals (values.cpp) -----------------------------------------------------------

// `repr(o)`, cut to 80 characters, or "?" (no error left set).
std::string repr_of(PyObject* o);
// Where a refusal is: "<loc>[<repr of key>]", "<loc>[<i>]".
std::string at_key(const std::string& loc, PyObject* key);
std::string at_index(const std::string& loc, Py_ssize_t i);
// A ValueError "invalid query at <loc>: <why>"; false.
bool fail(const std::string& loc, const std::string& why);

// Exact order of two numbers (-1, 0, 1; 2 when they do not order).
int numbers(const Value& a, const Value& b);

// --- dates (dates.cpp) ---------------------------------------------------------------

// Whether `o` is a datetime (the datetime C API is imported on first use,
// and lives in dates.cpp alone: each unit that includes its header has a
// copy of the API pointer of its own).
bool is_datetime(PyObject* o);
// The instant of a datetime object (naive: UTC). -1 on error.
int instant_of(PyObject* dt, int64_t& out);
// `datetime.fromisoformat(text)`, as an instant; 0 when it refuses the
// text, -1 on error.
int read_iso(PyObject* text, int64_t& out);

}  // namespace css::query
