// A change feed for local directories (see change_feed.hpp).
#include "local/change_feed.hpp"

#include "local/feed_share.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace css::feed {

bool g_disabled = false;

namespace {

int g_fd = -1;
pid_t g_pid = 0;  // the process that opened g_fd
unsigned long g_generation = 0;  // of g_fd
const Handlers* g_listener = nullptr;
std::unordered_map<int, std::string> g_dirs;  // watch -> the path it was registered for

constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// Writes in place: the listing ignores them, the result index re-reads the
// file. (The kernel merges a run of identical events into one.)
constexpr uint32_t kContentEvents = IN_MODIFY | IN_CLOSE_WRITE;
constexpr uint32_t kSelfEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB;
constexpr uint32_t kMask = kEntryEvents | kContentEvents | kSelfEvents | IN_ONLYDIR;

// File systems on which every change of a directory goes through this
// machine's kernel, so that inotify reports it: disks and memory file
// systems mounted here. Anything else (network and cluster file systems,
// FUSE mounts, stacked file systems whose lower layers can be written
// directly, types this list does not know) gets the stat check.
bool local_file_system(long type) {
    switch (static_cast<unsigned long>(type)) {
        case 0xEF53UL:      // ext2, ext3, ext4
        case 0x58465342UL:  // XFS
        case 0x9123683EUL:  // Btrfs
        case 0x01021994UL:  // tmpfs
        case 0x858458F6UL:  // ramfs
        case 0x2FC12FC1UL:  // ZFS
        case 0xF2F52010UL:  // F2FS
        case 0x794C7630UL:  // overlayfs
        case 0xCA451A4EUL:  // bcachefs
        case 0x3153464AUL:  // JFS
        case 0x52654973UL:  // ReiserFS
        case 0x3434UL:      // NILFS2
        case 0x4D44UL:      // FAT
        case 0x2011BAB0UL:  // exFAT
        case 0x7366746EUL:  // NTFS (the kernel's ntfs3)
        case 0x482BUL:      // HFS+
            return true;
        default:
            return false;
    }
}

// Devices found not to be local. A device number is reused once its file
// system is unmounted, so a verdict for the feed is never kept: statfs on a
// local file system costs no more than the stat the read makes anyway. One
// against it is (on a network file system each statfs is a round trip to
// the server, and a device number that a local file system takes over later
// only keeps the stat check, which is always true).
std::unordered_set<dev_t> g_not_local;

bool local_device(const std::string& path, dev_t dev) {
    if (g_not_local.count(dev)) return false;
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return false;  // unknown: not trusted, not kept
    if (local_file_system(fs.f_type)) return true;
    if (g_not_local.size() >= 4096) g_not_local.clear();
    g_not_local.insert(dev);
    return false;
}

// A descriptor inherited over a fork shares its queue with the parent:
// reading it would take the parent's events, and changing its watches
// would change the parent's. The child lets go of it and starts afresh.
bool forked() {
    if (g_fd < 0) return false;
    if (getpid() == g_pid) return false;
    close(g_fd);
    g_fd = -1;
    g_dirs.clear();
    give_back_share();
    return true;
}

bool open_queue() {
    if (g_fd >= 0) return true;
    // Only within the store's share of the user's instances (see
    // feed_share.hpp).
    if (!take_share()) return false;
    g_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_fd < 0) {
        queue_refused();
        return false;
    }
    g_pid = getpid();
    ++g_generation;
    return true;
}

// The events go to both receivers, the drain's own first.
void lost_all(const Handlers& h) {
    h.lost_all();
    if (g_listener) g_listener->lost_all();
}

}  // namespace

