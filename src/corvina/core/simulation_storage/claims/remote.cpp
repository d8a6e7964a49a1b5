// Claims on object stores and other fsspec file systems, through the file
// system's own methods.
//
// A claim is created with `pipe_file(key, data, mode="create")`, which s3fs
// sends as a PUT with `If-None-Match: *`: the service refuses the second
// create of a key (FileExistsError). Its holder refreshes it with
// `If-Match` on the version it wrote last, so a claim removed meanwhile is
// never made again. Releasing deletes the holder's own key only: each key has
// one owner for as long as it exists, so no conditional delete is needed
// (some services ignore `If-Match` on deletes).
//
// What a real service answers now and then:
// - A write whose answer was lost after the service carried it out is sent
//   again by the client stack, and the condition then refuses the second
//   one. A refused create or refresh therefore reads the claim back: the
//   owner token in it (random per claim) tells the caller's own claim from
//   another's, and the caller's own is adopted, with its current version.
// - 409 ConditionalRequestConflict (another conditional write of the key in
//   progress), 503 SlowDown, 500, time-outs and dropped connections pass.
//   Claim operations try them again with growing, jittered pauses for half
//   a lease; after that the claim counts as held by someone (the caller
//   waits, and looks again), never as an error of the caller's call.
//
// Some S3-compatible services ignore conditional headers, one or both. Each
// store is probed once per process, by its first claim: a create refused
// proves the service honours If-None-Match; a create that went through is
// sent again, and that second one must be refused. A replacement
// conditional on a version that never existed must be refused too
// (If-Match, which every refresh relies on). Where either is ignored, a
// warning says so once, the probing claim is removed, and the store is used
// without claims.
#include "claims/remote.hpp"

#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/fsspec.hpp"

#include <algorithm>
#include <ctime>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace css::claims {

using remote::fsspec_names;

