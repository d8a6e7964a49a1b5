// What a query asks for, checked once, and the answer from the result
// index (local/result_index.hpp) where it can give one.
#pragma once

#include "frame/outcome.hpp"
#include "query/query.hpp"

#include <vector>

namespace css {

struct Ask {
    const query::Query* q = nullptr;
    const query::Path* sort_path = nullptr;
    bool descending = false;
    // The listing's four record filters (scan.hpp's filter_field order).
    query::Path filter_paths[4];
    query::Value filter_values[4];
    bool filter_set[4] = {false, false, false, false};
    Py_ssize_t offset = 0;
    Py_ssize_t limit = PY_SSIZE_T_MAX;
    bool count = false;  // how many match, not which
    // `fields`: rows of these paths (with the ID) instead of records.
    bool rows = false;
    std::vector<query::Path> fields;
    std::vector<Ref> field_keys;  // the paths as given, the rows' keys
    query::Path id_path;
};

// A row of a record that matched: its ID and each asked path it holds, as
// the host's decoder gives them, from the file's checked text or from what
// the host decoded. Empty with an error set on failure.
Ref row_from_text(query::TextSource& src, const Ask& ask);
Ref row_from_object(PyObject* data, const Ask& ask);

// orjson's own `loads` (nullptr without orjson), and whether the module's
// decoder is it now.
PyObject* standard_loads();
bool host_decoder_is_standard(PyObject* globals);

// The query answered from the result index: Done with `out` set (a list of
// records or rows, or the count); Fallback when the index cannot answer it
// now (nothing was logged, nothing is set); Error.
Outcome query_from_index(PyObject* globals, PyObject* root, PyObject* simulation_type,
                         const Ask& ask, Ref& out);

}  // namespace css
