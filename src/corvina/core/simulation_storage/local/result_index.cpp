// The result index (see result_index.hpp): the directories it keeps, their
// entries' slots, the switch, the use by one call at a time, the record
// class's verdicts and the memory held. How a local directory is brought
// up to date is in index_refresh.cpp; a listed one in store/remote_index.cpp.
#include "local/result_index.hpp"

#include <cstdlib>
#include <unistd.h>

namespace css::rindex {

namespace {

// Bounds: past them the index starts afresh rather than grow.
constexpr size_t kMaxEntries = size_t{1} << 20;
constexpr size_t kMaxDirs = 1024;

std::unordered_map<std::string, std::unique_ptr<Dir>> g_dirs;
size_t g_entries = 0;
pid_t g_pid = 0;       // the process the trust in the feed was given in
pid_t g_busy_in = 0;   // the process whose call is inside the index, or 0
uint64_t g_stamp = 0;  // never wraps: a cell is never taken for another read
bool g_start_afresh = false;  // a bound was reached: forget everything before the next query
uintptr_t g_class = 0;
unsigned long g_class_version = 0;

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

// --- directories -------------------------------------------------------------------

Dir* dir_at(const std::string& key, std::unique_ptr<Dir> (*make)()) {
    auto it = g_dirs.find(key);
    if (it != g_dirs.end()) return it->second.get();
    if (g_dirs.size() >= kMaxDirs) {
        // Not while a query holds directories: before the next one.
        g_start_afresh = true;
        return nullptr;
    }
    it = g_dirs.emplace(key, make()).first;
    it->second->path = key;
    return it->second.get();
}

Dir* find_dir(const std::string& key) {
    auto it = g_dirs.find(key);
    return it == g_dirs.end() ? nullptr : it->second.get();
}

void forget_dir(const std::string& key) {
    auto it = g_dirs.find(key);
    if (it == g_dirs.end()) return;
    clear_dir(*it->second);
    g_dirs.erase(it);
}

void for_each_dir(const std::function<void(Dir&)>& fn) {
    for (auto& [key, d] : g_dirs) fn(*d);
}

void untrust_all() {
    for (auto& [key, d] : g_dirs) {
        d->trusted = false;
        d->lost_while_passing = true;
    }
}

bool room_for(size_t more) {
    if (g_entries + more <= kMaxEntries) return true;
    g_start_afresh = true;
    return false;
}

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
    for (auto& [key, d] : g_dirs)
        for (Entry& x : d->entries) x.valid = -1;
}

size_t memory_estimate(size_t* entries) {
    auto text = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; };
    size_t total = 0;
    for (auto& [key, d] : g_dirs) {
        total += sizeof(Dir) + d->entries.capacity() * sizeof(Entry);
        // A node of the name map: its key, slot, hash and links.
        total += d->at.bucket_count() * sizeof(void*) + d->at.size() * 64;
        for (const Entry& x : d->entries) {
            total += text(x.name) * 2 + text(x.slim.text) + text(x.slim.dropped);
        }
        for (auto& [name, c] : d->columns) {
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

}  // namespace css::rindex