namespace {

Ref bytes_of(const std::string& s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A factor in [0.5, 1.5), so that processes that failed together spread out.
double jitter() { return 0.5 + unit_random(); }

// --- what a failed request means --------------------------------------------------

enum class Failure {
    Transient,     // the service asked for a retry, or did not answer in time
    Precondition,  // a conditional write refused (412)
    Missing,       // no such key
    Other,
};

// The failure an error raised from the client stack's answer names (its
// `response`, as botocore's errors carry it). Other when it names none.
Failure answer_failure(PyObject* exc) {
    Ref response = Ref::steal(PyObject_GetAttr(exc, fsspec_names.response));
    if (!response) {
        PyErr_Clear();
        return Failure::Other;
    }
    if (!PyDict_Check(response.get())) return Failure::Other;
    std::string code;
    long status = 0;
    PyObject* error = nullptr;
    if (PyDict_GetItemStringRef(response.get(), "Error", &error) > 0 && PyDict_Check(error)) {
        PyObject* c = nullptr;
        if (PyDict_GetItemStringRef(error, "Code", &c) > 0) code = utf8_or(c, "");
        Py_XDECREF(c);
    }
    Py_XDECREF(error);
    PyObject* meta = nullptr;
    if (PyDict_GetItemStringRef(response.get(), "ResponseMetadata", &meta) > 0 &&
        PyDict_Check(meta)) {
        PyObject* s = nullptr;
        if (PyDict_GetItemStringRef(meta, "HTTPStatusCode", &s) > 0 && PyLong_Check(s))
            status = PyLong_AsLong(s);
        Py_XDECREF(s);
    }
    Py_XDECREF(meta);
    PyErr_Clear();
    static const char* const kTransient[] = {"ConditionalRequestConflict", "SlowDown",
                                             "ServiceUnavailable", "InternalError",
                                             "OperationAborted", "RequestTimeout",
                                             "Throttling", "ThrottlingException"};
    for (const char* t : kTransient)
        if (code == t) return Failure::Transient;
    if (code == "PreconditionFailed" || status == 412) return Failure::Precondition;
    if (code == "NoSuchKey" || status == 404) return Failure::Missing;
    if (status == 409 || status == 429 || status >= 500) return Failure::Transient;
    return Failure::Other;
}

// Whether `exc` is botocore's failure to get an answer at all (a connection
// dropped, a read that timed out), which the client stack raises as it is
// once its own retries are spent.
bool no_answer(PyObject* exc) {
    PyObject* module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "botocore.exceptions", &module) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref m = Ref::steal(module);
    Ref cls = Ref::steal(PyObject_GetAttrString(m.get(), "HTTPClientError"));
    int is = cls && PyType_Check(cls.get()) ? PyObject_IsInstance(exc, cls.get()) : 0;
    PyErr_Clear();
    return is > 0;
}

// The error set, classed; it stays set.
Failure failure() {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Failure::Missing;
    if (PyErr_ExceptionMatches(PyExc_TimeoutError) || PyErr_ExceptionMatches(PyExc_ConnectionError))
        return Failure::Transient;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Failure::Other;  // Ctrl-C, exit
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Failure f = Failure::Other;
    // The file system's own error, then what caused it (s3fs keeps botocore's
    // error, with the service's answer, as the cause).
    Ref e = raised;
    for (int depth = 0; e && depth < 4 && f == Failure::Other; ++depth) {
        f = answer_failure(e.get());
        if (f == Failure::Other && no_answer(e.get())) f = Failure::Transient;
        e = Ref::steal(PyException_GetCause(e.get()));
    }
    PyErr_SetRaisedException(raised.release());
    return f;
}

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
    Verdict after_failure() {
        if (failure() != Failure::Transient) return Fail;
        const auto now = Clock::now();
        if (now >= until_) return GiveUp;
        const double nap = std::min(pause_ * jitter(), seconds(until_ - now));
        pause_ = std::min(pause_ * 2, longest_);
        PyErr_Clear();
        timespec ts;
        ts.tv_sec = static_cast<time_t>(nap);
        ts.tv_nsec = static_cast<long>((nap - static_cast<double>(ts.tv_sec)) * 1e9);
        Py_BEGIN_ALLOW_THREADS
        nanosleep(&ts, nullptr);  // a signal ends it early, and is handled below
        Py_END_ALLOW_THREADS
        return PyErr_CheckSignals() == 0 ? Again : Fail;
    }

  private:
    Clock::time_point until_;
    double pause_ = 0.05;
    double longest_;
};

// --- requests ------------------------------------------------------------------------

// The code of fsspec's blocking fronts of coroutines (each front is a new
// function of the one code), kept for the process; nullptr when fsspec's
// asynchronous layer is not loaded.
PyObject* g_front_code = nullptr;

PyObject* front_code() {
    if (g_front_code) return g_front_code;
    PyObject* module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "fsspec.asyn", &module) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref asyn = Ref::steal(module);
    Ref factory = Ref::steal(PyObject_GetAttrString(asyn.get(), "sync_wrapper"));
    Ref made = factory && PyFunction_Check(factory.get()) ? call(factory.get(), {factory.get()})
                                                           : Ref{};
    if (!made || !PyFunction_Check(made.get())) {
        PyErr_Clear();
        return nullptr;
    }
    g_front_code = Py_NewRef(PyFunction_GetCode(made.get()));
    return g_front_code;
}

