// get_or_compute_simulation_result: the lookup, and on a miss the claim, the
// computation, the ordinary save and the release; or, when another worker
// holds the claim, the wait for its result.
//
// A hit is exactly what find_simulation_result does (the ID, then the load),
// with no claim and no extra request. A miss claims the simulation; the
// winner looks once more for the result (another worker may have finished
// between the lookup and the claim), computes, saves through the module's
// own save_simulation_result (same file, record and log line) and releases.
// A waiter polls the claim it found, with backoff and jitter: the claim gone
// means a result to return, or a claim to try again; a claim whose content
// did not change for one lease, on the waiter's own monotonic clock, is
// taken over by creating the next generation, which only one waiter can.
#include "claim.hpp"

#include "../bodies.hpp"
#include "../fastpath.hpp"
#include "../host.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <unistd.h>

namespace css {

namespace {

using claims::Clock;

struct ComputeNames {
    PyObject* save_simulation_result;
    PyObject* fs;
    PyObject* path;
    PyObject* protocol;
    PyObject* error;
    PyObject* fields[6];  // what an outcome may give, in save's keyword order
};
ComputeNames C{};

constexpr const char* kOutcomeFields[6] = {
    "result", "wavelengths", "execution_time_seconds", "status", "error_message", "pdk_version",
};
enum Field { kResult, kWavelengths, kSeconds, kStatus, kErrorMessage, kPdkVersion };

bool init_compute_names() {
    if (C.fields[5]) return true;
    auto intern = [](PyObject*& slot, const char* text) {
        return slot || (slot = PyUnicode_InternFromString(text)) != nullptr;
    };
    if (!intern(C.save_simulation_result, "save_simulation_result") || !intern(C.fs, "fs") ||
        !intern(C.path, "path") || !intern(C.protocol, "protocol") || !intern(C.error, "error"))
        return false;
    for (int i = 0; i < 6; ++i)
        if (!intern(C.fields[i], kOutcomeFields[i])) return false;
    return true;
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// A factor in [0.75, 1.25), so that waiters started together spread out.
double jitter() {
    thread_local unsigned long long state = 0;
    if (state == 0) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        state = (static_cast<unsigned long long>(t.tv_nsec) << 20) ^
                static_cast<unsigned long long>(getpid()) ^ 0x9E3779B97F4A7C15ULL;
    }
    unsigned long long z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return 0.75 + 0.5 * static_cast<double>(z >> 11) / 9007199254740992.0;
}

// Sleeps without the interpreter lock; false when a signal handler raised
// (Ctrl-C while waiting).
bool pause_for(double seconds) {
    if (seconds > 0) {
        timespec ts;
        ts.tv_sec = static_cast<time_t>(seconds);
        ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
        Py_BEGIN_ALLOW_THREADS
        nanosleep(&ts, nullptr);  // a signal ends it early, and is handled below
        Py_END_ALLOW_THREADS
    }
    return PyErr_CheckSignals() == 0;
}

// --- what the caller asked for ---------------------------------------------------

struct Call {
    PyObject* g;
    const Args& a;
    PyObject* simulation_id;
    double lease;
    bool store_errors;
    PyObject* component_name() const { return a[0]; }
    PyObject* simulation_type() const { return a[5]; }
    PyObject* compute() const { return a[6]; }
};

Ref load(const Call& c) {
    Ref fn = lookup(c.g, N.load_simulation_result);
    if (!fn) return {};
    // On an object store a directory is only its keys: claims coming and
    // going make a store without results flicker, and a walk that found it
    // may then fail to list it. That is a lookup to repeat, not an error.
    for (int attempt = 0;; ++attempt) {
        Ref record = call(fn.get(), {c.simulation_id});
        if (record || attempt == 2 || !PyErr_ExceptionMatches(PyExc_FileNotFoundError))
            return record;
        PyErr_Clear();
    }
}

// `save_simulation_result(<identity>, <outcome fields given>)`.
Ref save(const Call& c, PyObject* const given[6]) {
    Ref fn = lookup(c.g, C.save_simulation_result);
    if (!fn) return {};
    PyObject* stack[12];
    PyObject* names[12];
    int n = 0;
    for (int i = 0; i < 6; ++i) {
        stack[n] = c.a[i];
        names[n++] = PyTuple_GET_ITEM(N.kw_identity, i);
    }
    for (int i = 0; i < 6; ++i) {
        if (!given[i]) continue;
        stack[n] = given[i];
        names[n++] = C.fields[i];
    }
    Ref kwnames = Ref::steal(PyTuple_New(n));
    if (!kwnames) return {};
    for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(names[i]));
    return Ref::steal(PyObject_Vectorcall(fn.get(), stack, 0, kwnames.get()));
}

PyObject* g_mapping_abc = nullptr;  // collections.abc.Mapping, kept for the process

// The fields of an outcome: a mapping, or an object with the fields as
// attributes (a dataclass, a named tuple). New references in `out`.
bool read_outcome(PyObject* outcome, Ref out[6]) {
    int mapping = PyDict_Check(outcome);
    if (!mapping) {
        if (!g_mapping_abc) {
            Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
            if (!abc) return false;
            g_mapping_abc = PyObject_GetAttrString(abc.get(), "Mapping");
            if (!g_mapping_abc) return false;
        }
        mapping = PyObject_IsInstance(outcome, g_mapping_abc);
        if (mapping < 0) return false;
    }
    if (mapping) {
        // A misspelt field would silently drop what the solver returned.
        Ref keys = Ref::steal(PyMapping_Keys(outcome));
        if (!keys) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            bool known = false;
            for (int f = 0; f < 6 && !known; ++f) {
                int eq = PyUnicode_Check(k) ? PyUnicode_Compare(k, C.fields[f]) == 0 : 0;
                known = eq;
            }
            if (!known) {
                PyErr_Format(PyExc_TypeError,
                             "compute() returned an outcome with an unknown field %R (the fields "
                             "are 'result', 'wavelengths', 'execution_time_seconds', 'status', "
                             "'error_message' and 'pdk_version')",
                             k);
                return false;
            }
        }
    }
    for (int f = 0; f < 6; ++f) {
        PyObject* v = nullptr;
        int found = mapping ? PyMapping_GetOptionalItem(outcome, C.fields[f], &v)
                            : PyObject_GetOptionalAttr(outcome, C.fields[f], &v);
        if (found < 0) return false;
        out[f] = Ref::steal(v);
    }
    if (!out[kResult] || !out[kWavelengths]) {
        PyErr_Format(PyExc_TypeError,
                     "compute() must return the outcome as a mapping (or an object) with "
                     "'result' and 'wavelengths', not %.200s",
                     Py_TYPE(outcome)->tp_name);
        return false;
    }
    if (out[kSeconds].is_none()) out[kSeconds] = Ref{};
    return true;
}

