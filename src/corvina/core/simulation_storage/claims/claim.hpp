// In-flight claims: a simulation being computed, announced in the store
// itself, so that every worker sharing the store computes it once.
//
// A claim is a small hidden file (an object, on object stores) beside the
// result it announces:
//
//     <simulations dir>/<simulation_type>/.<component_name>_<simulation_id>.<generation>.claim
//
// The store reads only `*.json`, so listings, lookups and clearings never see
// one. Its content is one line of JSON, the fields in this order:
//
//     {"simulation_id": "1f0c9a2b3d4e5f60", "component_name": "ring",
//      "simulation_type": "sparameters", "generation": 0,
//      "owner": "<32 hex digits, random per claim>", "host": "node7", "pid": 4242,
//      "boot_id": "<the kernel's boot ID>", "pid_namespace": "pid:[4026531836]",
//      "started": "2026-02-02T09:15:30.123456+00:00", "lease_seconds": 60.0,
//      "heartbeat": "2026-02-02T09:16:00.200000+00:00", "beats":                    2}
//
// Times are the holder's UTC clock, for people; nobody compares them across
// machines. The holder rewrites `heartbeat` and `beats` about every quarter
// lease (same length, in place); a waiter that sees the content unchanged for
// a whole lease on its own clock judges the claim stale. That clock counts
// time the machine spent suspended (a paused VM, a laptop asleep): a holder
// woken after a lease must assume it was taken over, and one that stops
// counting would not know.
//
// Host, boot ID, PID namespace and pid name the holder's process: a waiter
// that shares all but the pid with it, and finds no such process, knows the
// holder died and takes over at once. Claims written before the boot ID was
// recorded lack it, and wait their lease.
//
// Generations: a claim is created with create-if-absent (link() of a complete
// temporary file, or a conditional create on object stores), so exactly one
// creator wins each name. A stale generation g is taken over by creating
// generation g + 1 the same way: one winner among any number of waiters. Each
// name has one owner while it exists, and only that owner rewrites it.
// Generation 0 stays until the claim is finished, so a newcomer that finds no
// generation 0 knows there is no claim at all; the holder of the highest
// generation removes its own claim, then the stale generations below it.
#pragma once

#include "frame/outcome.hpp"
#include "frame/ref.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <time.h>

namespace css::claims {

// Leases are judged on CLOCK_BOOTTIME: steady like CLOCK_MONOTONIC, but it
// goes on counting while the machine is suspended.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept {
        timespec t{};
        clock_gettime(CLOCK_BOOTTIME, &t);
        return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
    }
};

// The text of a claim this process holds.
class Content {
  public:
    // Needs the interpreter (the texts come from Python strings).
    static bool make(PyObject* simulation_id, PyObject* component_name,
                     PyObject* simulation_type, int generation, double lease, Content& out);
    // A new heartbeat: the time and count, rewritten in place (same length).
    // Needs no interpreter.
    void beat();
    const std::string& text() const { return text_; }
    // The random token that tells this claim from any other.
    const std::string& owner() const { return owner_; }

  private:
    std::string text_;
    std::string owner_;
    size_t heartbeat_at_ = 0;
    size_t beats_at_ = 0;
    unsigned long long beats_ = 0;
};

// What a waiter reads from a claim's content; anything it cannot read keeps
// its default (the content may be foreign, or caught half written).
struct Parsed {
    double lease = 0.0;
    std::string owner, host, pid, boot_id, pid_namespace, started, heartbeat;
};
Parsed parse(std::string_view text);

// Whether the holder that `p` names surely no longer runs: it ran on this
// host, in this boot and PID namespace, and its process is gone (or a
// zombie). Anything unknown or unreadable says no: the lease decides.
bool holder_gone(const Parsed& p);

// A pseudo-random number in [0, 1), for the jitter of pauses (not secrets).
double unit_random();
// Sleeps `seconds` without the interpreter lock; false when a signal handler
// raised meanwhile (Ctrl-C while waiting), its error set.
bool pause_for(double seconds);

// "<UTC now, ISO 8601 with microseconds>" (32 characters).
std::string utc_now();