// Whether `fs.<method>` is fsspec's blocking front of the file system's own
// coroutine, which takes `timeout=` (and cancels the request when it runs
// out).
bool takes_timeout(PyObject* fs, PyObject* method) {
    PyObject* code = front_code();
    if (!code) return false;
    Ref own = Ref::steal(PyObject_GetAttr(fs, fsspec_names.__dict__));
    PyObject* front = nullptr;
    if (!own || !PyDict_Check(own.get()) ||
        PyDict_GetItemRef(own.get(), method, &front) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref f = Ref::steal(front);
    if (!PyFunction_Check(f.get()) || PyFunction_GetCode(f.get()) != code) return false;
    Ref wrapped = Ref::steal(PyObject_GetAttr(f.get(), fsspec_names.__wrapped__));
    const bool own_coroutine =
        wrapped && PyMethod_Check(wrapped.get()) && PyMethod_GET_SELF(wrapped.get()) == fs;
    PyErr_Clear();
    return own_coroutine;
}

// `fs.<method>(*args, **kw)`, with `timeout=` when `timeout` > 0.
Ref fs_call(PyObject* fs, PyObject* method, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kw, double timeout = 0) {
    Ref bound = getattr(fs, method);
    if (!bound) return {};
    Ref limit = timeout > 0 ? Ref::steal(PyFloat_FromDouble(timeout)) : Ref{};
    if (timeout > 0 && !limit) return {};
    std::vector<PyObject*> stack(args);
    const size_t nkw = kw.size() + (limit ? 1 : 0);
    Ref names = Ref::steal(nkw ? PyTuple_New(static_cast<Py_ssize_t>(nkw)) : nullptr);
    if (nkw && !names) return {};
    Py_ssize_t i = 0;
    for (const auto& [name, value] : kw) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(name));
        stack.push_back(value);
    }
    if (limit) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(fsspec_names.timeout));
        stack.push_back(limit.get());
    }
    return Ref::steal(PyObject_Vectorcall(bound.get(), stack.data(), args.size(), names.get()));
}

// Whether the refusal `exc` may answer a request sent more than once: the
// client stack tells how often it sent the one it answers (botocore's
// RetryAttempts, in the answer of the error that caused it); one it cannot
// tell about may have been.
bool maybe_sent_again(PyObject* exc) {
    Ref cause = Ref::steal(PyException_GetCause(exc));
    Ref response = cause ? Ref::steal(PyObject_GetAttr(cause.get(), fsspec_names.response)) : Ref{};
    PyObject* meta = nullptr;
    PyObject* attempts = nullptr;
    bool again = true;
    if (response && PyDict_Check(response.get()) &&
        PyDict_GetItemStringRef(response.get(), "ResponseMetadata", &meta) > 0 &&
        PyDict_Check(meta) && PyDict_GetItemStringRef(meta, "RetryAttempts", &attempts) > 0 &&
        PyLong_Check(attempts))
        again = PyLong_AsLong(attempts) != 0;
    Py_XDECREF(attempts);
    Py_XDECREF(meta);
    PyErr_Clear();
    return again;
}

// Creates `key` with `data` only if absent. 1 created (`out`: the call's
// answer), 0 it exists (`resent`, when given: the refusal may answer a
// request sent again after its first was carried out), -1 error set.
int create_key(PyObject* fs, PyObject* key, PyObject* data, Ref* out = nullptr,
               bool* resent = nullptr) {
    Ref pipe = getattr(fs, fsspec_names.pipe_file);
    if (!pipe) return -1;
    Ref r = call(pipe.get(), {key, data, fsspec_names.create}, fsspec_names.kw_create);
    if (r) {
        if (out) *out = std::move(r);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (resent) *resent = maybe_sent_again(exc.get());
        return 0;
    }
    return -1;
}

// Removes `key`; one that is not there is no error.
bool remove_key(PyObject* fs, PyObject* key) {
    Ref rm = getattr(fs, fsspec_names.rm_file);
    if (!rm) return false;
    if (call(rm.get(), {key})) return true;
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
    PyErr_Clear();
    return true;
}

// The bytes of `key` in one request (from offset 0: one GET, without asking
// for the size first), or Gone. Error: set.
Seen fetch(PyObject* fs, PyObject* key, std::string& bytes, double timeout = 0) {
    Ref r = fs_call(fs, fsspec_names.cat_file, {key}, {{fsspec_names.start, host_names.int0}}, timeout);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Seen::Error;
        PyErr_Clear();
        return Seen::Gone;
    }
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(r.get(), &p, &n) < 0) return Seen::Error;
    bytes.assign(p, static_cast<size_t>(n));
    return Seen::Present;
}

