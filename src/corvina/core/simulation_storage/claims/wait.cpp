// The claimed path and the wait: a miss claims the simulation; the winner
// looks once more for the result (another worker may have finished between
// the lookup and the claim), computes, saves and releases. A waiter polls
// the claim it found, with backoff and jitter: the claim gone means a result
// to return, or a claim to try again; a claim whose content did not change
// for one lease, on the waiter's own clock, is taken over by creating the
// next generation, which only one waiter can. So is, at once, a claim whose
// holder ran on this machine and has died (claim.hpp).
//
// On an object store every look is a request, so a waiter there starts at a
// quarter second and doubles its pause up to two seconds (a quarter lease at
// most): about one request a second over the first seconds of a wait, one
// every two seconds after that.
#include "claims/compute.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>

namespace css::claims {

double unit_random() {
    // splitmix64, seeded per thread by the time and the process.
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
    return static_cast<double>(z >> 11) / 9007199254740992.0;
}

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

namespace {

// A factor in [0.75, 1.25), so that waiters started together spread out.
double jitter() { return 0.75 + 0.5 * unit_random(); }

// Releases after the work is done: an error of the release does not hide the
// work's own outcome (an error already set, or a record saved, which then
// comes with a warning that the claim stays until it is judged stale).
Ref finish(Site& site, const std::shared_ptr<Held>& held, Ref outcome) {
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

Ref run_claimed(const Call& c, Site& site, const std::shared_ptr<Held>& held) {
    held->lease = c.lease;
    if (!keep_alive(held)) return finish(site, held, Ref{});
    // Another worker may have saved the result between the lookup and the claim.
    int present = site.result_present();
    if (present < 0) return finish(site, held, Ref{});
    if (present) {
        Ref record = load(c);
        if (!record) return finish(site, held, Ref{});
        if (!record.is_none()) return finish(site, held, std::move(record));
    }
    const Holding under{.site = site, .held = held};
    return finish(site, held, compute_and_save(c, &under));
}

// A number of seconds as a message shows it.
std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", s);
    return buf;
}

// The holder, for a waiter that gives up.
void raise_timeout(const Call& c, const Site& site, int generation,
                   const std::string& bytes, double waited, double seen_ago) {
    Parsed p = parse(bytes);
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

// One waiter's view of the claims it finds: the generation it tries, the
// pause between looks (backoff with jitter), and what it saw of the claim
// it watches, and since when.
struct Waiter {
    Waiter(const Call& call, Site& claims, double most, bool object_store)
        : c(call), site(claims), wait(most), remote(object_store),
          pause(remote ? 0.25 : 0.002),
          growth(remote ? 2.0 : 1.5),
          longest_pause(remote ? std::min(2.0, call.lease / 4) : std::min(0.1, call.lease / 8)) {}

    const Call& c;
    Site& site;
    const double wait;
    const bool remote;
    const Clock::time_point start = Clock::now();
    double pause;
    const double growth;
    const double longest_pause;
    int gen = 0;
    int idle_rounds = 0;  // claims found gone with no result, in a row
    int watched = -1;
    std::string seen;
    Parsed holder;  // what `seen` says of its holder
    Clock::time_point seen_since{};

    void back_off() { pause = std::min(pause * growth, longest_pause); }

    double lease_of(const std::string& bytes) const {
        Parsed p = parse(bytes);
        return p.lease > 0 ? p.lease : c.lease;
    }

    // Held by someone: the highest generation is the live one. On an object
    // store the look upward costs a request each time while takeovers are
    // rare, so there the generation found is watched, and a live successor
    // shows itself when that one, judged stale, cannot be taken over.
    Seen read_live(std::string& bytes) {
        if (remote) return site.read(gen, bytes);
        for (;;) {
            std::string above;
            Seen up = site.read(gen + 1, above);
            if (up == Seen::Error) return Seen::Error;
            if (up != Seen::Present) return site.read(gen, bytes);
            ++gen;
        }
    }

    // The claim watched was released. Done: `out` is its result; Fallback:
    // none, so claim again from generation 0.
    Outcome released(Clock::time_point now, Ref& out) {
        // On an object store the lookup itself is the one request to make;
        // locally a stat spares the lookup when there is nothing.
        int present = remote ? 1 : site.result_present();
        if (present < 0) return Outcome::Error;
        if (present) {
            Ref record = load(c);
            if (!record) return Outcome::Error;
            if (!record.is_none()) {
                out = std::move(record);
                return Outcome::Done;
            }
        }
        gen = 0;
        watched = -1;
        if (++idle_rounds > 1) {
            if (wait <= seconds_between(start, now)) {
                PyErr_Format(PyExc_TimeoutError,
                             "waited %s s for simulation %U (%U, %U): its claims come "
                             "and go without a result",
                             seconds_text(seconds_between(start, now)).c_str(), c.simulation_id,
                             c.component_name(), c.simulation_type());
                return Outcome::Error;
            }
            if (!pause_for(pause * jitter())) return Outcome::Error;
            back_off();
        }
        return Outcome::Fallback;
    }

    // Whether the claim, as `bytes` shows it now, has not changed for one
    // lease on this waiter's clock, or names a holder known to be dead. The
    // holder is asked after at every look: it may die while watched.
    bool stale(const std::string& bytes, Clock::time_point now) {
        if (watched != gen || seen != bytes) {
            watched = gen;
            seen = bytes;
            seen_since = now;
            holder = parse(bytes);
            return holder_gone(holder);
        }
        return seconds_between(seen_since, now) >= lease_of(bytes) || holder_gone(holder);
    }

    // Polls the claim of generation `gen`, as `s` and `bytes` found it.
    // Done: `out` is the result; Fallback: claim again (a generation judged
    // stale is taken over by creating the next one, which one waiter gets).
    Outcome watch(Seen s, std::string& bytes, Ref& out) {
        for (;;) {
            if (s == Seen::Error) return Outcome::Error;
            const auto now = Clock::now();
            if (s == Seen::Gone) return released(now, out);
            idle_rounds = 0;
            if (stale(bytes, now)) {
                ++gen;
                return Outcome::Fallback;
            }
            const double waited = seconds_between(start, now);
            if (waited >= wait) {
                raise_timeout(c, site, gen, bytes, waited, seconds_between(seen_since, now));
                return Outcome::Error;
            }
            double nap = pause * jitter();
            nap = std::min(nap, wait - waited);
            nap = std::min(nap, std::max(lease_of(bytes) - seconds_between(seen_since, now), 0.0) +
                                    0.001);
            if (!pause_for(nap)) return Outcome::Error;
            back_off();
            s = site.read(gen, bytes);
        }
    }
};

}  // namespace

Ref claim_unless_held(const Call& c, Site& site) {
    Content content;
    if (!Content::make(c.simulation_id, c.component_name(), c.simulation_type(), 0, c.lease,
                       content))
        return {};
    std::shared_ptr<Held> held;
    switch (site.create(0, content, held)) {
        case Made::Won: return run_claimed(c, site, held);
        case Made::Exists: return Ref::borrow(Py_None);
        case Made::Unsupported: break;
        case Made::Error: return {};
    }
    return load_or_compute(c);  // no claims after all: the lookup skipped, then the work
}

Ref claim_and_compute(const Call& c, Site& site, double wait, bool remote) {
    Waiter w(c, site, wait, remote);
    for (;;) {
        Content content;
        if (!Content::make(c.simulation_id, c.component_name(), c.simulation_type(), w.gen,
                           c.lease, content))
            return {};
        std::shared_ptr<Held> held;
        switch (site.create(w.gen, content, held)) {
            case Made::Won: return run_claimed(c, site, held);
            case Made::Unsupported: return compute_and_save(c);
            case Made::Error: return {};
            case Made::Exists: break;
        }
        std::string bytes;
        Seen s = w.read_live(bytes);
        Ref out;
        switch (w.watch(s, bytes, out)) {
            case Outcome::Done: return out;
            case Outcome::Error: return {};
            case Outcome::Fallback: break;
        }
    }
}

}  // namespace css::claims
