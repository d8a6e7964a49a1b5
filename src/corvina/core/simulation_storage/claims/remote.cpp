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

#include "claims/requests.hpp"
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

}  // namespace

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