// The version tag of `key` as the service tells it now (None when it tells
// none), from a fresh look rather than a cached listing. Empty: error set.
Ref etag_of(PyObject* fs, PyObject* key, double timeout = 0) {
    Ref info = fs_call(fs, fsspec_names.info, {key}, {{fsspec_names.refresh, Py_True}}, timeout);
    if (!info) return {};
    PyObject* tag = nullptr;
    if (PyDict_Check(info.get())) {
        if (PyDict_GetItemStringRef(info.get(), "ETag", &tag) < 0) return {};
    }
    if (tag && PyUnicode_Check(tag) && PyUnicode_GET_LENGTH(tag) > 0) return Ref::steal(tag);
    Py_XDECREF(tag);
    return Ref::borrow(Py_None);
}

// The "ETag" of a write's answer, when it has one.
Ref etag_in(PyObject* answer) {
    PyObject* tag = nullptr;
    if (!answer || !PyDict_Check(answer) || PyDict_GetItemStringRef(answer, "ETag", &tag) < 0) {
        PyErr_Clear();
        return {};
    }
    if (tag && PyUnicode_Check(tag)) return Ref::steal(tag);
    Py_XDECREF(tag);
    return {};
}

// Whether the claim text `found` is the one whose text is `mine`: the same
// owner token, which is random per claim.
bool same_owner(const std::string& found, const std::string& mine) {
    const std::string owner = parse(mine).owner;
    return !owner.empty() && parse(found).owner == owner;
}

// --- probes ------------------------------------------------------------------------

// What this process knows of each store's conditional writes: not yet tried,
// creates shown exclusive (replacements not yet tried), both shown
// honoured, or shown not to be (the store then holds no claims).
enum class Creates { Untried, CreatesShown, Exclusive, NotExclusive };
std::unordered_map<std::string, Creates> g_probed;

// Said once per process and store, which is then used without claims.
bool without_claims(const std::string& where, const char* why) {
    g_probed[where] = Creates::NotExclusive;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "the store %s cannot hold claims (%s); simulations missing from it "
                            "are computed without claims, so workers that miss the same one at "
                            "the same time all compute it",
                            where.c_str(), why) == 0;
}

// An ETag no version ever has (S3's are an MD5 in quotes).
constexpr const char* kNoSuchVersion = "\"00000000000000000000000000000000\"";

class RemoteSite final : public Site {
  public:
    RemoteSite(PyObject* fs, PyObject* type_key, PyObject* result_name, PyObject* stem,
               std::string where)
        : fs_(Ref::borrow(fs)),
          type_key_(utf8_or(type_key, "")),
          result_key_(type_key_ + "/" + utf8_or(result_name, "")),
          stem_(utf8_or(stem, "")),
          where_(std::move(where)) {}

