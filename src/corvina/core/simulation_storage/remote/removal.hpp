// Batched removals that keep the service's answer for each key.
//
// fsspec's batch removal on S3 (one DeleteObjects request per thousand keys)
// drops the errors the service names per key, so a key that it refused to
// delete would count as removed. Where the file system is one whose service
// names them, the same request is sent through the file system's own call
// and its answer read.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <string>
#include <vector>

namespace css::remote {

// Why the service kept a key: its error code and message.
struct Refusal {
    std::string code, message;
};

// Removes `keys` (file-system paths of one bucket) in one request. Done:
// `refused[i]` has an empty code for every key the service removed (or
// that was already gone, which it reports alike). Fallback (no error set):
// not offered for this file system, use its own batch removal. Error: the
// request failed as a whole, perhaps part-way (the error is set).
Outcome remove_reporting(PyObject* fs, const std::vector<std::string>& keys,
                         std::vector<Refusal>& refused);

// Sets the error for a removal of `path` that the service refused:
// PermissionError where it was denied, else OSError, with its code and
// message.
void raise_refusal(const Refusal& why, PyObject* path);

}  // namespace css::remote
