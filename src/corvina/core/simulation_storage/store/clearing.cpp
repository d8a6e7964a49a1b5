// The clearing of a store on an fsspec file system (see clearing.hpp): the
// records of the listing removed as the store's own deletion removes them,
// found in one flat listing and removed in batches.
#include "store/clearing.hpp"

#include "frame/file_names.hpp"
#include "frame/function.hpp"
#include "frame/host.hpp"
#include "frame/text.hpp"
#include "local/gates.hpp"
#include "remote/batch.hpp"
#include "remote/fsspec.hpp"
#include "remote/listing.hpp"
#include "remote/removal.hpp"
#include "store/bodies.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css {

using remote::Entry;
using remote::fsspec_names;
using remote::Store;
using remote::TypeDir;

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
        Ref id = getattr(record, host_names.simulation_id);
        if (!id) return false;
        std::string_view id_text;
        const Slot* slot = nullptr;
        if (utf8_view(id.get(), id_text) && fits_in_file_name(id.get())) {
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
        Ref line = concat_str(host_names.msg_deleted, p.path.get());
        if (!line || !log_message(g_, host_names.debug, line.get())) return false;
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
        Ref removed = call_method(s_.fs.get(), fsspec_names.rm, {keys.get()});
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

Outcome clear_listed(PyObject* g, PyObject* module, PyObject* records, long long& count) {
    if (g_fast_disabled) return Outcome::Fallback;
    // Each deletion must be the module's own, finding files with the
    // module's own lookup, for the listing to stand in for them.
    Ref del = lookup_quiet(g, host_names.delete_simulation_result);
    Ref find = lookup_quiet(g, host_names._find_simulation_file);
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
