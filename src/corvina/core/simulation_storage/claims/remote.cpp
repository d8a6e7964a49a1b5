// Claims on object stores and other fsspec file systems, through the file
// system's own methods.
//
// A claim is created with `pipe_file(key, data, mode="create")`, which s3fs
// sends as a PUT with `If-None-Match: *`: the service refuses the second
// create of a key (FileExistsError). Its holder refreshes it with
// `If-Match` on the version it wrote last, so a claim removed meanwhile is
// never made again. Releasing deletes the holder's own key only: each key has
// one owner for as long as it exists, so no conditional delete is needed
// (some services ignore `If-Match` on deletes).
//
// Some S3-compatible services ignore conditional headers altogether. Each
// store is probed once per process, by its first claim: a create refused
// proves the service honours the header; a create that went through is sent
// again, and that second one must be refused. Where creates are not
// exclusive, a warning says so once, the probing claim is removed, and the
// store is used without claims.
#include "claims/claim.hpp"

#include "frame/host.hpp"

#include <string>
#include <unistd.h>
#include <unordered_map>

namespace css::claims {

namespace {

struct Names {
    PyObject* pipe_file;
    PyObject* cat_file;
    PyObject* rm_file;
    PyObject* mode;
    PyObject* create;
    PyObject* start;
    PyObject* end;
    PyObject* kw_create;  // ("mode",)
    PyObject* kw_start;   // ("start",)
    PyObject* kw_range;   // ("start", "end")
    PyObject* int0;
    PyObject* int1;
};
Names K{};

bool init_names() {
    if (K.int1) return true;
    auto intern = [](PyObject*& slot, const char* text) {
        return slot || (slot = PyUnicode_InternFromString(text)) != nullptr;
    };
    if (!intern(K.pipe_file, "pipe_file") || !intern(K.cat_file, "cat_file") ||
        !intern(K.rm_file, "rm_file") || !intern(K.mode, "mode") || !intern(K.create, "create") ||
        !intern(K.start, "start") || !intern(K.end, "end"))
        return false;
    if (!K.kw_create && !(K.kw_create = PyTuple_Pack(1, K.mode))) return false;
    if (!K.kw_start && !(K.kw_start = PyTuple_Pack(1, K.start))) return false;
    if (!K.kw_range && !(K.kw_range = PyTuple_Pack(2, K.start, K.end))) return false;
    if (!K.int0 && !(K.int0 = PyLong_FromLong(0))) return false;
    return (K.int1 = PyLong_FromLong(1)) != nullptr;
}

std::string text_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return {};
    }
    return std::string(p, static_cast<size_t>(n));
}