// "<type>: <text>", or the type alone when the exception has no text.
Ref failure_text(PyObject* exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
    if (!type_name) return {};
    if (!text) {
        PyErr_Clear();
        return type_name;
    }
    if (PyUnicode_GET_LENGTH(text.get()) == 0) return type_name;
    return Ref::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
}

// Runs compute() and saves its outcome; the record, or an empty Ref with the
// error set. A failure of compute() reaches the caller; with `store_errors`
// it is saved first, as an error record.
Ref compute_and_save(const Call& c) {
    const auto t0 = Clock::now();
    Ref outcome = call(c.compute(), {});
    const double elapsed = seconds_between(t0, Clock::now());
    if (!outcome) {
        if (!c.store_errors || !PyErr_ExceptionMatches(PyExc_Exception)) return {};
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref message = failure_text(exc.get());
        Ref empty_result = Ref::steal(PyDict_New());
        Ref empty_wavelengths = Ref::steal(PyList_New(0));
        Ref seconds = Ref::steal(PyFloat_FromDouble(elapsed));
        if (!message || !empty_result || !empty_wavelengths || !seconds) return {};
        PyObject* given[6] = {empty_result.get(), empty_wavelengths.get(), seconds.get(),
                              C.error, message.get(), nullptr};
        Ref record = save(c, given);
        if (!record) {
            // The save's own failure, with the solver's as its context.
            Ref save_exc = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(save_exc.get(), exc.release());
            PyErr_SetRaisedException(save_exc.release());
            return {};
        }
        PyErr_SetRaisedException(exc.release());
        return {};
    }
    Ref fields[6];
    if (!read_outcome(outcome.get(), fields)) return {};
    Ref seconds = fields[kSeconds] ? fields[kSeconds] : Ref::steal(PyFloat_FromDouble(elapsed));
    if (!seconds) return {};
    PyObject* given[6] = {fields[kResult].get(), fields[kWavelengths].get(), seconds.get(),
                          fields[kStatus].get(), fields[kErrorMessage].get(),
                          fields[kPdkVersion].get()};
    return save(c, given);
}

