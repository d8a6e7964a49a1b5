// Direct system calls on local paths (see files.hpp).
#include "local/files.hpp"

#include "frame/file_names.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace css {

namespace {

// Random temporary-file suffixes without a system call each: a splitmix64
// sequence seeded once per process. Two processes that share a sequence
// (after a fork) only meet in O_EXCL's refusal and take the next value.
unsigned long long next_suffix() {
    static std::atomic<unsigned long long> state{0};
    unsigned long long s = state.load(std::memory_order_relaxed);
    if (s == 0) {
        unsigned long long seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
            seed = (static_cast<unsigned long long>(getpid()) << 32) ^
                   static_cast<unsigned long long>(time(nullptr));
        state.compare_exchange_strong(s, seed | 1);
    }
    unsigned long long z = state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

std::string temporary_suffix() {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", next_suffix());
    return text;
}

namespace {

// fsync of a directory, after a rename in it. A file system that cannot
// sync directories (EINVAL) has nothing more to push.
int sync_dir(const std::string& dir) {
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
    close(fd);
    return err;
}

}  // namespace

bool sync_file_and_dir(const std::string& path, PyObject* named) {
    size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else {
        if (fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
        close(fd);
    }
    if (!err) err = sync_dir(dir);
    Py_END_ALLOW_THREADS
    if (!err) return true;
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, named);
    return false;
}

std::string join_path(std::string_view root, std::string_view name) {
    if (name.empty() || name == ".") return std::string(root);
    if (root == ".") return std::string(name);
    std::string out(root);
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool path_is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ReadResult read_file(const std::string& path, Ref& bytes) {
    int fd = -1;
    int err = 0;
    struct stat st;
    Py_BEGIN_ALLOW_THREADS
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = -1;
        close(fd);
    }
    Py_END_ALLOW_THREADS
    if (err == ENOENT) return ReadResult::NoEntry;
    if (err) return err == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    // One byte more than the size, so that a file that grew while read is
    // noticed.
    const Py_ssize_t want = static_cast<Py_ssize_t>(st.st_size) + 1;
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, want);
    if (!raw) {
        PyErr_Clear();
        close(fd);
        return ReadResult::Failed;
    }
    char* buf = PyBytes_AS_STRING(raw);
    Py_ssize_t got = 0;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        ssize_t r = read(fd, buf + got, static_cast<size_t>(want - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (r == 0) break;
        got += r;
        // Reaching the size the file had when opened ends the read without
        // another call; a shorter read (a transfer limit, a network file
        // system) goes on until the file's end.
        if (got == want - 1) break;
    }
    close(fd);
    Py_END_ALLOW_THREADS
    // A file that grew while read goes to the host's reader.
    if (failed || got == want || _PyBytes_Resize(&raw, got) < 0) {
        Py_XDECREF(raw);
        PyErr_Clear();
        return ReadResult::Failed;
    }
    bytes = Ref::steal(raw);
    return ReadResult::Ok;
}

// Writes `data` to `path` so that readers see either the old file or the new
// one: the bytes go to a hidden temporary file in the same directory, which
// is then renamed over the target. The temporary file never survives a
// failure. Errors name the target where a direct write would name it (when
// opening), and name no file where a file object's write would not.
bool write_atomically(PyObject* path, PyObject* data, bool durable) {
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(fspath.get(), &raw)) return false;
    Ref encoded = Ref::steal(raw);
    std::string target(PyBytes_AS_STRING(encoded.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    char* buf = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(data, &buf, &len) < 0) return false;

    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    enum class Stage { Open, Write, Rename } stage = Stage::Open;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    int fd = -1;
    std::string tmp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = dir + temporary_name(base, temporary_suffix());
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) {
        err = errno;
    } else {
        stage = Stage::Write;
        const char* p = buf;
        Py_ssize_t left = len;
        while (left > 0) {
            ssize_t w = write(fd, p, static_cast<size_t>(left));
            if (w < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            p += w;
            left -= w;
        }
        // The data first: a rename that reaches the disk before them leaves
        // an empty file under the result's name after a power loss.
        if (durable && !err && fdatasync(fd) != 0 && errno != EINVAL) err = errno;
        if (close(fd) != 0 && !err && errno != EINTR) err = errno;
        if (!err) {
            stage = Stage::Rename;
            if (rename(tmp.c_str(), target.c_str()) != 0) err = errno;
        }
        if (err) unlink(tmp.c_str());
        if (durable && !err) err = sync_dir(dir);
    }
    Py_END_ALLOW_THREADS
    if (!err) return true;
    errno = err;
    if (stage == Stage::Write)
        PyErr_SetFromErrno(PyExc_OSError);
    else
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

bool read_dir(const std::string& path, std::deque<std::string>& names,
              std::vector<unsigned char>& types, struct stat& opened) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    if (fstat(dirfd(d), &opened) != 0) {
        closedir(d);
        return false;
    }
    errno = 0;
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        names.emplace_back(n);
        types.push_back(e->d_type);
        errno = 0;
    }
    bool ok = errno == 0;
    closedir(d);
    return ok;
}

bool scan_for_id(const std::string& dir, std::string_view id, std::string& name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    name.clear();
    errno = 0;
    while (dirent* e = readdir(d)) {
        std::string_view n = e->d_name;
        if (carries_id(n, id)) {
            name.assign(n);
            break;
        }
    }
    closedir(d);
    return true;
}

}  // namespace css
