// The batch path's operations (see batch.hpp): the lookup and the scan of a
// listing, answered from one flat listing of the store, and the batched read
// of listed files; the read of one file by the file system's own call for it.
// (The store's clearing, which removes what a listing found, is
// store/clearing.cpp.)
#include "remote/batch.hpp"

#include "frame/file_names.hpp"
#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/fsspec.hpp"
#include "remote/listing.hpp"
#include "remote/vetting.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace css {

using remote::Entry;
using remote::fsspec_names;
using remote::Store;
using remote::TypeDir;

namespace {

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
        PyList_SET_ITEM(starts.get(), k, Py_NewRef(host_names.int0));
        PyList_SET_ITEM(ends.get(), k, end.release());
    }
    Ref out = call_method(s.fs.get(), fsspec_names.cat_ranges, {paths.get(), starts.get(), ends.get()});
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

Outcome remote_find(PyObject* root, PyObject* simulation_id, Ref& found) {
    Store s;
    Outcome r = remote::open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view id;
    if (!utf8_view(simulation_id, id) || !fits_in_file_name(simulation_id))
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
                  ? call_method(s.fs.get(), fsspec_names.cat_file, {s.path.get(), host_names.int1},
                                fsspec_names.kw_max_concurrency)
                  : call_method(s.fs.get(), fsspec_names.cat_file, {s.path.get()});
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
    if (filtered && (!utf8_view(simulation_type, only) || only.empty() || only == "." ||
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

}  // namespace css