// --- the claimed path -------------------------------------------------------------

// Releases after the work is done: an error of the release does not hide the
// work's own outcome (an error already set, or a record saved, which then
// comes with a warning that the claim stays until it is judged stale).
Ref finish(claims::Site& site, const std::shared_ptr<claims::Held>& held, Ref outcome) {
    Ref pending = outcome ? Ref{} : Ref::steal(PyErr_GetRaisedException());
    if (!site.release(held)) {
        if (pending || !outcome) {
            PyErr_Clear();
        } else {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref where = Ref::steal(PyUnicode_FromString(site.describe(held->generation).c_str()));
            if (!where) return {};
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "could not remove the claim %U after saving: %S", where.get(),
                                 exc.get()) < 0)
                return {};
        }
    }
    if (pending) PyErr_SetRaisedException(pending.release());
    return outcome;
}

Ref run_claimed(const Call& c, claims::Site& site, const std::shared_ptr<claims::Held>& held) {
    held->lease = c.lease;
    if (!claims::keep_alive(held)) return finish(site, held, Ref{});
    // Another worker may have saved the result between the lookup and the claim.
    int present = site.result_present();
    if (present < 0) return finish(site, held, Ref{});
    if (present) {
        Ref record = load(c);
        if (!record) return finish(site, held, Ref{});
        if (!record.is_none()) return finish(site, held, std::move(record));
    }
    return finish(site, held, compute_and_save(c));
}

// A number of seconds as a message shows it.
std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", s);
    return buf;
}

// The holder, for a waiter that gives up.
void raise_timeout(const Call& c, const claims::Site& site, int generation,
                   const std::string& bytes, double waited, double seen_ago) {
    claims::Parsed p = claims::parse(bytes);
    auto or_unknown = [](const std::string& s) { return s.empty() ? std::string("?") : s; };
    std::string where = site.describe(generation);
    PyErr_Format(PyExc_TimeoutError,
                 "waited %s s for simulation %U (%U, %U), which another worker is computing: "
                 "process %s on host %s, since %s; last heartbeat %s, its claim last seen "
                 "changing %s s ago (%s)",
                 seconds_text(waited).c_str(), c.simulation_id, c.component_name(),
                 c.simulation_type(), or_unknown(p.pid).c_str(), or_unknown(p.host).c_str(),
                 or_unknown(p.started).c_str(), or_unknown(p.heartbeat).c_str(),
                 seconds_text(seen_ago).c_str(), where.c_str());
}

