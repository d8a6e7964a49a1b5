// The heartbeat of the claims this process holds: one thread of its own,
// which rewrites each claim about every quarter of its lease, and ends two
// seconds after the last claim was released.
//
// A local claim is rewritten with plain system calls and no interpreter
// lock, so a solver that keeps the lock for an hour keeps its claim. An
// object-store claim needs the interpreter for its request; the thread takes
// the lock for that and never holds its own locks while waiting for it.
//
// A forked child holds none of its parent's claims: the fork handler gives
// the child a fresh, empty state (the parent's may be locked by a thread that
// does not exist in the child) and closes its copies of the claim files.
#include "claims/claim.hpp"

#include "frame/host.hpp"

#include <algorithm>
#include <condition_variable>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

namespace css::claims {

namespace {

struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Held>> held;
    bool running = false;
    // When the thread wakes next, so that a claim that needs no earlier beat
    // is added without waking it (a wake-up costs about as much as a claim).
    Clock::time_point wake_at = Clock::time_point::min();
    PyThreadState* tstate = nullptr;  // the thread's own, for object-store refreshes
    // The interpreter is exiting: no more object-store refreshes, whose
    // thread state is about to be freed. `remote_busy`: one is under way.
    bool exiting = false;
    bool remote_busy = false;
    std::condition_variable idle;
};

// Never destroyed: the thread may still run while the process exits.
State* g_state = new State;
std::once_flag g_atfork;
bool g_exit_hook = false;

// Called by `atexit` (with the interpreter), before the interpreter frees
// its thread states: waits for an object-store refresh under way, and
// allows no more.
PyObject* stop_refreshes(PyObject*, PyObject*) {
    State* s = g_state;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(s->mu);
    s->exiting = true;
    s->idle.wait(lock, [s] { return !s->remote_busy; });
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef g_stop_refreshes = {"_stop_claim_refreshes", stop_refreshes, METH_NOARGS, nullptr};

bool register_exit_hook() {
    if (g_exit_hook) return true;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref hook = Ref::steal(PyCFunction_New(&g_stop_refreshes, nullptr));
    if (!hook) return false;
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!done) return false;
    g_exit_hook = true;
    return true;
}

void before_fork() { g_state->mu.lock(); }
void after_fork_parent() { g_state->mu.unlock(); }
void after_fork_child() {
    State* inherited = g_state;
    for (const auto& h : inherited->held) {
        h->released = true;
        if (h->fd >= 0) {
            close(h->fd);
            h->fd = -1;
        }
    }
    // The inherited state stays as it is (leaked): its lock is held, and its
    // condition may name a thread that only the parent has.
    g_state = new State;
}

constexpr auto kIdleEnd = std::chrono::seconds(2);

std::chrono::nanoseconds interval_of(const Held& h) {
    double seconds = std::max(h.lease / 4.0, 0.005);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
}

void beat_local(Held& h) {
    std::lock_guard<std::mutex> lock(h.mu);
    if (h.released || h.fd < 0) return;
    h.content.beat();
    const std::string& t = h.content.text();
    ssize_t w = pwrite(h.fd, t.data(), t.size(), 0);
    if (h.flush && w >= 0) fdatasync(h.fd);
    if (w == static_cast<ssize_t>(t.size())) signed_life(h);
}

// With the interpreter: one refresh of an object-store claim. A refresh that
// fails (the service, or a claim no longer there) is simply not a sign of
// life; the next one tries again.
void refresh_remote(Held& h) {
    if (h.released || !h.fs || !h.key) return;
    Ref fs = Ref::borrow(h.fs), key = Ref::borrow(h.key), etag = Ref::borrow(h.etag);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        h.content.beat();
        text = h.content.text();
    }
    Ref data = Ref::steal(
        PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!data) {
        PyErr_Clear();
        return;
    }
    Ref pipe = Ref::steal(PyObject_GetAttrString(fs.get(), "pipe_file"));
    if (!pipe) {
        PyErr_Clear();
        return;
    }
    Ref out;
    if (etag) {
        // Replaces only the version this holder wrote: a claim removed
        // meanwhile (released, or cleaned up after a takeover) is not made
        // again.
        Ref kw = Ref::steal(Py_BuildValue("(s)", "IfMatch"));
        if (kw) out = call(pipe.get(), {key.get(), data.get(), etag.get()}, kw.get());
    } else {
        Ref exists = Ref::steal(PyObject_CallMethod(fs.get(), "exists", "O", key.get()));
        int t = exists ? truth(exists.get()) : -1;
        if (t > 0 && !h.released) out = call(pipe.get(), {key.get(), data.get()});
    }
    if (!out) {
        PyErr_Clear();
        return;
    }
    if (etag && PyDict_Check(out.get())) {
        PyObject* tag = nullptr;
        if (PyDict_GetItemStringRef(out.get(), "ETag", &tag) > 0 && !h.released)
            Py_XSETREF(h.etag, tag);
        else
            Py_XDECREF(tag);
        PyErr_Clear();
    }
    std::lock_guard<std::mutex> lock(h.mu);
    signed_life(h);
}

