// The result index (see result_index.hpp): entries per type directory,
// their validation through the change feed or the directory's listing, and
// the reading of one file into an entry.
#include "local/result_index.hpp"

#include "local/change_feed.hpp"
#include "local/files.hpp"
#include "local/memo.hpp"
#include "frame/file_names.hpp"

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace css::rindex {

namespace {

// Bounds: past them the index starts afresh rather than grow.
constexpr size_t kMaxEntries = size_t{1} << 20;
constexpr size_t kMaxDirs = 1024;
// As the memo: a file changed this recently may change again within the
// same tick of the file system's clock without its times showing it.
constexpr time_t kRacySeconds = 2;

std::unordered_map<std::string, std::unique_ptr<Dir>> g_dirs;
size_t g_entries = 0;
pid_t g_pid = 0;       // the process the trust in the feed was given in
pid_t g_busy_in = 0;   // the process whose call is inside the index, or 0
uint64_t g_stamp = 0;  // never wraps: a cell is never taken for another read
bool g_start_afresh = false;  // a bound was reached: forget everything before the next query
const ReadHook* g_hook = nullptr;  // of the refresh under way
uintptr_t g_class = 0;
unsigned long g_class_version = 0;

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const Entry& x, const struct stat& st) {
    return x.ino == st.st_ino && x.size == st.st_size && same_time(x.mtime, st.st_mtim) &&
           same_time(x.ctime, st.st_ctim);
}

void untrust_all() {
    for (auto& [path, d] : g_dirs) {
        d->trusted = false;
        d->lost_while_passing = true;
    }
}

// --- the feed's events --------------------------------------------------------------

Dir* kept_by(const std::string& dir, int wd) {
    auto it = g_dirs.find(dir);
    if (it == g_dirs.end() || it->second->wd != wd) return nullptr;
    if (!it->second->trusted && !it->second->passing) return nullptr;
    return it->second.get();
}

void on_added(const std::string& dir, int wd, std::string_view name, bool) {
    Dir* d = kept_by(dir, wd);
    if (!d || !is_result_file(name)) return;
    d->dirty.emplace(name);
    // A name created, or renamed over, may take any place in the order.
    d->order_exact = false;
}

void on_removed(const std::string& dir, int wd, std::string_view name) { on_added(dir, wd, name, false); }

void on_changed(const std::string& dir, int wd, std::string_view name) {
    Dir* d = kept_by(dir, wd);
    if (d && is_result_file(name)) d->dirty.emplace(name);
}

void on_lost(const std::string& dir, int wd) {
    auto it = g_dirs.find(dir);
    if (it != g_dirs.end() && it->second->wd == wd) {
        it->second->trusted = false;
        it->second->lost_while_passing = true;
    }
}

void on_lost_all() { untrust_all(); }

constexpr feed::Handlers kListener = {
    .added = on_added,
    .removed = on_removed,
    .lost = on_lost,
    .lost_all = on_lost_all,
    .changed = on_changed,
};

// --- entries -------------------------------------------------------------------------

void free_entry(Dir& d, uint32_t slot) {
    Entry& x = d.entries[slot];
    if (x.kind == Kind::Free) return;
    d.at.erase(x.name);
    x = Entry{};
    d.free_slots.push_back(slot);
    --d.live;
    --g_entries;
}

uint32_t new_slot(Dir& d, std::string_view name) {
    uint32_t slot;
    if (!d.free_slots.empty()) {
        slot = d.free_slots.back();
        d.free_slots.pop_back();
    } else {
        slot = static_cast<uint32_t>(d.entries.size());
        d.entries.emplace_back();
    }
    Entry& x = d.entries[slot];
    x.name.assign(name);
    x.kind = Kind::Other;
    d.at.emplace(x.name, slot);
    ++d.live;
    ++g_entries;
    return slot;
}

void clear_dir(Dir& d) {
    g_entries -= d.live;
    d.entries.clear();
    d.free_slots.clear();
    d.at.clear();
    d.dirty.clear();
    d.columns.clear();
    d.live = 0;
    d.trusted = false;
    d.order_exact = false;
}

uint64_t next_stamp() { return ++g_stamp; }

enum class Read { Kept, Other, Gone };

// Reads the file `name` of `d` into `x`. `type` is its entry type from a
// listing (DT_UNKNOWN when not known).
Read read_entry(Dir& d, std::string_view name, unsigned char type, Entry& x) {
    static std::string buf;
    const std::string full = join_path(d.path, name);
    struct stat lst;
    bool link = type == DT_LNK;
    if (type == DT_UNKNOWN && lstat(full.c_str(), &lst) == 0) link = S_ISLNK(lst.st_mode);
    struct stat before;
    int err = 0;
    bool grew = false, regular = true;
    size_t got = 0;
    Py_BEGIN_ALLOW_THREADS
    int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
    } else {
        if (fstat(fd, &before) != 0) {
            err = errno;
        } else if (!S_ISREG(before.st_mode)) {
            regular = false;
        } else {
            // One byte more than the size, so that a file that grew is noticed.
            const size_t want = static_cast<size_t>(before.st_size) + 1;
            if (buf.size() < want) buf.resize(want);
            while (got < want) {
                ssize_t r = read(fd, buf.data() + got, want - got);
                if (r < 0) {
                    if (errno == EINTR) continue;
                    err = errno;
                    break;
                }
                if (r == 0) break;
                got += static_cast<size_t>(r);
                // The size it had when opened: no call more to hear so.
                if (got == want - 1) break;
            }
            grew = got == want;
        }
        close(fd);
    }
    Py_END_ALLOW_THREADS
    x.slim = query::Slim{};
    x.valid = -1;
    x.stamp = next_stamp();
    x.check_always = link;
    x.racy = true;
    if (err == ENOENT && !link) return Read::Gone;
    if (err || !regular || grew) {
        x.kind = Kind::Other;
        return Read::Other;
    }
    x.ino = before.st_ino;
    x.size = before.st_size;
    x.mtime = before.st_mtim;
    x.ctime = before.st_ctim;
    x.check_always = link || before.st_nlink > 1;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t changed = std::max(before.st_mtim.tv_sec, before.st_ctim.tv_sec);
    // Changed so recently that the times could stay as they are through
    // another change: vouched for by its contents only. (A change while it
    // was read moves its times past those kept, or is within that window.)
    x.racy = now.tv_sec - changed < kRacySeconds;
    static query::Document doc;  // kept from file to file, for its storage
    if (!query::scan_document(buf.data(), got, doc) || !doc.object) {
        x.kind = Kind::Other;
        return Read::Other;
    }
    query::make_slim(doc, x.slim);
    x.kind = Kind::Kept;
    if (g_hook) (*g_hook)(d, x, doc);
    return Read::Kept;
}

