// The heartbeat of the claims this process holds: two threads of their own,
// one for local claims and one for object-store claims, which rewrite each
// claim about every quarter of its lease, and end two seconds after their
// last claim was released.
//
// A local claim is rewritten with plain system calls and no interpreter
// lock, so a solver that keeps the lock for an hour keeps its claim. An
// object-store claim needs the interpreter for its request; its thread takes
// the lock for that and never holds its own locks while waiting for it. The
// two never wait for each other: a refresh stuck behind the interpreter lock
// or a slow service delays no local claim. A refresh's requests take a fifth
// of the lease at most (remote.cpp); one that fails is tried again soon.
//
// A forked child holds none of its parent's claims: the fork handler gives
// the child a fresh, empty state (the parent's may be locked by a thread that
// does not exist in the child) and closes its copies of the claim files.
#include "claims/remote.hpp"

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

// The claims one thread beats.
struct Beats {
    std::condition_variable cv;
    std::vector<std::shared_ptr<Held>> held;
    bool running = false;
    // When the thread wakes next, so that a claim that needs no earlier beat
    // is added without waking it (a wake-up costs about as much as a claim).
    Clock::time_point wake_at = Clock::time_point::min();
};

struct State {
    std::mutex mu;  // guards both threads' lists and the fields below
    Beats local, remote;
    PyThreadState* tstate = nullptr;  // the object-store thread's own
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
    for (Beats* b : {&inherited->local, &inherited->remote}) {
        for (const auto& h : b->held) {
            h->released = true;
            if (h->fd >= 0) {
                close(h->fd);
                h->fd = -1;
            }
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

// A refresh that failed is tried again after about this share of the
// interval, well before a waiter could judge the claim stale.
constexpr double kRetryShare = 0.25;

// With the interpreter: one refresh of each object-store claim due. Lost
// claims go into `lost`, failed ones into `failed`.
void beat_remote(State* s, const std::vector<std::shared_ptr<Held>>& due,
                 std::vector<std::shared_ptr<Held>>& failed,
                 std::vector<std::shared_ptr<Held>>& lost) {
    if (Py_IsFinalizing() || due.empty()) return;
    if (!s->tstate) {
        s->tstate = PyThreadState_New(due.front()->interp);
        if (!s->tstate) return;
    }
    PyEval_AcquireThread(s->tstate);
    for (const auto& h : due) {
        switch (refresh_remote(*h)) {
            case Refreshed::Done: break;
            case Refreshed::Failed: failed.push_back(h); break;
            case Refreshed::Lost: lost.push_back(h); break;
        }
    }
    PyEval_ReleaseThread(s->tstate);
}

// Ends the object-store thread: its thread state goes with it (which needs
// the interpreter, unless the interpreter is going away anyway).
void end_remote(State* s, std::unique_lock<std::mutex>& lock) {
    s->remote.running = false;
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

void drop(std::vector<std::shared_ptr<Held>>& from, const std::shared_ptr<Held>& h) {
    auto it = std::find(from.begin(), from.end(), h);
    if (it != from.end()) from.erase(it);
}

// One thread's loop: the local claims' (`remote` false) or the object-store
// claims'.
void run(State* s, bool remote) {
    Beats& b = remote ? s->remote : s->local;
    std::unique_lock<std::mutex> lock(s->mu);
    std::vector<std::shared_ptr<Held>> due, failed, lost;
    Clock::time_point idle_since = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (b.held.empty()) {
            // With nothing held for a while, the thread ends: a process
            // with a thread of ours is warned about at every fork.
            if (now - idle_since >= kIdleEnd) {
                if (remote) return end_remote(s, lock);
                b.running = false;
                return;
            }
        } else {
            idle_since = now;
        }
        // It looks at least every second, so that claims with leases of
        // four seconds or more never need to wake it.
        auto next = now + std::chrono::seconds(1);
        for (const auto& h : b.held) next = std::min(next, h->next_beat);
        if (next > now) {
            b.wake_at = next;
            b.cv.wait_until(lock, next);
            continue;
        }
        due.clear();
        for (const auto& h : b.held) {
            if (h->next_beat > now) continue;
            h->next_beat = now + interval_of(*h);
            if (!remote || !s->exiting) due.push_back(h);
        }
        if (remote) s->remote_busy = !due.empty();
        lock.unlock();
        if (remote)
            beat_remote(s, due, failed, lost);
        else
            for (const auto& h : due) beat_local(*h);
        due.clear();  // dropped without the interpreter: Held owns no references
        lock.lock();
        for (const auto& h : failed) {
            const auto soon = std::chrono::duration_cast<Clock::duration>(interval_of(*h) * kRetryShare);
            h->next_beat = std::min(h->next_beat, Clock::now() + soon);
        }
        for (const auto& h : lost) drop(b.held, h);
        failed.clear();
        lost.clear();
        if (remote && s->remote_busy) {
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
    Beats& b = held->remote ? s->remote : s->local;
    b.held.push_back(held);
    if (!b.running) {
        // Without a thread the claim still stands, only without heartbeats:
        // waiters then take it over after one lease.
        try {
            std::thread(run, s, held->remote).detach();
            b.running = true;
        } catch (const std::system_error&) {
        }
    } else if (held->next_beat < b.wake_at) {
        b.cv.notify_one();
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
        drop(held->remote ? s->remote.held : s->local.held, held);
    }
    std::lock_guard<std::mutex> lock(held->mu);
    held->released = true;
}

}  // namespace css::claims