void beat_remote(State* s, const std::vector<std::shared_ptr<Held>>& due) {
    if (Py_IsFinalizing() || due.empty()) return;
    if (!s->tstate) {
        s->tstate = PyThreadState_New(due.front()->interp);
        if (!s->tstate) return;
    }
    PyEval_AcquireThread(s->tstate);
    for (const auto& h : due) refresh_remote(*h);
    PyEval_ReleaseThread(s->tstate);
}

// Ends the thread: its thread state goes with it (which needs the
// interpreter, unless the interpreter is going away anyway).
void end(State* s, std::unique_lock<std::mutex>& lock) {
    s->running = false;
    PyThreadState* tstate = std::exchange(s->tstate, nullptr);
    const bool clean = tstate && !s->exiting;
    if (clean) s->remote_busy = true;  // the exit hook waits for this too
    lock.unlock();
    if (clean && !Py_IsFinalizing()) {
        PyEval_AcquireThread(tstate);
        PyThreadState_Clear(tstate);
        PyThreadState_DeleteCurrent();
    }
    if (clean) {
        lock.lock();
        s->remote_busy = false;
        s->idle.notify_all();
        lock.unlock();
    }
}

void run(State* s) {
    std::unique_lock<std::mutex> lock(s->mu);
    std::vector<std::shared_ptr<Held>> local_due, remote_due;
    Clock::time_point idle_since = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (s->held.empty()) {
            // With nothing held for a while, the thread ends: a process
            // with a thread of ours is warned about at every fork.
            if (now - idle_since >= kIdleEnd) return end(s, lock);
        } else {
            idle_since = now;
        }
        // It looks at least every second, so that claims with leases of
        // four seconds or more never need to wake it.
        auto next = now + std::chrono::seconds(1);
        for (const auto& h : s->held) next = std::min(next, h->next_beat);
        if (next > now) {
            s->wake_at = next;
            s->cv.wait_until(lock, next);
            continue;
        }
        local_due.clear();
        remote_due.clear();
        for (const auto& h : s->held) {
            if (h->next_beat > now) continue;
            h->next_beat = now + interval_of(*h);
            if (!h->remote)
                local_due.push_back(h);
            else if (!s->exiting)
                remote_due.push_back(h);
        }
        s->remote_busy = !remote_due.empty();
        lock.unlock();
        for (const auto& h : local_due) beat_local(*h);
        beat_remote(s, remote_due);
        local_due.clear();
        remote_due.clear();  // dropped without the interpreter: Held owns no references
        lock.lock();
        if (s->remote_busy) {
            s->remote_busy = false;
            s->idle.notify_all();
        }
    }
}

}  // namespace

Held::~Held() {
    if (fd >= 0) close(fd);
    // Python references are cleared by the holder's release (with the
    // interpreter); one left here belongs to a claim inherited over a fork,
    // and is left alone.
}

void signed_life(Held& h) {
    const auto now = Clock::now();
    if (h.last_beat != Clock::time_point{}) {
        double gap = std::chrono::duration<double>(now - h.last_beat).count();
        h.longest_gap = std::max(h.longest_gap, gap);
    }
    h.last_beat = now;
}

bool may_have_been_taken_over(Held& h) {
    std::lock_guard<std::mutex> lock(h.mu);
    const double since = std::chrono::duration<double>(Clock::now() - h.last_beat).count();
    return std::max(h.longest_gap, since) >= 0.75 * h.lease;
}

bool keep_alive(const std::shared_ptr<Held>& held) {
    std::call_once(g_atfork, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
    if (held->remote && !register_exit_hook()) return false;
    held->last_beat = Clock::now();
    held->next_beat = held->last_beat + interval_of(*held);
    State* s = g_state;
    std::lock_guard<std::mutex> lock(s->mu);
    s->held.push_back(held);
    if (!s->running) {
        // Without a thread the claim still stands, only without heartbeats:
        // waiters then take it over after one lease.
        try {
            std::thread(run, s).detach();
            s->running = true;
        } catch (const std::system_error&) {
        }
    } else if (held->next_beat < s->wake_at) {
        s->cv.notify_one();
    }
    return true;
}

void let_go(const std::shared_ptr<Held>& held) {
    // A claim inherited over a fork is not this process's to stop; its lock
    // may have been held by the parent's heartbeat at the fork.
    if (held->pid != getpid()) return;
    State* s = g_state;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        auto it = std::find(s->held.begin(), s->held.end(), held);
        if (it != s->held.end()) s->held.erase(it);
    }
    std::lock_guard<std::mutex> lock(held->mu);
    held->released = true;
}

}  // namespace css::claims
