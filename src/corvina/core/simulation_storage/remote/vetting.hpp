// Vetting for the batch path: the identity tests that decide whether a path
// (and its file system) may be served by one flat listing instead of the
// literal walk through the path's own methods.
#pragma once

#include "frame/ref.hpp"

#include <initializer_list>
#include <string>

namespace css::remote {

// Whether `path` is exactly one of universal-pathlib's own classes, with the
// path methods the walk and the reads go through as those classes define
// them. false may leave an error set.
bool standard_path_class(PyObject* path);

// Whether the file system `fs` is one of fsspec's, with the methods either
// path calls (directly or through the path) as its classes define them, and
// glob fsspec's own. false may leave an error set.
bool standard_fs(PyObject* fs);

// Whether these methods of `fs` are its class's own, as `standard_fs` checks
// its methods. false may leave an error set.
bool standard_fs_methods(PyObject* fs, std::initializer_list<const char*> methods);

// Whether the `unlink` of the universal-pathlib path `path` is that class's
// own, not one a subclass or a patch put in its place. false may leave an
// error set.
bool standard_unlink(PyObject* path);

// File systems whose listing order is known: S3 lists keys sorted, so the
// order of the type directories follows from the flat listing, and a whole
// object is one GET once the concurrent split of large reads is turned off.
struct KnownFs {
    const char* cls;
    bool sorted_listing;
    bool single_request_read;
    // A batched removal names each key the service refused (S3's
    // DeleteObjects), where the file system's own batch removal drops them.
    bool reports_refused_removals = false;
    // Directories are only key prefixes: making one makes nothing but the
    // bucket, when there is none (S3).
    bool prefix_directories = false;
};

// Whether the method `name` of the path `path` is defined by one of the
// classes `definers` (`module.qualname`) in its own source, not put in its
// place by a subclass or a patch. false may leave an error set.
bool standard_path_method(PyObject* path, const char* name,
                          std::initializer_list<const char*> definers);

// What is known of the class of `fs`, or nullptr.
const KnownFs* known_fs(PyObject* fs);

// `module.qualname` of a class; empty (no error set) when it has none.
std::string class_name(PyObject* cls);

}  // namespace css::remote