Ref claim_and_compute(const Call& c, claims::Site& site, double wait, bool remote) {
    const auto start = Clock::now();
    const double first_pause = remote ? 0.2 : 0.002;
    const double longest_pause = remote ? std::min(1.0, c.lease / 4) : std::min(0.1, c.lease / 8);
    double pause = first_pause;
    int gen = 0;
    int idle_rounds = 0;  // claims found gone with no result, in a row
    // What this waiter saw of the claim it watches, and since when.
    int watched = -1;
    std::string seen;
    Clock::time_point seen_since{};

    for (;;) {
        claims::Content content;
        if (!claims::Content::make(c.simulation_id, c.component_name(), c.simulation_type(), gen,
                                   c.lease, content))
            return {};
        std::shared_ptr<claims::Held> held;
        switch (site.create(gen, content, held)) {
            case claims::Made::Won: return run_claimed(c, site, held);
            case claims::Made::Unsupported: return compute_and_save(c);
            case claims::Made::Error: return {};
            case claims::Made::Exists: break;
        }
        // Held by someone: the highest generation is the live one.
        std::string bytes;
        claims::Seen s;
        for (;;) {
            std::string above;
            claims::Seen up = site.read(gen + 1, above);
            if (up == claims::Seen::Error) return {};
            if (up == claims::Seen::Present) {
                ++gen;
                continue;
            }
            s = site.read(gen, bytes);
            break;
        }
        for (;;) {
            if (s == claims::Seen::Error) return {};
            const auto now = Clock::now();
            if (s == claims::Seen::Gone) {
                // Released: its result, or a claim to try again.
                int present = site.result_present();
                if (present < 0) return {};
                if (present) {
                    Ref record = load(c);
                    if (!record || !record.is_none()) return record;
                }
                gen = 0;
                watched = -1;
                if (++idle_rounds > 1) {
                    if (wait <= seconds_between(start, now)) {
                        PyErr_Format(PyExc_TimeoutError,
                                     "waited %s s for simulation %U (%U, %U): its claims come "
                                     "and go without a result",
                                     seconds_text(seconds_between(start, now)).c_str(),
                                     c.simulation_id,
                                     c.component_name(), c.simulation_type());
                        return {};
                    }
                    if (!pause_for(pause * jitter())) return {};
                    pause = std::min(pause * 1.5, longest_pause);
                }
                break;
            }
            idle_rounds = 0;
            if (watched != gen || seen != bytes) {
                watched = gen;
                seen = bytes;
                seen_since = now;
            } else {
                claims::Parsed p = claims::parse(bytes);
                const double lease = p.lease > 0 ? p.lease : c.lease;
                if (seconds_between(seen_since, now) >= lease) {
                    // Stale: try the next generation; one waiter gets it.
                    ++gen;
                    break;
                }
            }
            const double waited = seconds_between(start, now);
            if (waited >= wait) {
                raise_timeout(c, site, gen, bytes, waited, seconds_between(seen_since, now));
                return {};
            }
            claims::Parsed p = claims::parse(bytes);
            const double lease = p.lease > 0 ? p.lease : c.lease;
            double nap = pause * jitter();
            nap = std::min(nap, wait - waited);
            nap = std::min(nap, std::max(lease - seconds_between(seen_since, now), 0.0) + 0.001);
            if (!pause_for(nap)) return {};
            pause = std::min(pause * 1.5, longest_pause);
            s = site.read(gen, bytes);
        }
    }
}

// --- where the claims go ----------------------------------------------------------

PyObject* g_posix_path = nullptr;  // pathlib.PosixPath, kept for the process

// The text of a local path object (os.fspath, encoded); false: error set.
bool fs_text(PyObject* path, std::string& out) {
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(fspath.get(), &raw)) return false;
    Ref encoded = Ref::steal(raw);
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

