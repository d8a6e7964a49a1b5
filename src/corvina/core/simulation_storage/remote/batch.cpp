// The batch path's operations (see batch.hpp): the lookup, the scan of a
// listing and the removals of a clearing, answered from one flat listing of
// the store; the read and the removal of one file, by the file system's own
// calls for that file.
#include "remote/batch.hpp"

#include "frame/bodies.hpp"
#include "frame/function.hpp"
#include "frame/host.hpp"
#include "local/gates.hpp"
#include "remote/fsspec.hpp"
#include "remote/listing.hpp"
#include "remote/removal.hpp"
#include "remote/vetting.hpp"
#include "store/file_names.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css {

using remote::Entry;
using remote::R;
using remote::Store;
using remote::TypeDir;

namespace {

// Files per batched read or removal: S3 takes a thousand keys per request.
constexpr size_t kBatchFiles = 1000;
// Bytes held at once by the reads of one batch.
constexpr long long kBatchBytes = 64LL << 20;

// --- the scan of a listing ------------------------------------------------------

// A file of a listing, as the walk forms its path, with its key and listed
// size (-1: read by the literal unit).
struct Item {
    Ref path;
    std::string key;
    long long size;
};

// The files the walk would visit, in its order; only those of the type
// directory `only` when `filtered`.
bool collect_items(const Store& s, PyObject* root, PyObject* simulation_type, bool filtered,
                   std::string_view only, std::vector<Item>& items) {
    for (const TypeDir& d : s.dirs) {
        if (filtered && d.name != only) continue;
        Ref dir = filtered ? Ref::steal(PyNumber_TrueDivide(root, simulation_type))
                           : remote::type_dir_path(s, d);
        if (!dir) return false;
        for (const Entry& e : d.entries) {
            if (!is_result_file(e.name)) continue;
            Ref path = remote::entry_path(dir.get(), e);
            if (!path) return false;
            long long size = e.file && !e.dir ? e.size : -1;
            items.push_back(
                Item{.path = std::move(path), .key = remote::key_of(s, d, e), .size = size});
        }
    }
    return true;
}

// Reads the files `batch` (indexes into `files`) with one call of the file
// system's batched read: `data[k - first]` gets the bytes of file k where the
// read gave them whole. A batch that fails as a whole leaves every file to
// the caller's own read. false: an error is set.
bool read_batch(const Store& s, const std::vector<ListedFile>& files,
                const std::vector<size_t>& batch, size_t first, std::vector<Ref>& data) {
    const auto n = static_cast<Py_ssize_t>(batch.size());
    Ref paths = Ref::steal(PyList_New(n));
    Ref starts = Ref::steal(PyList_New(n));
    Ref ends = Ref::steal(PyList_New(n));
    if (!paths || !starts || !ends) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const ListedFile& file = files[batch[static_cast<size_t>(k)]];
        Ref key = remote::text(file.key);
        // One byte more than listed: a file that grew since the listing
        // shows it, and goes to the caller's own read whole.
        Ref end = Ref::steal(PyLong_FromLongLong(file.size + 1));
        if (!key || !end) return false;
        PyList_SET_ITEM(paths.get(), k, key.release());
        PyList_SET_ITEM(starts.get(), k, Py_NewRef(N.int0));
        PyList_SET_ITEM(ends.get(), k, end.release());
    }
    Ref out = call_method(s.fs.get(), R.cat_ranges, {paths.get(), starts.get(), ends.get()});
    if (!out) return remote::soft_failure() != Outcome::Error;
    if (!PyList_CheckExact(out.get()) || PyList_GET_SIZE(out.get()) != n) return true;
    for (Py_ssize_t k = 0; k < n; ++k) {
        const size_t at = batch[static_cast<size_t>(k)];
        PyObject* got = PyList_GET_ITEM(out.get(), k);
        if (PyBytes_CheckExact(got) && PyBytes_GET_SIZE(got) <= files[at].size)
            data[at - first] = Ref::borrow(got);
    }
    return true;
}

}  // namespace

bool read_listed(const Store& s, const std::vector<ListedFile>& files, const BatchDone& done) {
    size_t i = 0;
    while (i < files.size()) {
        std::vector<size_t> batch;
        long long held = 0;
        size_t j = i;
        for (; j < files.size() && batch.size() < kBatchFiles && held < kBatchBytes; ++j) {
            // An empty file has no byte range to ask for; the caller reads it.
            if (files[j].size <= 0) continue;
            batch.push_back(j);
            held += files[j].size;
        }
        std::vector<Ref> data(j - i);
        if (!batch.empty() && !read_batch(s, files, batch, i, data)) return false;
        if (!done(i, j, data)) return false;
        i = j;
    }
    return true;
}

namespace {

// --- the removals of a clearing -------------------------------------------------------

// One clearing of a store served here: each listed record removed as
// `delete_simulation_result(record.simulation_id)` would remove it, in list
// order, with the plain removals sent in batches. An error that ends the
// clearing leaves the removals before it done.
class Clearing {
  public:
    Clearing(PyObject* g, PyObject* del, PyObject* root, Store& s, long long& count)
        : g_(g), del_(del), root_(root), s_(s), count_(count) {
        index();
    }

