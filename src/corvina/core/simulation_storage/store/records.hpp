// Result records: saving, loading, and the cache lookup by identity.
#pragma once

#include "frame/ref.hpp"

namespace css {

// While one lives, the thread's saves reach the disk before
// save_simulation_result returns: the file's data before its rename, the
// directory after it. get_or_compute's saves, whose claim is released right
// after; ordinary saves keep their cost.
class DurableSaves {
  public:
    DurableSaves();
    ~DurableSaves();
    DurableSaves(const DurableSaves&) = delete;
    DurableSaves& operator=(const DurableSaves&) = delete;

  private:
    bool before_;
};

// The record in the bytes of one result file, decoded and validated as the
// host does it; an empty Ref with the error set when they hold none.
Ref decode_record(PyObject* globals, PyObject* bytes);

}  // namespace css
