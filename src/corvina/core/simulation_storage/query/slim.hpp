// What the result index keeps of one result file: the file's checked JSON
// text, minified, without its long values (the spectra), which are only
// named. Queries on what is kept need no read of the file; a path that
// reaches a long value does.
#pragma once

#include "query/query.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace css::query {

// A kept text that others are written against (slim_pack.cpp).
struct Reference;

struct Slim {
    // The top-level object with every member but the long ones, and in
    // `result` every entry but the long ones, minified; members in the
    // file's order, repeated keys kept as written.
    std::string text;
    // The values left out, as "<member>\x1f<entry>\x1e" (the entry empty
    // when the whole member is left out).
    std::string dropped;
    // When set, `text` is written as runs copied from this reference's
    // text and runs of its own (see pack).
    std::shared_ptr<const Reference> ref;

    // The text itself: `text`, or made from it into `scratch`.
    std::string_view plain(std::string& scratch) const;
};

// Writes `s.text` against the reference that the texts kept lately were
// written against: results of one sweep differ in a few values, and the
// text of one keeps little more than those. A text that no longer
// resembles it becomes the reference for those that follow.
void pack(Slim& s);

// The kept form of a document that `scan_document` accepted over `text`.
void make_slim(const Document& doc, Slim& out);

// Whether the value at `path` is, holds or lies within a value left out.
bool reaches_dropped(const std::string& dropped, const Path& path);

// The interpreter's object for a value that is not an array or object, as
// the decoder gives it. Empty with an error set on failure.
Ref scalar_object(const Value& v);

}  // namespace css::query