Ref bytes_of(const std::string& s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Creates `key` with `data` only if absent. 1 created (`out`: the call's
// answer), 0 it exists, -1 error set.
int create_key(PyObject* fs, PyObject* key, PyObject* data, Ref* out = nullptr) {
    Ref pipe = getattr(fs, K.pipe_file);
    if (!pipe) return -1;
    Ref r = call(pipe.get(), {key, data, K.create}, K.kw_create);
    if (r) {
        if (out) *out = std::move(r);
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Removes `key`; one that is not there is no error.
bool remove_key(PyObject* fs, PyObject* key) {
    Ref rm = getattr(fs, K.rm_file);
    if (!rm) return false;
    if (call(rm.get(), {key})) return true;
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return false;
    PyErr_Clear();
    return true;
}

// What this process knows of each store's creates: not yet tried, shown
// exclusive, or shown not to be (the store then holds no claims).
enum class Creates { Untried, Exclusive, NotExclusive };
std::unordered_map<std::string, Creates> g_probed;

// Said once per process and store, which is then used without claims.
bool without_claims(const std::string& where, const char* why) {
    g_probed[where] = Creates::NotExclusive;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "the store %s cannot hold claims (%s); simulations missing from it "
                            "are computed without claims, so workers that miss the same one at "
                            "the same time all compute it",
                            where.c_str(), why) == 0;
}

class RemoteSite final : public Site {
  public:
    RemoteSite(PyObject* fs, PyObject* type_key, PyObject* result_name, PyObject* stem,
               std::string where)
        : fs_(Ref::borrow(fs)),
          type_key_(text_of(type_key)),
          result_key_(type_key_ + "/" + text_of(result_name)),
          stem_(text_of(stem)),
          where_(std::move(where)) {}

    std::string describe(int g) const override { return type_key_ + "/" + claim_name(stem_, g); }
    Ref key(int g) const {
        std::string k = describe(g);
        return Ref::steal(PyUnicode_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size())));
    }

    Made create(int g, const Content& content, std::shared_ptr<Held>& held) override {
        Ref k = key(g);
        Ref data = bytes_of(content.text());
        if (!k || !data) return Made::Error;
        Ref answer;
        int r = create_key(fs_.get(), k.get(), data.get(), &answer);
        if (r < 0 && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            // No bucket yet: made as the first save would make it.
            PyErr_Clear();
            if (!make_type_dir()) return Made::Error;
            r = create_key(fs_.get(), k.get(), data.get(), &answer);
        }
        const bool probing = g_probed[where_] == Creates::Untried;
        if (r < 0) {
            // A file system that does not know exclusive creates at all.
            if (!probing || !(PyErr_ExceptionMatches(PyExc_TypeError) ||
                              PyErr_ExceptionMatches(PyExc_NotImplementedError) ||
                              PyErr_ExceptionMatches(PyExc_ValueError)))
                return Made::Error;
            PyErr_Clear();
            return without_claims(where_, "its file system refuses exclusive creates")
                       ? Made::Unsupported
                       : Made::Error;
        }
        if (r == 0) {
            if (probing) g_probed[where_] = Creates::Exclusive;  // refused: the header counts
            return Made::Exists;
        }
        if (probing) {
            int again = create_key(fs_.get(), k.get(), data.get());
            if (again != 0) {
                // An error, or a second create that went through: either
                // way the claim just made is not kept.
                Ref pending = again < 0 ? Ref::steal(PyErr_GetRaisedException()) : Ref{};
                if (!remove_key(fs_.get(), k.get())) {
                    if (pending) PyErr_Clear();
                    else return Made::Error;
                }
                if (pending) {
                    PyErr_SetRaisedException(pending.release());
                    return Made::Error;
                }
                return without_claims(where_, "a second create of one key succeeded: the "
                                              "service ignores conditional writes")
                           ? Made::Unsupported
                           : Made::Error;
            }
            g_probed[where_] = Creates::Exclusive;
        }
        held = std::make_shared<Held>();
        held->pid = getpid();
        held->generation = g;
        held->content = content;
        held->remote = true;
        held->interp = PyInterpreterState_Get();
        held->fs = Py_NewRef(fs_.get());
        held->key = k.release();
        if (PyDict_Check(answer.get())) {
            PyObject* tag = nullptr;
            if (PyDict_GetItemStringRef(answer.get(), "ETag", &tag) < 0) PyErr_Clear();
            if (tag && PyUnicode_Check(tag))
                held->etag = tag;
            else
                Py_XDECREF(tag);
        }
        return Made::Won;
    }

    Seen read(int g, std::string& bytes) override {
        Ref k = key(g);
        if (!k) return Seen::Error;
        Ref cat = getattr(fs_.get(), K.cat_file);
        if (!cat) return Seen::Error;
        // From offset 0: one GET, without asking for the size first.
        Ref r = call(cat.get(), {k.get(), K.int0}, K.kw_start);
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return Seen::Error;
            PyErr_Clear();
            return Seen::Gone;
        }
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(r.get(), &p, &n) < 0) return Seen::Error;
        bytes.assign(p, static_cast<size_t>(n));
        return Seen::Present;
    }

    int result_present() override {
        Ref k = Ref::steal(PyUnicode_FromStringAndSize(
            result_key_.data(), static_cast<Py_ssize_t>(result_key_.size())));
        if (!k) return -1;
        Ref cat = getattr(fs_.get(), K.cat_file);
        if (!cat) return -1;
        Ref r = call(cat.get(), {k.get(), K.int0, K.int1}, K.kw_range);
        if (r) return 1;
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
        PyErr_Clear();
        return 0;
    }

    bool release(const std::shared_ptr<Held>& held) override {
        Py_BEGIN_ALLOW_THREADS
        let_go(held);
        Py_END_ALLOW_THREADS
        bool ok = true;
        if (held->pid == getpid() && held->key) {
            const int g = held->generation;
            // A holder that may have been judged stale asks whether a waiter
            // took over before it removes anything.
            bool superseded = false;
            if (may_have_been_taken_over(*held)) {
                std::string bytes;
                Seen s = read(g + 1, bytes);
                if (s == Seen::Error) ok = false;
                superseded = s == Seen::Present;
                // A successor done already has removed this generation, and
                // its name may be a newcomer's claim by now.
                if (ok && !superseded) {
                    Seen own = read(g, bytes);
                    if (own == Seen::Error) ok = false;
                    superseded = own == Seen::Gone || parse(bytes).owner != held->content.owner();
                }
            }
            if (ok && !superseded) {
                ok = remove_key(fs_.get(), held->key);
                for (int j = g - 1; ok && j >= 0; --j) {
                    Ref k = key(j);
                    ok = k && remove_key(fs_.get(), k.get());
                }
            }
        }
        Py_CLEAR(held->fs);
        Py_CLEAR(held->key);
        Py_CLEAR(held->etag);
        return ok;
    }

  private:
    bool make_type_dir() {
        Ref makedirs = Ref::steal(PyObject_GetAttrString(fs_.get(), "makedirs"));
        Ref dir = Ref::steal(PyUnicode_FromStringAndSize(
            type_key_.data(), static_cast<Py_ssize_t>(type_key_.size())));
        Ref kw = Ref::steal(Py_BuildValue("(s)", "exist_ok"));
        return makedirs && dir && kw && call(makedirs.get(), {dir.get(), Py_True}, kw.get());
    }

    Ref fs_;
    std::string type_key_, result_key_, stem_, where_;
};