// Whether `fs` works on the local file system (fsspec's "file" protocol).
int is_local_fs(PyObject* fs) {
    Ref protocol = getattr(fs, C.protocol);
    if (!protocol) {
        PyErr_Clear();
        return 0;
    }
    auto local = [](PyObject* p) {
        return PyUnicode_Check(p) &&
               (PyUnicode_EqualToUTF8(p, "file") || PyUnicode_EqualToUTF8(p, "local"));
    };
    if (PyUnicode_Check(protocol.get())) return local(protocol.get());
    if (PyTuple_Check(protocol.get()))
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(protocol.get()); ++i)
            if (local(PyTuple_GET_ITEM(protocol.get(), i))) return 1;
    return 0;
}

// The claims of this simulation, or (with no error set) nullptr where the
// store cannot hold them.
std::unique_ptr<claims::Site> open_site(const Call& c, bool& remote) {
    remote = false;
    PyObject* type = c.simulation_type();
    PyObject* component = c.component_name();
    Ref root = simulations_dir(c.g);
    if (!root) return nullptr;
    if (!g_posix_path) {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return nullptr;
        g_posix_path = PyObject_GetAttrString(pathlib.get(), "PosixPath");
        if (!g_posix_path) return nullptr;
    }
    auto result_path = [&]() -> Ref {
        Ref get_path = lookup(c.g, N._get_simulation_file_path);
        if (!get_path) return {};
        return call(get_path.get(), {type, component, c.simulation_id});
    };
    // The module's own path function on a standard local path: the same
    // path, made without the path objects.
    std::string root_text;
    int standard = local_path(root.get(), root_text);
    if (standard < 0) return nullptr;
    if (standard) {
        Ref get_path = lookup(c.g, N._get_simulation_file_path);
        if (!get_path) return nullptr;
        PyObject* fn = get_path.get();
        bool own = Py_TYPE(fn) == &FunctionType &&
                   reinterpret_cast<FunctionObject*>(fn)->sig->body == get_simulation_file_path;
        if (own) {
            if (!check_path_name(type, "simulation_type", true) ||
                !check_path_name(component, "component_name", false) ||
                !check_path_name(c.simulation_id, "simulation_id", false))
                return nullptr;
            Ref name = Ref::steal(PyUnicode_FromFormat("%U_%U.json", component, c.simulation_id));
            if (!name) return nullptr;
            Ref type_bytes = Ref::steal(PyUnicode_EncodeFSDefault(type));
            Ref name_bytes = type_bytes ? Ref::steal(PyUnicode_EncodeFSDefault(name.get())) : Ref{};
            if (name_bytes) {
                std::string type_dir = join_path(root_text, PyBytes_AS_STRING(type_bytes.get()));
                if (path_is_dir(type_dir))
                    return claims::local_site(join_path(type_dir, PyBytes_AS_STRING(name_bytes.get())));
            }
            PyErr_Clear();  // the path function makes the directory, or reports the name
        }
    }
    int posix = PyObject_IsInstance(root.get(), g_posix_path);
    if (posix < 0) return nullptr;
    PyObject* upath_module = nullptr;
    if (!posix) {
        if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "upath", &upath_module) < 0)
            return nullptr;
    }
    Ref upath = Ref::steal(upath_module);
    if (posix) {
        // Where save will write, made as save makes it (the type directory too).
        Ref path = result_path();
        std::string text;
        if (!path || !fs_text(path.get(), text)) return nullptr;
        return claims::local_site(text);
    }
    int is_upath = 0;
    if (upath) {
        Ref cls = Ref::steal(PyObject_GetAttrString(upath.get(), "UPath"));
        if (!cls) return nullptr;
        is_upath = PyObject_IsInstance(root.get(), cls.get());
        if (is_upath < 0) return nullptr;
    }
    if (!is_upath) {
        static PyObject* warned_type = nullptr;
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(root.get()));
        if (warned_type != t) {
            warned_type = t;
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "the store %R is neither a local path nor a universal-pathlib "
                                 "path, and cannot hold claims; simulations missing from it are "
                                 "computed without claims",
                                 root.get()) < 0)
                return nullptr;
        }
        return nullptr;
    }
    Ref fs = getattr(root.get(), C.fs);
    if (!fs) return nullptr;
    int local = is_local_fs(fs.get());
    if (local) {
        Ref path = result_path();
        if (!path) return nullptr;
        Ref text = getattr(path.get(), C.path);
        std::string t;
        if (!text || !fs_text(text.get(), t)) return nullptr;
        return claims::local_site(t);
    }
    if (!check_path_name(type, "simulation_type", true) ||
        !check_path_name(component, "component_name", false) ||
        !check_path_name(c.simulation_id, "simulation_id", false))
        return nullptr;
    int supported = claims::remote_supported(root.get(), fs.get());
    if (supported <= 0) return nullptr;
    remote = true;
    Ref type_dir = Ref::steal(PyNumber_TrueDivide(root.get(), type));
    if (!type_dir) return nullptr;
    Ref type_key = getattr(type_dir.get(), C.path);
    Ref stem = Ref::steal(PyUnicode_FromFormat("%U_%U", component, c.simulation_id));
    Ref name = stem ? Ref::steal(PyUnicode_FromFormat("%U.json", stem.get())) : Ref{};
    if (!type_key || !name) return nullptr;
    if (!PyUnicode_Check(type_key.get())) {
        PyErr_SetString(PyExc_TypeError, "the store's path is not text");
        return nullptr;
    }
    // A path of the bucket itself ends in "/": the keys below it do not.
    Ref trimmed = type_key;
    Py_ssize_t n = PyUnicode_GET_LENGTH(type_key.get());
    if (n > 0 && PyUnicode_READ_CHAR(type_key.get(), n - 1) == '/')
        trimmed = Ref::steal(PyUnicode_Substring(type_key.get(), 0, n - 1));
    if (!trimmed) return nullptr;
    return claims::remote_site(fs.get(), trimmed.get(), name.get(), stem.get());
}

}  // namespace

