// Requests to an object store for its claims, and what their failures
// mean: S3's failure answers classed (a conditional write refused, a key
// missing, a transient failure such as 409 ConditionalRequestConflict or
// 503 SlowDown), transient ones tried again with growing, jittered pauses,
// and the file system's own calls a claim is made of (requests.cpp). The
// claim site that uses them is remote.cpp.
#pragma once

#include "claims/claim.hpp"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <string>
#include <utility>

namespace css::claims {

Ref bytes_of(const std::string& s);
double seconds(Clock::duration d);
// A factor in [0.5, 1.5), so that processes that failed together spread out.
double jitter();

// --- what a failed request means --------------------------------------------------

enum class Failure {
    Transient,     // the service asked for a retry, or did not answer in time
    Precondition,  // a conditional write refused (412)
    Missing,       // no such key
    Other,
};

// The error set, classed; it stays set.
Failure failure();

// Transient failures of one claim operation, tried again with growing,
// jittered pauses for half a lease at most.
class Retries {
  public:
    explicit Retries(double lease)
        : until_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(lease / 2))),
          longest_(std::clamp(lease / 8, 0.05, 1.0)) {}

    enum Verdict {
        Again,   // slept, the error cleared: send the request again
        GiveUp,  // transient, but out of time (the error stays set)
        Fail,    // not transient, or interrupted (an error is set)
    };

    // After a failed request, with its error set.
    Verdict after_failure();

  private:
    Clock::time_point until_;
    double pause_ = 0.05;
    double longest_;
};

// --- requests ------------------------------------------------------------------------

// Whether `fs.<method>` is fsspec's blocking front of the file system's own
// coroutine, which takes `timeout=` (and cancels the request when it runs
// out).
bool takes_timeout(PyObject* fs, PyObject* method);

// `fs.<method>(*args, **kw)`, with `timeout=` when `timeout` > 0.
Ref fs_call(PyObject* fs, PyObject* method, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kw, double timeout = 0);

// Creates `key` with `data` only if absent. 1 created (`out`: the call's
// answer), 0 it exists (`resent`, when given: the refusal may answer a
// request sent again after its first was carried out), -1 error set.
int create_key(PyObject* fs, PyObject* key, PyObject* data, Ref* out = nullptr,
               bool* resent = nullptr);

// Removes `key`; one that is not there is no error.
bool remove_key(PyObject* fs, PyObject* key);

// The bytes of `key` in one request (from offset 0: one GET, without asking
// for the size first), or Gone. Error: set.
Seen fetch(PyObject* fs, PyObject* key, std::string& bytes, double timeout = 0);

// The version tag of `key` as the service tells it now (None when it tells
// none), from a fresh look rather than a cached listing. Empty: error set.
Ref etag_of(PyObject* fs, PyObject* key, double timeout = 0);

// The "ETag" of a write's answer, when it has one.
Ref etag_in(PyObject* answer);

// Whether the claim text `found` is the one whose text is `mine`: the same
// owner token, which is random per claim.
bool same_owner(const std::string& found, const std::string& mine);

}  // namespace css::claims
