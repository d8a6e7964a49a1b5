// The clearing of a store on an fsspec file system, answered from one flat
// listing: each listed record removed as
// `delete_simulation_result(record.simulation_id)` would remove it, in list
// order, with the plain removals sent in batches through the file system's
// batch removal (remote/). Log lines, counts and exceptions are those of the
// plain loop.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

namespace css {

// Fallback only before the first removal: where the store is not served
// here, or the module's deletion or lookup was replaced.
Outcome clear_listed(PyObject* globals, PyObject* module, PyObject* records, long long& count);

}  // namespace css