    std::string describe(int g) const override { return type_key_ + "/" + claim_name(stem_, g); }
    Ref key(int g) const {
        std::string k = describe(g);
        return Ref::steal(PyUnicode_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size())));
    }

    Made create(int g, const Content& content, std::shared_ptr<Held>& held) override {
        const double lease = parse(content.text()).lease;
        if (lease > 0) lease_ = lease;
        Ref k = key(g);
        Ref data = bytes_of(content.text());
        if (!k || !data) return Made::Error;
        Ref answer;
        int r = -1;
        bool resent = false;  // a request of this create may have gone through unanswered
        for (Retries retries(lease_);; resent = true) {
            bool again = false;
            r = create_key(fs_.get(), k.get(), data.get(), &answer, &again);
            if (r < 0 && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
                // No bucket yet: made as the first save would make it.
                PyErr_Clear();
                if (!make_type_dir()) return Made::Error;
                r = create_key(fs_.get(), k.get(), data.get(), &answer, &again);
            }
            resent = resent || again;
            if (r >= 0) break;
            const Retries::Verdict v = retries.after_failure();
            if (v == Retries::Again) continue;
            if (v == Retries::GiveUp) {  // as held by someone: the caller looks again
                PyErr_Clear();
                return Made::Exists;
            }
            break;
        }
        Creates& known = g_probed[where_];
        const bool probing = known == Creates::Untried;
        if (r < 0) {
            // A file system that does not know exclusive creates at all.
            if (!probing || !(PyErr_ExceptionMatches(PyExc_TypeError) ||
                              PyErr_ExceptionMatches(PyExc_NotImplementedError) ||
                              PyErr_ExceptionMatches(PyExc_ValueError)))
                return Made::Error;
            PyErr_Clear();
            return without_claims(where_, "its file system refuses exclusive creates")
                       ? Made::Unsupported
                       : Made::Error;
        }
        Ref etag = etag_in(answer.get());
        if (r == 0) {
            // Refused: someone else's claim, or this caller's own, created
            // by a first request whose answer was lost and refused when the
            // client stack sent it again.
            if (probing) known = Creates::CreatesShown;  // refused: the header counts
            if (!resent) return Made::Exists;  // refused at the first request
            int own = own_claim(k.get(), content, etag);
            if (own < 0) return Made::Error;
            if (own == 0) return Made::Exists;
        } else if (probing) {
            Made verdict = probe_create(k.get(), data.get());
            if (verdict != Made::Won) return verdict;
        }
        // Replacements are conditional only where the service tells versions.
        if (g_probed[where_] != Creates::Exclusive && etag) {
            Made verdict = probe_replace(k.get(), data.get());
            if (verdict != Made::Won) return verdict;
        }
        g_probed[where_] = Creates::Exclusive;
        held = std::make_shared<Held>();
        held->pid = getpid();
        held->generation = g;
        held->content = content;
        held->remote = true;
        held->interp = PyInterpreterState_Get();
        held->fs = Py_NewRef(fs_.get());
        held->key = k.release();
        held->etag = etag.release();
        return Made::Won;
    }

    Seen read(int g, std::string& bytes) override {
        Ref k = key(g);
        if (!k) return Seen::Error;
        Seen s = read_key(k.get(), bytes);
        if (s != Seen::Error || !PyErr_ExceptionMatches(PyExc_Exception) ||
            failure() != Failure::Transient)
            return s;
        // Held, as far as anyone can tell: text that differs from every
        // earlier look, so that a waiter's judgement of staleness starts
        // over instead of counting a silent service against the holder.
        PyErr_Clear();
        bytes = "(unreadable: the service did not answer, look " + std::to_string(++unread_) + ")";
        return Seen::Present;
    }

    int result_present() override {
        Ref k = Ref::steal(PyUnicode_FromStringAndSize(
            result_key_.data(), static_cast<Py_ssize_t>(result_key_.size())));
        if (!k) return -1;
        for (Retries retries(lease_);;) {
            Ref r = fs_call(fs_.get(), fsspec_names.cat_file, {k.get()}, {{fsspec_names.start, host_names.int0}, {fsspec_names.end, host_names.int1}});
            if (r) return 1;
            if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
                PyErr_Clear();
                return 0;
            }
            switch (retries.after_failure()) {
                case Retries::Again: continue;
                case Retries::GiveUp:
                    // The holder of the claim computes it: at worst again.
                    PyErr_Clear();
                    return 0;
                case Retries::Fail: return -1;
            }
        }
    }

    bool release(const std::shared_ptr<Held>& held) override {
        Py_BEGIN_ALLOW_THREADS
        let_go(held);
        Py_END_ALLOW_THREADS
        bool ok = true;
        if (held->pid == getpid() && held->key) {
            const int g = held->generation;
            if (held->lease > 0) lease_ = held->lease;
            // A holder that may have been judged stale asks whether a waiter
            // took over before it removes anything; one that cannot tell
            // leaves its claim to be judged stale.
            bool superseded = false;
            if (may_have_been_taken_over(*held)) {
                std::string bytes;
                Ref above = key(g + 1);
                Seen s = above ? read_key(above.get(), bytes) : Seen::Error;
                if (s == Seen::Error) ok = false;
                superseded = s == Seen::Present;
                // A successor done already has removed this generation, and
                // its name may be a newcomer's claim by now.
                if (ok && !superseded) {
                    Seen own = read_key(held->key, bytes);
                    if (own == Seen::Error) ok = false;
                    superseded = own == Seen::Gone || parse(bytes).owner != held->content.owner();
                }
            }
            if (ok && !superseded) {
                ok = remove_retrying(held->key);
                for (int j = g - 1; ok && j >= 0; --j) {
                    Ref k = key(j);
                    ok = k && remove_retrying(k.get());
                }
            }
        }
        Py_CLEAR(held->fs);
        Py_CLEAR(held->key);
        Py_CLEAR(held->etag);
        return ok;
    }

  private:
    bool make_type_dir() {
        Ref makedirs = Ref::steal(PyObject_GetAttrString(fs_.get(), "makedirs"));
        Ref dir = Ref::steal(PyUnicode_FromStringAndSize(
            type_key_.data(), static_cast<Py_ssize_t>(type_key_.size())));
        Ref kw = Ref::steal(Py_BuildValue("(s)", "exist_ok"));
        return makedirs && dir && kw && call(makedirs.get(), {dir.get(), Py_True}, kw.get());
    }

    // The bytes of `key`, transient failures tried again; Error: set (a
    // transient one when time ran out).
    Seen read_key(PyObject* k, std::string& bytes) {
        for (Retries retries(lease_);;) {
            Seen s = fetch(fs_.get(), k, bytes);
            if (s != Seen::Error || retries.after_failure() != Retries::Again) return s;
        }
    }

    bool remove_retrying(PyObject* k) {
        for (Retries retries(lease_);;) {
            if (remove_key(fs_.get(), k)) return true;
            if (retries.after_failure() != Retries::Again) return false;
        }
    }

    // Whether the claim at `k` is the caller's own (`content`): 1, with
    // `etag` its current version where the service tells one; 0 someone
    // else's, gone, or unreadable for now (held, as far as the caller can
    // tell); -1 error set.
    int own_claim(PyObject* k, const Content& content, Ref& etag) {
        std::string found;
        Seen s = read_key(k, found);
        if (s == Seen::Error) {
            if (failure() != Failure::Transient) return -1;
            PyErr_Clear();
            return 0;
        }
        if (s == Seen::Gone || !same_owner(found, content.text())) return 0;
        for (Retries retries(lease_);;) {
            etag = etag_of(fs_.get(), k);
            if (etag) break;
            const Retries::Verdict v = retries.after_failure();
            if (v == Retries::Again) continue;
            if (v == Retries::Fail && failure() != Failure::Missing) return -1;
            // Gone meanwhile, or no version to be had: refreshed without one.
            PyErr_Clear();
            break;
        }
        if (etag.is_none()) etag = Ref{};
        return 1;
    }

    // The probing claim is not kept: removed, and `outcome` passed on (an
    // error set stays set, unless the removal fails too).
    Made discard_probe(PyObject* k, Made outcome) {
        Ref pending = PyErr_Occurred() ? Ref::steal(PyErr_GetRaisedException()) : Ref{};
        if (!remove_retrying(k)) {
            // Undecided, and the service still failing: the claim stays, is
            // never refreshed, and is judged stale after a lease.
            if (!pending && outcome != Made::Exists) return Made::Error;
            PyErr_Clear();
        }
        if (pending) PyErr_SetRaisedException(pending.release());
        return outcome;
    }

    // The first create went through: a second must be refused. Won when it
    // was; otherwise the claim is removed and the answer says why.
    Made probe_create(PyObject* k, PyObject* data) {
        for (Retries retries(lease_);;) {
            int again = create_key(fs_.get(), k, data);
            if (again == 0) {
                g_probed[where_] = Creates::CreatesShown;
                return Made::Won;
            }
            if (again > 0) {
                if (!without_claims(where_, "a second create of one key succeeded: the service "
                                            "ignores conditional writes"))
                    return discard_probe(k, Made::Error);
                return discard_probe(k, Made::Unsupported);
            }
            switch (retries.after_failure()) {
                case Retries::Again: continue;
                case Retries::GiveUp:  // undecided: the next claim probes again
                    PyErr_Clear();
                    return discard_probe(k, Made::Exists);
                case Retries::Fail: return discard_probe(k, Made::Error);
            }
        }
    }

    // Refreshes replace the claim only if it is still the version written
    // last: a replacement conditional on a version that never existed must
    // be refused. The probe writes the claim's own content, so a service
    // that ignores the condition changes nothing.
    Made probe_replace(PyObject* k, PyObject* data) {
        Ref wrong = Ref::steal(PyUnicode_FromString(kNoSuchVersion));
        if (!wrong) return discard_probe(k, Made::Error);
        for (Retries retries(lease_);;) {
            Ref r = fs_call(fs_.get(), fsspec_names.pipe_file, {k, data}, {{fsspec_names.IfMatch, wrong.get()}});
            if (r) {
                if (!without_claims(where_, "a replacement conditional on a version that never "
                                            "existed succeeded: the service ignores conditional "
                                            "writes"))
                    return discard_probe(k, Made::Error);
                return discard_probe(k, Made::Unsupported);
            }
            const Failure f = failure();
            if (f == Failure::Precondition) {
                PyErr_Clear();
                return Made::Won;
            }
            switch (retries.after_failure()) {
                case Retries::Again: continue;
                case Retries::GiveUp:
                    PyErr_Clear();
                    return discard_probe(k, Made::Exists);
                case Retries::Fail: break;
            }
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return discard_probe(k, Made::Error);
            // Refused in some other way: refreshes would fail the same.
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref text = Ref::steal(PyObject_Str(exc.get()));
            std::string why = "its conditional replacements fail: " +
                              (text ? utf8_or(text.get(), "") : std::string("?"));
            PyErr_Clear();
            if (!without_claims(where_, why.c_str())) return discard_probe(k, Made::Error);
            return discard_probe(k, Made::Unsupported);
        }
    }

    Ref fs_;
    std::string type_key_, result_key_, stem_, where_;
    double lease_ = 60.0;
    unsigned long long unread_ = 0;
};

