// What the result index keeps of one result file: the file's checked JSON
// text, minified, without its long values (the spectra), which are only
// named. Queries on what is kept need no read of the file; a path that
// reaches a long value does.
#pragma once

#include "query/query.hpp"

#include <string>

namespace css::query {

struct Slim {
    // The top-level object with every member but the long ones, and in
    // `result` every entry but the long ones, minified; members in the
    // file's order, repeated keys kept as written.
    std::string text;
    // The values left out, as "<member>\x1f<entry>\x1e" (the entry empty
    // when the whole member is left out).
    std::string dropped;
};

// The kept form of a document that `scan_document` accepted over `text`.
void make_slim(const Document& doc, Slim& out);

// Whether the value at `path` is, holds or lies within a value left out.
bool reaches_dropped(const std::string& dropped, const Path& path);

// The interpreter's object for a value that is not an array or object, as
// the decoder gives it. Empty with an error set on failure.
Ref scalar_object(const Value& v);

}  // namespace css::query