// Reads `name` again (a new entry if it has none). Gone: forgotten.
void reread(Dir& d, std::string_view name, unsigned char type) {
    auto it = d.at.find(std::string(name));
    uint32_t slot = it != d.at.end() ? it->second : new_slot(d, name);
    if (read_entry(d, name, type, d.entries[slot]) == Read::Gone) free_entry(d, slot);
}

// Sets the hook for the length of one refresh.
struct Hooked {
    explicit Hooked(const ReadHook* h) { g_hook = h; }
    ~Hooked() { g_hook = nullptr; }
};

// Whether an entry may be kept on its stat alone.
bool still_as_read(const Entry& x, const std::string& full) {
    if (x.kind != Kind::Kept || x.racy) return false;
    struct stat st;
    return stat(full.c_str(), &st) == 0 && same_file(x, st);
}

// What the feed reported, and the entries it cannot see.
void apply_feed(Dir& d) {
    std::unordered_set<std::string> names;
    names.swap(d.dirty);
    for (const std::string& name : names) reread(d, name, DT_UNKNOWN);
    for (uint32_t slot = 0; slot < d.entries.size(); ++slot) {
        Entry& x = d.entries[slot];
        if (x.kind == Kind::Free || !x.check_always) continue;
        if (!still_as_read(x, join_path(d.path, x.name))) {
            std::string name = x.name;
            reread(d, name, DT_UNKNOWN);
        }
    }
}