// Whether `fs.pipe_file` is fsspec's generic one, which tests for the file
// and then writes it: two steps, so two creators can both succeed.
int generic_pipe_file(PyObject* fs) {
    Ref spec = Ref::steal(PyImport_ImportModule("fsspec.spec"));
    if (!spec) return -1;
    Ref base = Ref::steal(PyObject_GetAttrString(spec.get(), "AbstractFileSystem"));
    if (!base) return -1;
    Ref generic = getattr(base.get(), K.pipe_file);
    Ref bound = getattr(fs, K.pipe_file);
    if (!generic || !bound) return -1;
    Ref func = Ref::steal(PyObject_GetAttrString(bound.get(), "__func__"));
    if (!func) {
        PyErr_Clear();
        return 0;
    }
    return func.get() == generic.get();
}

}  // namespace

std::unique_ptr<Site> remote_site(PyObject* root, PyObject* fs, PyObject* type_key,
                                  PyObject* result_name, PyObject* stem) {
    if (!init_names()) return nullptr;
    Ref root_text = Ref::steal(PyObject_Str(root));
    if (!root_text) return nullptr;
    return std::make_unique<RemoteSite>(fs, type_key, result_name, stem, text_of(root_text.get()));
}

Outcome remote_supported(PyObject* root, PyObject* fs) {
    if (!init_names()) return Outcome::Error;
    Ref root_text = Ref::steal(PyObject_Str(root));
    if (!root_text) return Outcome::Error;
    const std::string where = text_of(root_text.get());
    auto known = g_probed.find(where);
    if (known != g_probed.end())
        return known->second == Creates::NotExclusive ? Outcome::Fallback : Outcome::Done;
    int generic = generic_pipe_file(fs);
    if (generic < 0) return Outcome::Error;
    if (!generic) {
        g_probed.emplace(where, Creates::Untried);  // the first claim's create tells
        return Outcome::Done;
    }
    if (!without_claims(where, "its file system tests for a file and then writes it, in two steps"))
        return Outcome::Error;
    return Outcome::Fallback;
}

}  // namespace css::claims