// A claim this process holds. The heartbeat thread and the holder share it;
// `mu` guards the local file descriptor against being closed mid-write.
struct Held {
    pid_t pid = 0;  // the process that made it: a forked child never acts on it
    int generation = 0;
    double lease = 0.0;
    Content content;
    std::mutex mu;
    std::atomic<bool> released{false};
    // Local stores: the open claim file, rewritten in place.
    int fd = -1;
    bool flush = false;  // a network file system: push every rewrite to the server
    // Object stores (owned; touched only with the interpreter): the file
    // system, the key and the version last written, when the service tells.
    bool remote = false;
    PyObject* fs = nullptr;
    PyObject* key = nullptr;
    PyObject* etag = nullptr;
    PyInterpreterState* interp = nullptr;
    // The longest time between two signs of life so far, and the last one
    // (for the holder's own judgement whether a waiter may have taken over).
    Clock::time_point last_beat{};
    double longest_gap = 0.0;
    Clock::time_point next_beat{};

    ~Held();
};

// The heartbeat: a thread of its own, started on first use and after a fork.
// Local claims are rewritten with no interpreter lock held; object-store
// claims take the lock for each refresh. Called with the interpreter;
// false: an error is set (the claim is not kept alive).
bool keep_alive(const std::shared_ptr<Held>& held);
// Stops refreshing `held` (before it is removed); waits for a refresh in
// progress. Needs no interpreter.
void let_go(const std::shared_ptr<Held>& held);
// Records a sign of life of `held` now (a refresh that went through).
void signed_life(Held& held);
// Whether a waiter may have judged `held` stale: false when every sign of
// life, and the time since the last, came within three quarters of a lease
// (a waiter needs a whole lease without a change). Call after let_go().
bool may_have_been_taken_over(Held& held);

// --- where the claims of one simulation live ---------------------------------

// The name of generation `g` of the claims of a result whose file name has
// the stem `stem` ("<component>_<ID>"), beside it: ".<stem>.<g>.claim".
// A stem too long for that to fit in a file name with any generation (a
// result's own name may use all 255 bytes) gives "._<ID>.<g>.claim" for
// every generation instead: one form per claim, decided by the stem alone.
inline constexpr size_t kLongestClaimStem = 255 - 2 - 20 - 6;  // ".", ".<g>", ".claim"
inline std::string claim_name(std::string_view stem, int g) {
    if (stem.size() > kLongestClaimStem && stem.size() >= 17)
        stem.remove_prefix(stem.size() - 17);  // "_<ID>"
    std::string name = ".";
    name.append(stem);
    name += "." + std::to_string(g) + ".claim";
    return name;
}

enum class Made { Won, Exists, Unsupported, Error };
enum class Seen { Present, Gone, Error };

class Site {
  public:
    virtual ~Site() = default;
    // Creates generation `g` with `content`; Won gives the held claim.
    virtual Made create(int g, const Content& content, std::shared_ptr<Held>& held) = 0;
    // The bytes of generation `g`, or Gone.
    virtual Seen read(int g, std::string& bytes) = 0;
    // Whether the result file is there now: 1, 0, -1 (error set).
    virtual int result_present() = 0;
    // Stops the heartbeat of `held` and removes it, then, when it was the
    // highest generation, the stale ones below it (highest first, so that the
    // generations left always run from 0 without a gap). A claim that a
    // forked child inherited is left alone. false: an error is set.
    virtual bool release(const std::shared_ptr<Held>& held) = 0;
    // Where the claims are, for messages.
    virtual std::string describe(int g) const = 0;
};

// The claims of the result at `result_path` on a local file system (a plain
// path text), and of the object store at `root` (its file system `fs`)
// below `type_key`. The first claim an object store's site creates in this
// process also tells whether the store's creates are exclusive; where they
// are not, create() says Unsupported (a warning was given).
std::unique_ptr<Site> local_site(const std::string& result_path);
std::unique_ptr<Site> remote_site(PyObject* root, PyObject* fs, PyObject* type_key,
                                  PyObject* result_name, PyObject* stem);

// Whether the object store at `root` (a universal-pathlib path) may hold
// claims, as far as this process knows. Fallback: it cannot (a warning was
// given once), and the store is used without claims.
Outcome remote_supported(PyObject* root, PyObject* fs);

}  // namespace css::claims