// The whole directory listed, each result file stat'ed, the changed ones
// read again. false: it could not be listed.
bool full_pass(Dir& d, const struct stat& st) {
    const int wd = begin_watch(d.path, st, false);
    d.dirty.clear();
    // From here on the watch's events name this directory, whichever thread
    // drains them: a file added after the listing below is heard of.
    d.wd = wd;
    d.feed_generation = feed::generation();
    d.passing = true;
    d.lost_while_passing = false;
    struct EndOfPass {
        Dir& d;
        ~EndOfPass() { d.passing = false; }
    } end_of_pass{d};
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    struct stat opened;
    if (!read_dir(d.path, names, types, opened)) return false;
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return false;
    if (g_entries + names.size() > kMaxEntries) {
        g_start_afresh = true;
        return false;
    }
    d.entries.reserve(names.size());
    d.at.reserve(names.size());
    std::vector<char> seen(d.entries.size(), 0);
    uint32_t pos = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (!is_result_file(name)) continue;
        auto it = d.at.find(name);
        if (it == d.at.end() || !still_as_read(d.entries[it->second], join_path(d.path, name)))
            reread(d, name, types[i]);
        it = d.at.find(name);
        if (it == d.at.end()) continue;
        d.entries[it->second].pos = pos++;
        if (it->second < seen.size()) seen[it->second] = 1;
    }
    for (uint32_t slot = 0; slot < seen.size(); ++slot)
        if (!seen[slot]) free_entry(d, slot);
    d.trusted = wd >= 0 && !d.lost_while_passing;
    // Names heard of during the pass may take any place in the order.
    d.order_exact = d.dirty.empty();
    return true;
}

}  // namespace

bool switched_off() {
    const char* v = getenv("CORVINA_DISABLE_RESULT_INDEX");
    return v && *v && !(v[0] == '0' && v[1] == 0);
}

Use::Use() {
    if (switched_off()) return;
    const pid_t pid = getpid();
    if (g_busy_in == pid) return;
    if (g_pid != pid) {
        // A forked child: its copy of the index says what the files were,
        // but the feed that vouched for it was the parent's.
        untrust_all();
        g_pid = pid;
    }
    g_busy_in = pid;
    held_ = true;
    if (g_start_afresh) {
        g_start_afresh = false;
        clear();
    }
}

Use::~Use() {
    if (held_) g_busy_in = 0;
}

Fresh refresh(const std::string& path, Dir*& out, const ReadHook* hook) {
    out = nullptr;
    Hooked hooked(hook);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        auto it = g_dirs.find(path);
        if (it != g_dirs.end()) {
            clear_dir(*it->second);
            g_dirs.erase(it);
        }
        return Fresh::Nothing;
    }
    auto it = g_dirs.find(path);
    if (it == g_dirs.end()) {
        if (g_dirs.size() >= kMaxDirs) {
            // Not while a query holds directories: before the next one.
            g_start_afresh = true;
            return Fresh::Declined;
        }
        it = g_dirs.emplace(path, std::make_unique<Dir>()).first;
        it->second->path = path;
    }
    Dir& d = *it->second;
    if (d.dev != st.st_dev || d.ino != st.st_ino) {
        clear_dir(d);
        d.dev = st.st_dev;
        d.ino = st.st_ino;
    }
    if (d.trusted && feed::still_watching(d.wd, d.path, d.feed_generation)) {
        apply_feed(d);
    } else if (!full_pass(d, st)) {
        clear_dir(d);
        g_dirs.erase(it);
        // Not listable: as the listing, no results; anything else (a race
        // with its replacement, the bound): read as before.
        return access(path.c_str(), R_OK | X_OK) == 0 ? Fresh::Declined : Fresh::Nothing;
    }
    out = &d;
    return Fresh::Ready;
}