PyObject* get_or_compute_simulation_result(FunctionObject* self, const Args& a) {
    if (!init_compute_names()) return nullptr;
    PyObject* g = globals_of(self);
    const double lease = a.num[7];
    if (!(lease > 0) || !std::isfinite(lease)) {
        PyErr_Format(PyExc_ValueError, "lease must be a positive number of seconds, not %R", a[7]);
        return nullptr;
    }
    double wait = std::numeric_limits<double>::infinity();
    if (a[8] != Py_None) {
        wait = a.num[8];
        if (!(wait >= 0)) {
            PyErr_Format(PyExc_ValueError,
                         "wait must be None or a number of seconds of at least 0, not %R", a[8]);
            return nullptr;
        }
    }
    int store_errors = truth(a[9]);
    if (store_errors < 0) return nullptr;

    Ref compute_id = lookup(g, N._compute_simulation_id);
    if (!compute_id) return nullptr;
    Ref simulation_id =
        call(compute_id.get(), {a[0], a[1], a[2], a[3], a[4], a[5]}, N.kw_identity);
    if (!simulation_id) return nullptr;
    Call c{.g = g,
           .a = a,
           .simulation_id = simulation_id.get(),
           .lease = lease,
           .store_errors = store_errors != 0};
    Ref hit = load(c);
    if (!hit || !hit.is_none()) return hit.release();
    if (!PyUnicode_Check(simulation_id.get())) {
        PyErr_Format(PyExc_TypeError, "_compute_simulation_id() returned %.200s, not str",
                     Py_TYPE(simulation_id.get())->tp_name);
        return nullptr;
    }

    bool remote = false;
    std::unique_ptr<claims::Site> site = open_site(c, remote);
    if (!site) {
        if (PyErr_Occurred()) return nullptr;
        return compute_and_save(c).release();
    }
    return claim_and_compute(c, *site, wait, remote).release();
}

}  // namespace css
