// The units of get_or_compute_simulation_result, which only claims/ uses:
// the call, the solver's outcome turned into a saved record (solver.cpp),
// where the claims of a simulation live (sites.cpp), and the claim and the
// wait for another worker's result (wait.cpp).
#pragma once

#include "claims/bodies.hpp"
#include "claims/claim.hpp"
#include "frame/function.hpp"
#include "frame/outcome.hpp"

#include <memory>

namespace css::claims {

// What the caller asked for.
struct Call {
    PyObject* g;
    const Args& a;
    PyObject* simulation_id;
    double lease;
    bool store_errors;
    // A damaged result file is warned about once per call, however many
    // looks find it before it is replaced.
    mutable bool damaged_warned = false;
    PyObject* component_name() const { return a[arg::identity::component_name]; }
    PyObject* simulation_type() const { return a[arg::identity::simulation_type]; }
    // At the same place for get_or_compute and _claim_unless_held.
    PyObject* compute() const { return a[arg::get_or_compute::compute]; }
};

double seconds_between(Clock::time_point a, Clock::time_point b);

// `load_simulation_result(simulation_id)`: the record, None, or an empty
// Ref with the error set. A result file that cannot be decoded (cut short by
// a crash, or not a record) is a miss, with a warning, when it is the file
// that saving this simulation replaces.
Ref load(const Call& c);

// The stored record, or, where there is none, compute_and_save's.
Ref load_or_compute(const Call& c);

// The claim a computation runs under.
struct Holding {
    Site& site;
    const std::shared_ptr<Held>& held;
};

// Runs compute() and saves its outcome, durably (on the disk before the
// claim is released); the record, or an empty Ref with the error set. A
// failure of compute() reaches the caller; with `store_errors` it is saved
// first, as an error record, unless the claim `under` may have passed to
// another worker meanwhile (its record, or its work, is not to be spoilt).
Ref compute_and_save(const Call& c, const Holding* under = nullptr);

// The claims of this simulation. Fallback (no error set) where the store
// cannot hold them: the simulation is computed without a claim.
Outcome open_site(const Call& c, std::unique_ptr<Site>& site, bool& remote);

// Claims the simulation without looking for its result first, and computes
// it (after one look once the claim is won); None, without a request more,
// when another worker holds the claim.
Ref claim_unless_held(const Call& c, Site& site);

// Claims the simulation and computes it, or waits up to `wait` seconds for
// the worker that holds the claim.
Ref claim_and_compute(const Call& c, Site& site, double wait, bool remote);

}  // namespace css::claims