Current read_current(const Dir& d, const Entry& x, Ref& bytes) {
    const std::string full = join_path(d.path, x.name);
    struct stat before, after;
    int fd = -1;
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS
    fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    Py_END_ALLOW_THREADS
    if (!ok) {
        if (fd >= 0) close(fd);
        return Current::Changed;
    }
    // One byte more than the size, so that a file that grew is noticed.
    const Py_ssize_t want = static_cast<Py_ssize_t>(before.st_size) + 1;
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, want);
    if (!raw) {
        close(fd);
        return Current::Error;
    }
    Py_ssize_t got = 0;
    Py_BEGIN_ALLOW_THREADS
    while (got < want) {
        ssize_t r = read(fd, PyBytes_AS_STRING(raw) + got, static_cast<size_t>(want - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        got += r;
        if (got == want - 1) break;
    }
    ok = ok && got < want && fstat(fd, &after) == 0;
    close(fd);
    Py_END_ALLOW_THREADS
    if (!ok || _PyBytes_Resize(&raw, got) < 0) {
        Py_XDECREF(raw);
        PyErr_Clear();
        return Current::Changed;
    }
    bytes = Ref::steal(raw);
    // The same file, unchanged since it was read, with times that vouch
    // for it; otherwise its text must be what the index holds.
    if (!x.racy && same_file(x, before) && same_file(x, after)) return Current::Same;
    query::Document doc;
    query::Slim now;
    const char* p = PyBytes_AS_STRING(bytes.get());
    if (!query::scan_document(p, static_cast<size_t>(got), doc) || !doc.object) return Current::Changed;
    query::make_slim(doc, now);
    return now.text == x.slim.text && now.dropped == x.slim.dropped ? Current::Same : Current::Changed;
}

bool relist(Dir& d) {
    std::deque<std::string> names;
    std::vector<unsigned char> types;
    struct stat opened;
    if (!read_dir(d.path, names, types, opened)) return false;
    size_t matched = 0;
    uint32_t pos = 0;
    for (const std::string& name : names) {
        if (!is_result_file(name)) continue;
        auto it = d.at.find(name);
        if (it != d.at.end()) {
            d.entries[it->second].pos = pos;
            ++matched;
        }
        ++pos;
    }
    d.order_exact = matched == d.live && pos == d.live;
    return true;
}

void suspect(Dir& d, uint32_t slot) {
    Entry& x = d.entries[slot];
    x.racy = true;
    d.dirty.insert(x.name);
    d.order_exact = false;
}

void verdicts_for(uintptr_t class_id, unsigned long version) {
    if (class_id == g_class && version == g_class_version) return;
    g_class = class_id;
    g_class_version = version;
    for (auto& [path, d] : g_dirs)
        for (Entry& x : d->entries) x.valid = -1;
}

size_t memory_estimate(size_t* entries) {
    auto text = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; };
    size_t total = 0;
    for (auto& [path, d] : g_dirs) {
        total += sizeof(Dir) + d->entries.capacity() * sizeof(Entry);
        // A node of the name map: its key, slot, hash and links.
        total += d->at.bucket_count() * sizeof(void*) + d->at.size() * 64;
        for (const Entry& x : d->entries) {
            total += text(x.name) * 2 + text(x.slim.text) + text(x.slim.dropped);
        }
        for (auto& [key, c] : d->columns) {
            total += c.cells.capacity() * sizeof(Cell);
            for (const std::string& s : c.texts) total += sizeof(std::string) + text(s);
        }
    }
    if (entries) *entries = g_entries;
    return total;
}

void clear() {
    g_dirs.clear();
    g_entries = 0;
}

void init() { feed::listen(&kListener); }

}  // namespace css::rindex
