// get_or_compute_simulation_result: the lookup, and on a miss the claim, the
// computation, the ordinary save and the release; or, when another worker
// holds the claim, the wait for its result.
//
// A hit is exactly what find_simulation_result does (the ID, then the load),
// with no claim and no extra request. A miss claims the simulation where
// the store can hold claims (sites.cpp) and computes and saves it
// (solver.cpp), or waits for the worker that holds the claim (wait.cpp).
#include "claims/compute.hpp"

#include "claims/bodies.hpp"
#include "frame/host.hpp"
#include "remote/fsspec.hpp"
#include "store/layout.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace css {

namespace claims {

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

namespace {

// The load failed to decode the file it found (orjson's and pydantic's
// errors are ValueErrors): a miss, when that file is the one a save of this
// simulation replaces, so that computing the point heals the store. A file
// elsewhere that carries the ID would be found again after the save: its
// error stands.
Ref damaged(const Call& c) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref found = call_global(c.g, host_names._find_simulation_file, {c.simulation_id});
    Ref own = found && !found.is_none()
                  ? call_global(c.g, host_names._get_simulation_file_path,
                                {c.simulation_type(), c.component_name(), c.simulation_id})
                  : Ref{};
    Ref found_text = own ? Ref::steal(PyObject_Str(found.get())) : Ref{};
    Ref own_text = found_text ? Ref::steal(PyObject_Str(own.get())) : Ref{};
    if (!own_text || PyUnicode_Compare(found_text.get(), own_text.get()) != 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(error.release());
        return {};
    }
    if (!c.damaged_warned) {
        c.damaged_warned = true;
        Ref line = Ref::steal(PyUnicode_FromFormat("%U%U (%s); computing it again",
                                                   host_names.msg_parse_failed, found_text.get(),
                                                   Py_TYPE(error.get())->tp_name));
        if (!line || !log_message(c.g, host_names.warning, line.get())) return {};
    }
    return Ref::borrow(Py_None);
}

}  // namespace

Ref load(const Call& c) {
    Ref fn = lookup(c.g, host_names.load_simulation_result);
    if (!fn) return {};
    // On an object store a directory is only its keys: claims coming and
    // going make a store without results flicker, and a walk that found it
    // may then fail to list it (as missing, or as no longer a directory).
    // That is a lookup to repeat, not an error.
    for (int attempt = 0;; ++attempt) {
        Ref record = call(fn.get(), {c.simulation_id});
        if (record) return record;
        if (PyErr_ExceptionMatches(PyExc_ValueError)) return damaged(c);
        if (attempt == 2 || !(PyErr_ExceptionMatches(PyExc_FileNotFoundError) ||
                              PyErr_ExceptionMatches(PyExc_NotADirectoryError)))
            return record;
        PyErr_Clear();
    }
}

}  // namespace claims

namespace {

// The checked lease, argument `at_lease`; false: error set.
bool checked_lease(const Args& a, int at_lease, double& lease) {
    if (!remote::init_fsspec_names()) return false;
    lease = a.num[at_lease];
    if (!(lease > 0) || !std::isfinite(lease)) {
        PyErr_Format(PyExc_ValueError, "lease must be a positive number of seconds, not %R",
                     a[at_lease]);
        return false;
    }
    return true;
}

// The ID of the identity the call names.
Ref identify(FunctionObject* self, const Args& a) {
    Ref compute_id = lookup(globals_of(self), host_names._compute_simulation_id);
    if (!compute_id) return {};
    namespace at = arg::identity;
    return call(compute_id.get(),
                {a[at::component_name], a[at::factory_name], a[at::component_settings],
                 a[at::model_parameters], a[at::hyperparameters], a[at::simulation_type]},
                host_names.kw_identity);
}

bool id_is_text(PyObject* simulation_id) {
    if (PyUnicode_Check(simulation_id)) return true;
    PyErr_Format(PyExc_TypeError, "_compute_simulation_id() returned %.200s, not str",
                 Py_TYPE(simulation_id)->tp_name);
    return false;
}

// The rest of a call once its lease (and wait) are checked: `store_errors`
// (argument `at_store_errors`), then the ID, which `simulation_id` keeps for
// as long as `c` lives. false: an error is set.
bool set_up(FunctionObject* self, const Args& a, double lease, int at_store_errors,
            Ref& simulation_id, std::optional<claims::Call>& c) {
    int store_errors = truth(a[at_store_errors]);
    if (store_errors < 0) return false;
    // A name whose result could never be found again is refused before the
    // lookup, not after a solver run that nobody can reuse.
    if (!check_path_name(a[arg::identity::simulation_type], "simulation_type",
                         NameUse::TypeToWrite) ||
        !check_path_name(a[arg::identity::component_name], "component_name", NameUse::FileName))
        return false;
    simulation_id = identify(self, a);
    if (!simulation_id) return false;
    c.emplace(claims::Call{.g = globals_of(self),
                           .a = a,
                           .simulation_id = simulation_id.get(),
                           .lease = lease,
                           .store_errors = store_errors != 0});
    return true;
}

}  // namespace

namespace claims {

Ref load_or_compute(const Call& c) {
    Ref hit = load(c);
    if (!hit || !hit.is_none()) return hit;
    return compute_and_save(c);
}

}  // namespace claims

PyObject* get_or_compute_simulation_result(FunctionObject* self, const Args& a) {
    double lease = 0;
    namespace at = arg::get_or_compute;
    if (!checked_lease(a, at::lease, lease)) return nullptr;
    double wait = std::numeric_limits<double>::infinity();
    if (a[at::wait] != Py_None) {
        wait = a.num[at::wait];
        if (!(wait >= 0)) {
            PyErr_Format(PyExc_ValueError,
                         "wait must be None or a number of seconds of at least 0, not %R",
                         a[at::wait]);
            return nullptr;
        }
    }
    Ref simulation_id;
    std::optional<claims::Call> call;
    if (!set_up(self, a, lease, at::store_errors, simulation_id, call)) return nullptr;
    const claims::Call& c = *call;
    Ref hit = claims::load(c);
    if (!hit || !hit.is_none()) return hit.release();
    if (!id_is_text(simulation_id.get())) return nullptr;

    bool remote = false;
    std::unique_ptr<claims::Site> site;
    switch (claims::open_site(c, site, remote)) {
        case Outcome::Error: return nullptr;
        case Outcome::Fallback: return claims::compute_and_save(c).release();
        case Outcome::Done: break;
    }
    return claims::claim_and_compute(c, *site, wait, remote).release();
}

// The sweep helper's step for a point that its look at the sweep found
// neither stored nor claimed: get_or_compute without the lookup first, and
// without the wait (None when another worker holds the claim).
PyObject* claim_unless_held(FunctionObject* self, const Args& a) {
    double lease = 0;
    namespace at = arg::claim_unless_held;
    if (!checked_lease(a, at::lease, lease)) return nullptr;
    Ref simulation_id;
    std::optional<claims::Call> call;
    if (!set_up(self, a, lease, at::store_errors, simulation_id, call)) return nullptr;
    const claims::Call& c = *call;
    if (!id_is_text(simulation_id.get())) return nullptr;
    bool remote = false;
    std::unique_ptr<claims::Site> site;
    switch (claims::open_site(c, site, remote)) {
        case Outcome::Error: return nullptr;
        case Outcome::Fallback: return claims::load_or_compute(c).release();
        case Outcome::Done: break;
    }
    return claims::claim_unless_held(c, *site).release();
}

}  // namespace css
