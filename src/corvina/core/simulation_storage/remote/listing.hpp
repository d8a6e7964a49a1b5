// The flat listing model of the batch path: a store on an fsspec file
// system, listed once, in the shape the literal walk would find it.
//
// The literal walk asks the path object: `exists()`, `iterdir()` with
// `is_dir()` per entry, then `glob(pattern)` per type directory. On a
// universal-pathlib path these become the file system's `exists`, `isdir`,
// `listdir` and `glob` (itself a one-level `find`, sorted by path). One
// `find(root, detail=True)` without a depth limit lists every key below the
// root at once (one request per thousand keys on S3), from which the same
// answers follow: type directories are the first components of deeper keys,
// in the order the file system lists them; their entries are the second
// components (files, or directories implied by deeper keys), sorted as glob
// sorts them. Whatever the listing cannot answer with certainty (names that
// glob would read as patterns, a name that is both a file and a directory,
// empty path components, any error) sends the call to the literal walk.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <string>
#include <vector>

namespace css::remote {

struct Entry {
    std::string name;     // below its type directory
    long long size = -1;  // from the listing; -1: not known
    bool file = false;
    bool dir = false;     // a directory, implied by deeper keys
    bool removed = false; // by the clearing under way
    std::string etag;     // from the listing, without its quotes; empty: none given
};

struct TypeDir {
    std::string name;
    std::vector<Entry> entries;  // sorted as glob sorts them
};

struct Store {
    Ref root;
    Ref fs;
    Ref path;            // root.path, the file system's name for the root
    std::string prefix;  // that name with one trailing "/"
    bool sorted_listing = false;
    bool single_request_read = false;
    std::vector<TypeDir> dirs;  // in the order the literal walk visits them
};

// Done: the path is served here (`s` set up). Fallback: the literal path
// serves it, as it does whenever the fast paths are off.
Outcome open_store(PyObject* path, Store& s);

// Lists everything below the root in one call, directories included (an
// empty one named like a result is still an entry the walk meets). Done:
// `s.dirs` holds the listing.
Outcome list_store(Store& s);

// The type directory as the walk forms it from the root's listing.
Ref type_dir_path(const Store& s, const TypeDir& d);

// An entry of a type directory as glob forms it.
Ref entry_path(PyObject* type_dir, const Entry& e);

// The file system's key of an entry.
std::string key_of(const Store& s, const TypeDir& d, const Entry& e);

}  // namespace css::remote
