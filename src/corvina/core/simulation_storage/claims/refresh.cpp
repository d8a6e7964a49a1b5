// The heartbeat's refresh of an object-store claim (see remote.hpp):
// rewritten on the condition that it is still the version its holder wrote
// last, and adopted again when the refusal answers the holder's own earlier
// refresh.
#include "claims/remote.hpp"

#include "claims/requests.hpp"
#include "frame/host.hpp"
#include "remote/fsspec.hpp"

#include <algorithm>
#include <mutex>
#include <string>

namespace css::claims {

using remote::fsspec_names;

namespace {

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

}  // namespace css::claims