    Outcome run(PyObject* records) {
        Ref it = Ref::steal(PyObject_GetIter(records));
        if (!it) return Outcome::Error;
        while (Ref record = Ref::steal(PyIter_Next(it.get())))
            if (!clear(record.get())) return fail();
        if (PyErr_Occurred()) return fail();
        return flush() ? Outcome::Done : Outcome::Error;
    }

  private:
    struct Slot {
        size_t dir, entry;
    };
    struct Pending {
        Ref path;
        std::string key;
        Ref id;
    };

    // Where the lookup of an ID lands: every entry whose name carries it, in
    // the order the lookup tries them.
    void index() {
        for (size_t di = 0; di < s_.dirs.size(); ++di) {
            const auto& entries = s_.dirs[di].entries;
            for (size_t ei = 0; ei < entries.size(); ++ei) {
                ids_of(entries[ei].name, [&](std::string_view id) {
                    by_id_[std::string(id)].push_back(Slot{.dir = di, .entry = ei});
                });
            }
        }
    }

    // The entry the lookup of `id` finds now, or nullptr.
    const Slot* slot_of(std::string_view id) const {
        auto found = by_id_.find(std::string(id));
        if (found == by_id_.end()) return nullptr;
        for (const Slot& c : found->second)
            if (!s_.dirs[c.dir].entries[c.entry].removed) return &c;
        return nullptr;
    }

    // The removal of one record. false: an error is set.
    bool clear(PyObject* record) {
        Ref id = getattr(record, N.simulation_id);
        if (!id) return false;
        std::string_view id_text;
        const Slot* slot = nullptr;
        if (remote::utf8(id.get(), id_text) && fits_in_file_name(id.get())) {
            slot = slot_of(id_text);
            if (!slot) return true;  // the lookup finds nothing: not counted
        }
        Entry* e = slot ? &s_.dirs[slot->dir].entries[slot->entry] : nullptr;
        // Directories in place of a file, and names that the removal would
        // read as patterns, go through the literal deletion.
        if (!e || e->dir || has_pattern_char(e->name)) {
            if (!flush()) return false;
            long long before = count_;
            if (!literal(id.get())) return false;
            if (e && count_ > before) e->removed = true;
            return true;
        }
        const TypeDir& d = s_.dirs[slot->dir];
        Ref dir = remote::type_dir_path(s_, d);
        if (!dir) return false;
        Ref path = remote::entry_path(dir.get(), *e);
        if (!path) return false;
        e->removed = true;
        pending_.push_back(
            Pending{.path = std::move(path), .key = remote::key_of(s_, d, *e), .id = id});
        return pending_.size() < kBatchFiles || flush();
    }

    // The literal deletion of one record, as the plain loop would make it.
    bool literal(PyObject* id) {
        Ref ok = call(del_, {id});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t < 0) return false;
        count_ += t;
        return true;
    }

    bool log_deleted(const Pending& p) {
        Ref line = concat_str(N.msg_deleted, p.path.get());
        if (!line || !log_message(g_, N.debug, line.get())) return false;
        ++count_;
        return true;
    }

    // Sends the pending removals as one batch; the pending list is empty
    // after it, whatever it returns.
    bool flush() {
        if (pending_.empty()) return true;
        std::vector<Pending> batch;
        batch.swap(pending_);
        Ref keys = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
        if (!keys) return false;
        for (size_t k = 0; k < batch.size(); ++k) {
            PyObject* key = remote::text(batch[k].key).release();
            if (!key) return false;
            PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(k), key);
        }
        std::vector<std::string> key_texts;
        for (const Pending& p : batch) key_texts.push_back(p.key);
        std::vector<remote::Refusal> refused;
        switch (remote::remove_reporting(s_.fs.get(), key_texts, refused)) {
            case Outcome::Done: return settle_reported(batch, refused);
            case Outcome::Error:
                if (remote::soft_failure() == Outcome::Error) return false;
                return settle(batch);
            case Outcome::Fallback: break;
        }
        // The file system's own batch removal cannot say which keys it
        // removed: every key sent counts.
        Ref removed = call_method(s_.fs.get(), R.rm, {keys.get()});
        if (removed) {
            for (const Pending& p : batch)
                if (!log_deleted(p)) return false;
            return true;
        }
        if (remote::soft_failure() == Outcome::Error) return false;
        return settle(batch);
    }

    // The service's answer for each key: those it refused stay, uncounted,
    // and the first of them ends the clearing as a refused removal of a
    // local file would (after the others are logged).
    bool settle_reported(const std::vector<Pending>& batch,
                         const std::vector<remote::Refusal>& refused) {
        const Pending* first = nullptr;
        const remote::Refusal* why = nullptr;
        for (size_t k = 0; k < batch.size(); ++k) {
            if (refused[k].code.empty()) {
                if (!log_deleted(batch[k])) return false;
            } else if (!first) {
                first = &batch[k];
                why = &refused[k];
            }
        }
        if (!first) return true;
        remote::raise_refusal(*why, first->path.get());
        return false;
    }

    // The batch failed as a whole, perhaps part-way. What is gone now was
    // removed by it; the rest goes through the literal deletion, which
    // reports the failure as the host does.
    bool settle(const std::vector<Pending>& batch) {
        Store again;
        std::unordered_set<std::string> present;
        bool known = remote::open_store(root_, again) == Outcome::Done &&
                     remote::list_store(again) == Outcome::Done;
        if (PyErr_Occurred() && remote::soft_failure() == Outcome::Error) return false;
        if (known)
            for (const TypeDir& d : again.dirs)
                for (const Entry& e : d.entries) present.insert(remote::key_of(again, d, e));
        for (const Pending& p : batch) {
            bool ok = known && !present.count(p.key) ? log_deleted(p) : literal(p.id.get());
            if (!ok) return false;
        }
        return true;
    }

    // Ends the clearing on the error set: the removals still pending are
    // made first (and an error of theirs takes its place).
    Outcome fail() {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (flush()) PyErr_SetRaisedException(exc.release());
        return Outcome::Error;
    }

    PyObject* g_;
    PyObject* del_;
    PyObject* root_;
    Store& s_;
    long long& count_;
    std::unordered_map<std::string, std::vector<Slot>> by_id_;
    std::vector<Pending> pending_;
};

}  // namespace

