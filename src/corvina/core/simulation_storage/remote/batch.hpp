// A batch path for stores on fsspec file systems (universal-pathlib paths).
//
// Taken only when the path is exactly one of universal-pathlib's own classes
// and the file-system methods involved are the ones their classes define,
// unpatched; anything else keeps the literal walk through the path's own
// methods. One flat listing of the store stands in for the walk over the
// type directories (on S3: one request per thousand keys instead of several
// per directory), files are read concurrently through the file system's
// batch read and removed through its batch removal. Results, files, log
// lines and exceptions are those of the literal walk.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"
#include "remote/listing.hpp"

#include <functional>
#include <string>
#include <vector>

namespace css {

// Files per batched read or removal: S3 takes a thousand keys per request.
inline constexpr size_t kBatchFiles = 1000;

// Lookup by ID. Done: `found` holds the path or None.
Outcome remote_find(PyObject* root, PyObject* simulation_id, Ref& found);

// The whole bytes of one result file, in one request where the service
// allows it. Fallback (no error set) when the path is not served here or the
// read failed: the caller replays the literal test and read.
Outcome remote_read(PyObject* path, Ref& bytes);

// Removes the file of an fsspec store at `path` by its exact name, where
// universal-pathlib's unlink would not keep to the service's answer: on S3
// (one DeleteObjects, whose answer names a refused key: PermissionError or
// OSError, where the file system's own removal counts it as removed), and
// for a name that holds glob characters (unlink hands it to fsspec's
// removal, which expands it as a pattern, removing the look-alikes it
// matches, other results, and not this file). Fallback (no error set) for
// every other path, which the caller removes with its own unlink.
Outcome remote_unlink(PyObject* path);

// A file of a listing to read whole: its key and listed size (0 or less: not
// read here).
struct ListedFile {
    std::string key;
    long long size;
};

// Reads `files` whole through the file system's batch read, in batches
// bounded in count and in bytes held at once. After each batch, `done(first,
// end, data)` gets the bytes of files first..end-1 (data[k - first]), empty
// where the batch read did not give a file whole: the caller reads those its
// own way. false: an error is set (by a read, or by `done`).
using BatchDone = std::function<bool(size_t first, size_t end, std::vector<Ref>& data)>;
bool read_listed(const remote::Store& s, const std::vector<ListedFile>& files,
                 const BatchDone& done);

// The files of a listing in listing order: `visit(path, bytes)` with the
// file's bytes, or with nullptr when the file must go through the literal
// per-file read. Fallback only before the first visit.
using RemoteVisit = std::function<bool(PyObject* path, PyObject* bytes)>;
Outcome remote_scan(PyObject* root, PyObject* simulation_type, const RemoteVisit& visit);

}  // namespace css
