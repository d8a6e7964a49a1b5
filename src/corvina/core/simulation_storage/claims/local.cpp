// Claims on local and network file systems: plain system calls on the path
// text of the result file, with no interpreter lock held.
//
// A claim is written completely into a temporary file, which is then linked
// to the claim's name: link() fails with EEXIST when the name is taken, on
// NFS (v3 and later) as locally, so the content is never seen half written.
// Where the file system has anonymous files (O_TMPFILE), the temporary file
// has no name of its own, and only the link changes the directory.
// Where the file system has no hard links, O_CREAT|O_EXCL on the name itself
// decides instead (a waiter that catches the content half written only sees
// it change). On network file systems every write is pushed to the server
// before it counts, since other machines read the server's copy.
#include "claims/claim.hpp"

#include "frame/file_names.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace css::claims {

namespace {

constexpr size_t kMaxClaimBytes = 64 * 1024;

bool network_file_system(int fd) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return true;  // unsure: flush, which is only slower
    switch (static_cast<unsigned long>(fs.f_type)) {
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x00C36400UL:  // Ceph
        case 0x0BD00BD0UL:  // Lustre
        case 0x65735546UL:  // FUSE
        case 0x47504653UL:  // GPFS
        case AFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

bool write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t w = write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

std::string random_suffix() {
    unsigned long long r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        r = static_cast<unsigned long long>(t.tv_nsec) * 0x9E3779B97F4A7C15ULL ^
            static_cast<unsigned long long>(getpid());
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", r);
    return buf;
}

// How one way of creating a claim went. Unavailable: the file system does
// not offer it (try the next way). Failed: `err` says why.
enum class Try { Won, Taken, Unavailable, Failed };

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Where the file system has anonymous files (ext4, XFS, Btrfs, tmpfs): the
// complete claim is written into one, which is then linked to the name in
// one step, the directory's only change.
Try create_anonymous(const std::string& path, const std::string& text, int& fd, bool& flush,
                     int& err) {
    int anon = open(parent_of(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (anon < 0) return Try::Unavailable;
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", anon);
    Try r = Try::Unavailable;  // no /proc, or no links of anonymous files
    flush = network_file_system(anon);
    if (!write_all(anon, text) || (flush && fdatasync(anon) != 0)) {
        err = errno;
        r = Try::Failed;
    } else if (linkat(AT_FDCWD, proc, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        fd = anon;
        return Try::Won;
    } else if (errno == EEXIST) {
        r = Try::Taken;
    } else if (errno == ENAMETOOLONG) {
        err = errno;
        r = Try::Failed;
    }
    close(anon);
    return r;
}

// A named temporary file beside the claim, linked to the claim's name.
Try create_linked(const std::string& path, const std::string& text, int& fd, bool& flush,
                  int& err) {
    std::string tmp;
    int t = -1;
    const size_t slash = path.rfind('/');
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Named as saves name theirs, so that it fits in a name, and verify
        // knows a leftover one.
        tmp = path.substr(0, slash + 1) +
              temporary_name(std::string_view(path).substr(slash + 1), random_suffix());
        t = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (t >= 0 || errno != EEXIST) break;
    }
    if (t < 0) {
        err = errno;
        return Try::Failed;
    }
    Try r = Try::Failed;
    flush = network_file_system(t);
    if (!write_all(t, text) || (flush && fdatasync(t) != 0)) {
        err = errno;
    } else if (link(tmp.c_str(), path.c_str()) == 0) {
        r = Try::Won;
    } else if (errno == EEXIST) {
        // A retried link whose first attempt went through (NFS) also answers
        // EEXIST: the temporary file then has two names.
        struct stat st;
        r = fstat(t, &st) == 0 && st.st_nlink == 2 ? Try::Won : Try::Taken;
    } else if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK) {
        r = Try::Unavailable;  // no hard links here
    } else {
        err = errno;
    }
    unlink(tmp.c_str());
    if (r == Try::Won)
        fd = t;
    else
        close(t);
    return r;
}

// The claim's name itself, created exclusively, then written: a waiter that
// reads it half written only sees its content change.
Try create_exclusive(const std::string& path, const std::string& text, int& fd, bool& flush,
                     int& err) {
    int t = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (t < 0) {
        if (errno == EEXIST) return Try::Taken;
        err = errno;
        return Try::Failed;
    }
    flush = network_file_system(t);
    if (!write_all(t, text) || (flush && fdatasync(t) != 0)) {
        err = errno;
        unlink(path.c_str());
        close(t);
        return Try::Failed;
    }
    fd = t;
    return Try::Won;
}

class LocalSite final : public Site {
  public:
    explicit LocalSite(const std::string& result_path)
        : result_(result_path), dir_(parent_of(result_path)) {
        size_t slash = result_path.rfind('/');
        std::string_view name = result_path;
        if (slash != std::string::npos) name.remove_prefix(slash + 1);
        if (name.size() > 5 && is_result_file(name)) name.remove_suffix(5);
        stem_ = name;
    }

    std::string name(int g) const { return dir_ + "/" + claim_name(stem_, g); }
    std::string describe(int g) const override { return name(g); }

    Made create(int g, const Content& content, std::shared_ptr<Held>& held) override {
        const std::string path = name(g);
        const std::string& text = content.text();
        int err = 0, fd = -1;
        bool flush = false;
        Try made = Try::Unavailable;
        Py_BEGIN_ALLOW_THREADS
        made = create_anonymous(path, text, fd, flush, err);
        if (made == Try::Unavailable) made = create_linked(path, text, fd, flush, err);
        if (made == Try::Unavailable) made = create_exclusive(path, text, fd, flush, err);
        Py_END_ALLOW_THREADS
        switch (made) {
            case Try::Won: break;
            case Try::Taken: return Made::Exists;
            case Try::Unavailable:
            case Try::Failed: {
                if (err == ENAMETOOLONG) {
                    // A path the file system cannot take even with the short
                    // claim name: computed without a claim, but never silently.
                    static bool warned = false;
                    if (!warned) {
                        warned = true;
                        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                             "cannot claim %s: its path is too long for the "
                                             "file system; simulations there are computed "
                                             "without claims, so workers that miss the same one "
                                             "at the same time all compute it",
                                             path.c_str()) < 0)
                            return Made::Error;
                    }
                    return Made::Unsupported;
                }
                errno = err;
                Ref filename = Ref::steal(PyUnicode_DecodeFSDefault(path.c_str()));
                if (filename) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
                return Made::Error;
            }
        }
        held = std::make_shared<Held>();
        held->pid = getpid();
        held->generation = g;
        held->content = content;
        held->fd = fd;
        held->flush = flush;
        return Made::Won;
    }

    Seen read(int g, std::string& bytes) override {
        const std::string path = name(g);
        int err = 0;
        Py_BEGIN_ALLOW_THREADS
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            err = errno;
        } else {
            bytes.resize(kMaxClaimBytes);
            size_t got = 0;
            for (;;) {
                ssize_t r = ::read(fd, bytes.data() + got, kMaxClaimBytes - got);
                if (r < 0) {
                    if (errno == EINTR) continue;
                    err = errno;
                    break;
                }
                if (r == 0) break;
                got += static_cast<size_t>(r);
                if (got == kMaxClaimBytes) break;
            }
            bytes.resize(got);
            close(fd);
        }
        Py_END_ALLOW_THREADS
        if (err == ENOENT || err == ENOTDIR) return Seen::Gone;
        if (err) {
            errno = err;
            Ref filename = Ref::steal(PyUnicode_DecodeFSDefault(path.c_str()));
            if (filename) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
            return Seen::Error;
        }
        return Seen::Present;
    }