// Whether `fs.pipe_file` is fsspec's generic one, which tests for the file
// and then writes it: two steps, so two creators can both succeed.
int generic_pipe_file(PyObject* fs) {
    Ref spec = Ref::steal(PyImport_ImportModule("fsspec.spec"));
    if (!spec) return -1;
    Ref base = Ref::steal(PyObject_GetAttrString(spec.get(), "AbstractFileSystem"));
    if (!base) return -1;
    Ref generic = getattr(base.get(), fsspec_names.pipe_file);
    Ref bound = getattr(fs, fsspec_names.pipe_file);
    if (!generic || !bound) return -1;
    Ref func = Ref::steal(PyObject_GetAttrString(bound.get(), "__func__"));
    if (!func) {
        PyErr_Clear();
        return 0;
    }
    return func.get() == generic.get();
}

// A refresh's requests together take at most a fifth of the lease, so that
// one that hangs leaves time for the next before a waiter's judgement.
constexpr double kRefreshShare = 0.2;

// The refresh of a claim without a version to condition on (a file system
// that tells none): rewritten only while it is there.
Refreshed refresh_unversioned(Held& h, PyObject* fs, PyObject* key, PyObject* data) {
    Ref exists = Ref::steal(PyObject_CallMethod(fs, "exists", "O", key));
    int t = exists ? truth(exists.get()) : -1;
    if (t < 0) {
        PyErr_Clear();
        return Refreshed::Failed;
    }
    if (t == 0) return Refreshed::Lost;
    if (h.released) return Refreshed::Done;
    if (!fs_call(fs, fsspec_names.pipe_file, {key, data}, {})) {
        PyErr_Clear();
        return Refreshed::Failed;
    }
    std::lock_guard<std::mutex> lock(h.mu);
    signed_life(h);
    return Refreshed::Done;
}

}  // namespace

