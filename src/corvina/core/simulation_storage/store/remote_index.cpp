// The result index on a listed store (see remote_index.hpp).
#include "store/remote_index.hpp"

#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/batch.hpp"
#include "remote/fsspec.hpp"
#include "remote/vetting.hpp"
#include "frame/file_names.hpp"

#include <algorithm>
#include <tuple>

namespace css::rindex {

namespace {

// Bytes of objects kept for the whole process, unless
// CORVINA_RESULT_INDEX_KEEP_MB says otherwise (read at every query, as the
// switch that turns the index off is).
constexpr size_t kDefaultKeepMb = 64;
constexpr size_t kMaxKeepMb = size_t{1} << 30;  // a petabyte: larger values are taken as it

size_t g_body_bytes = 0;
uint64_t g_use = 0;  // counts listings: when kept bytes were last used

// What a listed entry holds besides what every entry does.
struct Extra {
    std::string etag;  // as listed when the entry was last read
    std::string body;  // the object's bytes, when kept
    uint64_t used = 0;
};

struct ListedDir final : Dir {
    std::string key_prefix;    // the type directory's key, with its "/"
    std::vector<Extra> extra;  // by slot

    ~ListedDir() override {
        for (const Extra& e : extra) g_body_bytes -= e.body.size();
    }
    Extra& more(uint32_t slot) {
        if (extra.size() <= slot) extra.resize(static_cast<size_t>(slot) + 1);
        return extra[slot];
    }
    void drop_body(uint32_t slot) {
        Extra& e = more(slot);
        g_body_bytes -= e.body.size();
        std::string().swap(e.body);
    }
    void keep_body(uint32_t slot, PyObject* bytes) {
        drop_body(slot);
        Extra& e = more(slot);
        e.body.assign(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
        e.used = g_use;
        g_body_bytes += e.body.size();
    }
    void forget(uint32_t slot) {
        drop_body(slot);
        more(slot).etag.clear();
        free_entry(*this, slot);
    }
};

ListedDir& listed(Dir& d) { return static_cast<ListedDir&>(d); }

std::unique_ptr<Dir> make_listed() {
    auto d = std::make_unique<ListedDir>();
    d->remote = true;
    return d;
}

// Whether `bytes` are those the ETag names: their MD5, as S3 gives it for
// an object written in one request. 1 yes, 0 no (or not known), -1 error.
int etag_names(const std::string& etag, PyObject* bytes) {
    if (etag.size() != 32) return 0;
    static PyObject* md5 = nullptr;  // kept for the process, with its keywords
    static PyObject* kwargs = nullptr;
    if (!md5) {
        Ref hashlib = Ref::steal(PyImport_ImportModule("hashlib"));
        Ref f = hashlib ? Ref::steal(PyObject_GetAttrString(hashlib.get(), "md5")) : Ref{};
        Ref kw = Ref::steal(PyDict_New());
        if (!f || !kw || PyDict_SetItemString(kw.get(), "usedforsecurity", Py_False) < 0)
            return PyErr_ExceptionMatches(PyExc_Exception) ? (PyErr_Clear(), 0) : -1;
        md5 = f.release();
        kwargs = kw.release();
    }
    Ref args = Ref::steal(PyTuple_Pack(1, bytes));
    Ref h = args ? Ref::steal(PyObject_Call(md5, args.get(), kwargs)) : Ref{};
    Ref hex = h ? Ref::steal(PyObject_CallMethod(h.get(), "hexdigest", nullptr)) : Ref{};
    std::string_view text;
    if (!hex) return PyErr_ExceptionMatches(PyExc_Exception) ? (PyErr_Clear(), 0) : -1;
    if (!utf8_view(hex.get(), text) || text.size() != 32) return 0;
    for (size_t i = 0; i < 32; ++i) {
        char c = etag[i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (c != text[i]) return 0;
    }
    return 1;
}

// Puts what was read of the entry in `slot` (its bytes, or nullptr when
// they were not read whole) into it. false: an error is set.
bool take(ListedDir& d, uint32_t slot, PyObject* bytes, const ReadHook* hook) {
    Entry& x = d.entries[slot];
    d.drop_body(slot);
    x.slim = query::Slim{};
    x.valid = -1;
    x.stamp = next_stamp();
    x.kind = Kind::Other;
    x.racy = true;  // read again at the next query, unless vouched for below
    if (!bytes) return true;
    const int named = etag_names(d.more(slot).etag, bytes);
    if (named < 0) return false;
    x.racy = !named;
    static query::Document doc;  // kept from object to object, for its storage
    const char* p = PyBytes_AS_STRING(bytes);
    if (!query::scan_document(p, static_cast<size_t>(PyBytes_GET_SIZE(bytes)), doc) || !doc.object)
        return true;
    query::make_slim(doc, x.slim);
    query::pack(x.slim);
    x.kind = Kind::Kept;
    d.keep_body(slot, bytes);
    if (hook) (*hook)(d, x, doc);
    return true;
}

// The bound on kept bytes. false: an error is set (a value that is not a
// whole number of megabytes is refused rather than taken for the default).
bool body_budget(size_t& budget) {
    const char* v = getenv("CORVINA_RESULT_INDEX_KEEP_MB");
    size_t mb = kDefaultKeepMb;
    if (v && *v) {
        mb = 0;
        for (const char* c = v; *c; ++c) {
            if (*c < '0' || *c > '9') {
                PyErr_Format(PyExc_ValueError,
                             "CORVINA_RESULT_INDEX_KEEP_MB must be a whole number of megabytes "
                             "(0 keeps none), not '%s'", v);
                return false;
            }
            if (mb <= kMaxKeepMb) mb = mb * 10 + static_cast<size_t>(*c - '0');
        }
        if (mb > kMaxKeepMb) mb = kMaxKeepMb;
    }
    budget = mb << 20;
    return true;
}

// Past the bound, the kept bytes used longest ago go, down to three
// quarters of it.
bool keep_within_budget() {
    size_t budget = 0;
    if (!body_budget(budget)) return false;
    if (g_body_bytes <= budget) return true;
    std::vector<std::tuple<uint64_t, ListedDir*, uint32_t>> kept;
    for_each_dir([&](Dir& dir) {
        if (!dir.remote) return;
        ListedDir& d = listed(dir);
        for (uint32_t slot = 0; slot < d.extra.size(); ++slot)
            if (!d.extra[slot].body.empty()) kept.emplace_back(d.extra[slot].used, &d, slot);
    });
    std::sort(kept.begin(), kept.end());
    for (auto& [used, d, slot] : kept) {
        if (g_body_bytes <= budget / 4 * 3) break;
        d->drop_body(slot);
    }
    return true;
}

// Reads the entries `stale` of `d` in batches. false: an error is set.
bool read_stale(const remote::Store& s, ListedDir& d, const std::vector<uint32_t>& stale,
                const ReadHook* hook) {
    std::vector<ListedFile> files;
    files.reserve(stale.size());
    for (uint32_t slot : stale)
        files.push_back(ListedFile{.key = d.key_prefix + d.entries[slot].name,
                                   .size = static_cast<long long>(d.entries[slot].size)});
    return read_listed(s, files, [&](size_t first, size_t end, std::vector<Ref>& data) {
        for (size_t k = first; k < end; ++k)
            if (!take(d, stale[k], data[k - first].get(), hook)) return false;
        return keep_within_budget();
    });
}

// Brings `d` up to date with its part of the listing.
Outcome reconcile(const remote::Store& s, ListedDir& d, const remote::TypeDir& td,
                  const ReadHook* hook) {
    // Counted once: the entries kept already are in the index's count.
    const size_t added = td.entries.size() > d.live ? td.entries.size() - d.live : 0;
    if (!room_for(added)) return Outcome::Fallback;
    std::vector<char> seen(d.entries.size(), 0);
    std::vector<uint32_t> stale;
    uint32_t pos = 0;
    for (const remote::Entry& e : td.entries) {
        if (!is_result_file(e.name)) continue;
        // The walk reads these its own way, and may report them.
        if (e.dir || !e.file || e.size <= 0 || e.etag.empty()) return Outcome::Fallback;
        auto it = d.at.find(e.name);
        const bool fresh = it == d.at.end();
        const uint32_t slot = fresh ? new_slot(d, e.name) : it->second;
        Entry& x = d.entries[slot];
        Extra& extra = d.more(slot);
        if (fresh || x.racy || extra.etag != e.etag || x.size != e.size || d.dirty.count(e.name)) {
            extra.etag = e.etag;
            x.size = static_cast<off_t>(e.size);
            x.racy = true;  // until it is read
            stale.push_back(slot);
        }
        x.pos = pos++;
        if (slot < seen.size()) seen[slot] = 1;
    }
    for (uint32_t slot = 0; slot < seen.size(); ++slot)
        if (!seen[slot] && d.entries[slot].kind != Kind::Free) d.forget(slot);
    d.dirty.clear();
    d.order_exact = true;  // the listing's order: by name
    return read_stale(s, d, stale, hook) ? Outcome::Done : Outcome::Error;
}

}  // namespace

Outcome refresh_listed(remote::Store& s, PyObject* root, PyObject* simulation_type,
                       std::vector<Dir*>& dirs, const ReadHook* hook) {
    Outcome r = remote::open_store(root, s);
    if (r != Outcome::Done) return r;
    std::string_view only;
    const bool filtered = simulation_type != Py_None;
    // A listing in another order costs a request more per query, and only
    // S3's gives ETags.
    if (!s.sorted_listing || (filtered && (!utf8_view(simulation_type, only) || only.empty() ||
                                           only == "." || has_pattern_char(only))))
        return Outcome::Fallback;
    // A bound lowered since the last query applies now.
    if (!keep_within_budget()) return Outcome::Error;
    if ((r = remote::list_store(s)) != Outcome::Done) return r;
    ++g_use;
    // Keys begin with a NUL byte, which no local path holds.
    std::string base(1, '\0');
    base += remote::class_name(reinterpret_cast<PyObject*>(Py_TYPE(s.fs.get())));
    base.push_back('\0');
    base += s.prefix;
    for (const remote::TypeDir& td : s.dirs) {
        if (filtered && td.name != only) continue;
        Dir* kept = dir_at(base + td.name, make_listed);
        if (!kept) return Outcome::Fallback;
        ListedDir& d = listed(*kept);
        d.key_prefix = s.prefix + td.name + "/";
        if ((r = reconcile(s, d, td, hook)) != Outcome::Done) return r;
        dirs.push_back(&d);
    }
    return Outcome::Done;
}

Current listed_current(const remote::Store& s, Dir& dir, uint32_t slot, Ref& bytes) {
    ListedDir& d = listed(dir);
    Extra& e = d.more(slot);
    const Entry& x = d.entries[slot];
    if (!e.body.empty()) {
        e.used = g_use;
        bytes = Ref::steal(
            PyBytes_FromStringAndSize(e.body.data(), static_cast<Py_ssize_t>(e.body.size())));
        return bytes ? Current::Same : Current::Error;
    }
    std::vector<ListedFile> one{
        ListedFile{.key = d.key_prefix + x.name, .size = static_cast<long long>(x.size)}};
    Ref got;
    if (!read_listed(s, one, [&](size_t, size_t, std::vector<Ref>& data) {
            got = std::move(data[0]);
            return true;
        }))
        return Current::Error;
    if (!got ||
        !same_text(x, PyBytes_AS_STRING(got.get()), static_cast<size_t>(PyBytes_GET_SIZE(got.get()))))
        return Current::Changed;
    // Kept only when they are the bytes the listed ETag names (they may
    // have been replaced since the listing by others that read alike), or
    // for an entry read again at every query anyway.
    const int named = x.racy ? 1 : etag_names(e.etag, got.get());
    if (named < 0) return Current::Error;
    if (named) d.keep_body(slot, got.get());
    bytes = std::move(got);
    return Current::Same;
}

bool fetch_listed(const remote::Store& s, const std::vector<std::pair<Dir*, uint32_t>>& wanted) {
    std::vector<ListedFile> files;
    std::vector<std::pair<ListedDir*, uint32_t>> at;
    for (auto [dir, slot] : wanted) {
        if (!dir->remote) continue;
        ListedDir& d = listed(*dir);
        if (!d.more(slot).body.empty()) continue;
        const Entry& x = d.entries[slot];
        files.push_back(
            ListedFile{.key = d.key_prefix + x.name, .size = static_cast<long long>(x.size)});
        at.emplace_back(&d, slot);
    }
    if (files.empty()) return true;
    return read_listed(s, files, [&](size_t first, size_t end, std::vector<Ref>& data) {
        for (size_t k = first; k < end; ++k) {
            PyObject* got = data[k - first].get();
            auto [d, slot] = at[k];
            if (!got) continue;
            const int named = d->entries[slot].racy ? 1 : etag_names(d->more(slot).etag, got);
            if (named < 0) return false;
            if (named && same_text(d->entries[slot], PyBytes_AS_STRING(got),
                                   static_cast<size_t>(PyBytes_GET_SIZE(got))))
                d->keep_body(slot, got);
        }
        return true;
    });
}


}  // namespace css::rindex
