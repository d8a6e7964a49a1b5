// The change feed's share of the user's inotify instances (see feed_share.hpp).
#include "local/feed_share.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace css::feed {

namespace {

int g_ledger = -1;     // the ledger, open while this process holds a share
pid_t g_holder = 0;    // the process that took it
double g_refused = -1; // when a share was last refused (monotonic seconds)

// A refused share is asked for again after this long: another process may
// have ended since, and asking costs a few system calls.
constexpr double kAskAgainSeconds = 2.0;

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A number in a /proc/sys file; -1 when it cannot be read.
long read_number(const char* file) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[32];
    ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (got <= 0) return -1;
    buf[got] = '\0';
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(buf, &end, 10);
    if (errno != 0 || end == buf || v < 0) return -1;
    return v;
}

// The user's limit as this process meets it: the system's, or its user
// namespace's where that is lower (the kernel applies both).
long instance_limit() {
    long sys = read_number("/proc/sys/fs/inotify/max_user_instances");
    long ns = read_number("/proc/sys/user/max_inotify_instances");
    if (sys < 0) return ns;
    if (ns < 0) return sys;
    return ns < sys ? ns : sys;
}

// The user's ledger, or -1. It must be the user's own regular file: one
// that someone else placed there only switches the feed off.
int open_ledger() {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/shm/.corvina-inotify-%lu",
                  static_cast<unsigned long>(geteuid()));
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

// Locks one free byte among the first `slots` of the ledger. The lock
// belongs to the open file, not the process: a forked child that closes
// its copy leaves the parent's lock alone, and the lock ends with the last
// descriptor of the file, however the process ends.
bool lock_a_slot(int fd, long slots) {
    for (long i = 0; i < slots; ++i) {
        struct flock fl{};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(i);
        fl.l_len = 1;
        if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EAGAIN && errno != EACCES) return false;
    }
    return false;
}

// How many instances the store's processes of this user may hold at once:
// half of the limit, so that every other program of the user keeps the
// other half.
long share_limit() {
    long limit = instance_limit();
    return limit < 0 ? 0 : limit / 2;
}

}  // namespace

bool take_share() {
    if (g_ledger >= 0 && g_holder == getpid()) return true;
    give_back_share();  // the parent's, inherited over a fork
    if (g_refused >= 0 && now_seconds() - g_refused < kAskAgainSeconds) return false;
    const long slots = share_limit();
    int fd = slots > 0 ? open_ledger() : -1;
    if (fd >= 0 && lock_a_slot(fd, slots)) {
        g_ledger = fd;
        g_holder = getpid();
        g_refused = -1;
        return true;
    }
    if (fd >= 0) close(fd);
    g_refused = now_seconds();
    return false;
}

void give_back_share() {
    if (g_ledger >= 0) close(g_ledger);
    g_ledger = -1;
    g_holder = 0;
}

void queue_refused() {
    give_back_share();
    g_refused = now_seconds();
}

}  // namespace css::feed