void drain(const Handlers& h) {
    if (forked()) {
        lost_all(h);
        return;
    }
    if (g_fd < 0) return;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t got = read(g_fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return;
            // A queue that cannot be read cannot be trusted.
            reset();
            lost_all(h);
            return;
        }
        if (got == 0) return;
        // Room left for the longest event means none was left behind: every
        // change made before this read is in hand, so the read that would
        // only say so (EAGAIN) is spared.
        const bool emptied =
            got + static_cast<ssize_t>(sizeof(inotify_event) + NAME_MAX + 1) <= static_cast<ssize_t>(sizeof buf);
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                lost_all(h);
                continue;
            }
            auto dir = g_dirs.find(e->wd);
            if (dir == g_dirs.end()) continue;  // no listing rests on it any more
            // The kernel pads the name with NULs.
            std::string_view name = e->len ? std::string_view(e->name) : std::string_view();
            uint32_t kind = e->mask & ~static_cast<uint32_t>(IN_ISDIR);
            const Handlers* to[2] = {&h, g_listener};
            if (e->mask & IN_IGNORED) {
                // The watch is gone (the directory was removed or unmounted).
                std::string path = std::move(dir->second);
                g_dirs.erase(dir);
                for (const Handlers* r : to)
                    if (r) r->lost(path, e->wd);
            } else if ((kind == IN_CREATE || kind == IN_MOVED_TO) && !name.empty()) {
                for (const Handlers* r : to)
                    if (r) r->added(dir->second, e->wd, name, e->mask & IN_ISDIR);
            } else if ((kind == IN_DELETE || kind == IN_MOVED_FROM) && !name.empty()) {
                for (const Handlers* r : to)
                    if (r) r->removed(dir->second, e->wd, name);
            } else if ((kind == IN_ATTRIB || kind == IN_MODIFY || kind == IN_CLOSE_WRITE) &&
                       !name.empty()) {
                // An entry's contents or attributes: not part of a listing.
                for (const Handlers* r : to)
                    if (r && r->changed) r->changed(dir->second, e->wd, name);
            } else if (kind == IN_MOVE_SELF) {
                // The watch follows the directory to its new place, where
                // it no longer says anything about this path.
                std::string path = std::move(dir->second);
                g_dirs.erase(dir);
                inotify_rm_watch(g_fd, e->wd);
                for (const Handlers* r : to)
                    if (r) r->lost(path, e->wd);
            } else {
                // Removed, unmounted, its own attributes changed (it may have
                // become unreadable), or not understood.
                for (const Handlers* r : to)
                    if (r) r->lost(dir->second, e->wd);
            }
        }
        if (emptied) return;
    }
}

int watch(const std::string& path, dev_t dev, bool follow) {
    if (g_disabled || !local_device(path, dev)) return -1;
    // Only a drain may let go of a descriptor inherited over a fork: it
    // also tells the memo to forget the parent's listings.
    if (g_fd >= 0 && getpid() != g_pid) return -1;
    if (!open_queue()) return -1;
    int wd = inotify_add_watch(g_fd, path.c_str(), kMask | (follow ? 0 : IN_DONT_FOLLOW));
    if (wd < 0) return -1;  // ENOSPC, ENOMEM, EACCES, ENOTDIR (a link), ...
    auto [it, inserted] = g_dirs.try_emplace(wd, path);
    if (!inserted && it->second != path) return -1;  // the same directory by another path
    return wd;
}

void unwatch(int wd) {
    if (g_fd < 0 || getpid() != g_pid) return;
    if (g_dirs.erase(wd)) inotify_rm_watch(g_fd, wd);
}

size_t watch_count() { return g_dirs.size(); }

void listen(const Handlers* h) { g_listener = h; }

bool still_watching(int wd, const std::string& path, unsigned long generation) {
    if (wd < 0 || g_fd < 0 || generation != g_generation || getpid() != g_pid) return false;
    auto it = g_dirs.find(wd);
    return it != g_dirs.end() && it->second == path;
}

unsigned long generation() { return g_generation; }

void reset() {
    if (g_fd >= 0) close(g_fd);  // the kernel drops every watch with it
    g_fd = -1;
    g_dirs.clear();
    give_back_share();
}

}  // namespace css::feed