Refreshed refresh_remote(Held& h) {
    if (h.released || !h.fs || !h.key) return Refreshed::Done;
    if (!remote::init_fsspec_names()) {
        PyErr_Clear();
        return Refreshed::Failed;
    }
    Ref fs = Ref::borrow(h.fs), key = Ref::borrow(h.key), etag = Ref::borrow(h.etag);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        h.content.beat();
        text = h.content.text();
    }
    Ref data = bytes_of(text);
    if (!data) {
        PyErr_Clear();
        return Refreshed::Failed;
    }
    if (!etag) return refresh_unversioned(h, fs.get(), key.get(), data.get());
    const bool timed = takes_timeout(fs.get(), fsspec_names.pipe_file);
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(h.lease * kRefreshShare));
    auto left = [&] { return timed ? std::max(seconds(until - Clock::now()), 0.001) : 0.0; };
    auto failed = [] {
        const Failure f = failure();
        PyErr_Clear();
        return f == Failure::Missing ? Refreshed::Lost : Refreshed::Failed;
    };
    // Replaces only the version this holder wrote: a claim removed meanwhile
    // (released, or cleaned up after a takeover) is not made again.
    Ref out = fs_call(fs.get(), fsspec_names.pipe_file, {key.get(), data.get()},
                      {{fsspec_names.IfMatch, etag.get()}}, left());
    if (!out) {
        if (failure() != Failure::Precondition) return failed();
        PyErr_Clear();
        // A version this holder does not know: its own earlier refresh,
        // carried out with the answer lost (or after its time ran out), or
        // the claim is someone else's now. The owner token tells.
        std::string found;
        Seen s = fetch(fs.get(), key.get(), found, left());
        if (s == Seen::Error) return failed();
        if (s == Seen::Gone || !same_owner(found, text)) return Refreshed::Lost;
        Ref current = etag_of(fs.get(), key.get(), left());
        if (!current) return failed();
        if (current.is_none()) return Refreshed::Failed;
        if (h.released) return Refreshed::Done;
        Py_XSETREF(h.etag, Ref(current).release());
        out = fs_call(fs.get(), fsspec_names.pipe_file, {key.get(), data.get()},
                      {{fsspec_names.IfMatch, current.get()}}, left());
        if (!out) return failed();
    }
    Ref tag = etag_in(out.get());
    if (tag && !h.released) Py_XSETREF(h.etag, tag.release());
    std::lock_guard<std::mutex> lock(h.mu);
    signed_life(h);
    return Refreshed::Done;
}