    int result_present() override {
        struct stat st;
        int r = 0, err = 0;
        Py_BEGIN_ALLOW_THREADS
        r = stat(result_.c_str(), &st);
        if (r != 0) err = errno;
        Py_END_ALLOW_THREADS
        if (r == 0) return 1;
        if (err == ENOENT || err == ENOTDIR) return 0;
        errno = err;
        Ref filename = Ref::steal(PyUnicode_DecodeFSDefault(result_.c_str()));
        if (filename) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
        return -1;
    }

    bool release(const std::shared_ptr<Held>& held) override {
        Py_BEGIN_ALLOW_THREADS
        let_go(held);
        if (held->pid == getpid() && held->fd >= 0) {
            const int g = held->generation;
            const std::string own = name(g);
            struct stat mine, named;
            // Taken over meanwhile (a waiter judged this claim stale): the
            // new holder clears the generations below its own when it is
            // done, and the name may be another's by now. A claim whose
            // heartbeats all came in time cannot have been.
            const bool surely_ours = !may_have_been_taken_over(*held);
            const bool superseded = !surely_ours && lstat(name(g + 1).c_str(), &named) == 0;
            if (surely_ours || (!superseded && fstat(held->fd, &mine) == 0 &&
                            lstat(own.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
                            mine.st_ino == named.st_ino)) {
                unlink(own.c_str());
                for (int j = g - 1; j >= 0; --j) unlink(name(j).c_str());
            }
            close(held->fd);
            held->fd = -1;
        }
        Py_END_ALLOW_THREADS
        return true;
    }

  private:
    std::string result_, dir_, stem_;
};

}  // namespace

std::unique_ptr<Site> local_site(const std::string& result_path) {
    return std::make_unique<LocalSite>(result_path);
}

}  // namespace css::claims