Outcome remote_find(PyObject* root, PyObject* simulation_id, Ref& found) {
    Store s;
    Outcome r = remote::open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view id;
    if (!remote::utf8(simulation_id, id) || !fits_in_file_name(simulation_id))
        return Outcome::Fallback;
    r = remote::list_store(s);
    if (r != Outcome::Done) return r;
    for (const TypeDir& d : s.dirs) {
        for (const Entry& e : d.entries) {
            if (!carries_id(e.name, id)) continue;
            Ref dir = remote::type_dir_path(s, d);
            if (!dir) return Outcome::Error;
            found = remote::entry_path(dir.get(), e);
            return found ? Outcome::Done : Outcome::Error;
        }
    }
    found = Ref::borrow(Py_None);
    return Outcome::Done;
}

Outcome remote_read(PyObject* path, Ref& bytes) {
    Store s;
    Outcome r = remote::open_store(path, s);
    if (r != Outcome::Done) return r;
    Ref out = s.single_request_read
                  ? call_method(s.fs.get(), R.cat_file, {s.path.get(), N.int1},
                                R.kw_max_concurrency)
                  : call_method(s.fs.get(), R.cat_file, {s.path.get()});
    if (!out) return remote::soft_failure();
    if (!PyBytes_CheckExact(out.get())) return Outcome::Fallback;
    bytes = std::move(out);
    return Outcome::Done;
}

Outcome remote_scan(PyObject* root, PyObject* simulation_type, const RemoteVisit& visit) {
    Store s;
    Outcome r = remote::open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view only;
    bool filtered = simulation_type != Py_None;
    if (filtered && (!remote::utf8(simulation_type, only) || only.empty() || only == "." ||
                     has_pattern_char(only)))
        return Outcome::Fallback;
    r = remote::list_store(s);
    if (r != Outcome::Done) return r;
    std::vector<Item> items;
    if (!collect_items(s, root, simulation_type, filtered, only, items)) return Outcome::Error;
    std::vector<ListedFile> files;
    files.reserve(items.size());
    for (const Item& item : items) files.push_back(ListedFile{.key = item.key, .size = item.size});
    // Each batch is visited before the next is read: the bytes held at once
    // stay bounded.
    bool ok = read_listed(s, files, [&](size_t first, size_t end, std::vector<Ref>& data) {
        for (size_t k = first; k < end; ++k)
            if (!visit(items[k].path.get(), data[k - first].get())) return false;
        return true;
    });
    if (!ok) return Outcome::Error;
    return Outcome::Done;
}

Outcome remote_clear(PyObject* g, PyObject* module, PyObject* records, long long& count) {
    if (g_fast_disabled) return Outcome::Fallback;
    // Each deletion must be the module's own, finding files with the
    // module's own lookup, for the listing to stand in for them.
    Ref del = lookup_quiet(g, N.delete_simulation_result);
    Ref find = lookup_quiet(g, N._find_simulation_file);
    if (!is_own_function(del.get(), module, delete_simulation_result) ||
        !is_own_function(find.get(), module, find_simulation_file))
        return Outcome::Fallback;
    Ref root = simulations_dir(g);
    if (!root) return Outcome::Error;
    Store s;
    Outcome r = remote::open_store(root.get(), s);
    if (r != Outcome::Done) return r;
    r = remote::list_store(s);
    if (r != Outcome::Done) return r;
    return Clearing(g, del.get(), root.get(), s, count).run(records);
}

}  // namespace css