std::unique_ptr<Site> remote_site(PyObject* root, PyObject* fs, PyObject* type_key,
                                  PyObject* result_name, PyObject* stem) {
    if (!remote::init_fsspec_names()) return nullptr;
    Ref root_text = Ref::steal(PyObject_Str(root));
    if (!root_text) return nullptr;
    return std::make_unique<RemoteSite>(fs, type_key, result_name, stem,
                                        utf8_or(root_text.get(), ""));
}

Outcome remote_supported(PyObject* root, PyObject* fs) {
    if (!remote::init_fsspec_names()) return Outcome::Error;
    Ref root_text = Ref::steal(PyObject_Str(root));
    if (!root_text) return Outcome::Error;
    const std::string where = utf8_or(root_text.get(), "");
    auto known = g_probed.find(where);
    if (known != g_probed.end())
        return known->second == Creates::NotExclusive ? Outcome::Fallback : Outcome::Done;
    int generic = generic_pipe_file(fs);
    if (generic < 0) return Outcome::Error;
    if (!generic) {
        g_probed.emplace(where, Creates::Untried);  // the first claim's create tells
        return Outcome::Done;
    }
    if (!without_claims(where, "its file system tests for a file and then writes it, in two steps"))
        return Outcome::Error;
    return Outcome::Fallback;
}

}  // namespace css::claims
