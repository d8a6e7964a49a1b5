// The listing's walk over the store, which the listing and the queries
// share: every result file below the simulations directory, in listing
// order, read once, with the listing's treatment of a file that cannot be
// read or is gone; and the record fields its filters compare.
#pragma once

#include "frame/host.hpp"

#include <functional>

namespace css {

// Takes the bytes of one file (on the literal walk, whatever the path's
// `read_bytes()` gave). false: an error is set. An ordinary exception (an
// `Exception`) drops that file with the listing's warning naming it; any
// other ends the walk.
using TakeFile = std::function<bool(PyObject* bytes)>;

// The files of the type directories below `root` (the one `simulation_type`
// names, when it is not None), through direct system calls on a standard
// local path, the batch path on an fsspec store, else the path objects' own
// `iterdir()`, `exists()`, `glob("*.json")` and `read_bytes()`. A store
// that does not exist holds no files; a file removed since its directory
// was listed is skipped silently. false: an error is set.
bool scan_results(PyObject* globals, PyObject* root, PyObject* simulation_type,
                  const TakeFile& take);

// The record fields that the listing's four filters compare, in the
// filters' order: component_name, factory_name, pdk_name, status.
inline PyObject* filter_field(int k) {
    PyObject* const fields[4] = {host_names.component_name, host_names.factory_name, host_names.pdk_name, host_names.status};
    return fields[k];
}

}  // namespace css
