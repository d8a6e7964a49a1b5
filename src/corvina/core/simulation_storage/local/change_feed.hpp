// A change feed for local directories: the kernel's inotify queue, one per
// process, read at the start of every call that uses remembered listings.
//
// The kernel queues an event inside the system call that changes a watched
// directory, so a change that another process on this machine made before
// our call started is in the queue when the call drains it. That holds only
// where the kernel sees every change, which the feed trusts only on file
// systems known to be local (a network or cluster file system's other
// clients change directories behind the kernel's back), not for
// a watch the system's limits refuse, and not in a forked child, whose
// inherited descriptor shares its queue with the parent. `watch` answers -1
// for all of these, and the memo validates such directories by their stat.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace css::feed {

// Where the events go, in the order the kernel queued them. `dir` is the
// path the watch was registered for and `wd` the watch, so that an event of
// a watch that no longer backs the remembered listing can be told apart.
struct Handlers {
    // An entry appeared in the directory (created, or moved in).
    void (*added)(const std::string& dir, int wd, std::string_view name, bool is_dir);
    // An entry left the directory (removed, or moved out).
    void (*removed)(const std::string& dir, int wd, std::string_view name);
    // The directory itself changed (removed, moved, unmounted, its
    // attributes), or an event came that is not understood: forget it.
    void (*lost)(const std::string& dir, int wd);
    // Events were lost (the queue overflowed) or the process was forked:
    // forget every listing the feed was keeping.
    void (*lost_all)();
    // An entry's contents or attributes changed in place (written,
    // truncated, its mode or times set). Optional: the listing does not
    // care, the result index (result_index.hpp) does.
    void (*changed)(const std::string& dir, int wd, std::string_view name) = nullptr;
};

// A second receiver of every event, beside the one `drain` is given: the
// result index keeps its own state on the same watches.
void listen(const Handlers* h);

// Whether `wd` still stands for `path` on the queue this process opened as
// `generation` (see generation()): a watch dropped or replaced since, or a
// queue closed and opened again, says nothing any more.
bool still_watching(int wd, const std::string& path, unsigned long generation);

// Counts the queues this process opened; watches of an older one are gone.
unsigned long generation();

// Reads every queued event and hands it to `h`.
void drain(const Handlers& h);

// Starts watching the directory `path` (on device `dev`), before it is read.
// The watch id, or -1 when the feed cannot keep this directory's listing
// true: switched off, a file system not known to be local, a watch refused,
// or the directory already watched under another path. `follow` is false
// for type directories: a symbolic link is not watched.
int watch(const std::string& path, dev_t dev, bool follow);

// Stops one watch (its listing is being replaced or was found stale).
void unwatch(int wd);

// How many watches are held.
size_t watch_count();

// Stops every watch and closes the queue.
void reset();

// Turns the feed off for this process (every directory is then validated
// by its stat), or back on.
extern bool g_disabled;

}  // namespace css::feed
