// Saving, loading and the cache lookup by identity.
#include "frame/bodies.hpp"
#include "local/gates.hpp"
#include "frame/host.hpp"
#include "remote/batch.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace css {

namespace {

// Whether `path` is a local path whose `write_bytes` is pathlib's own, so the
// bytes may be written through a temporary file and a rename instead.
int is_plain_local_path(PyObject* path) {
    static PyObject* path_type = nullptr;
    static PyObject* write_bytes = nullptr;
    if (!path_type) {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return -1;
        Ref cls = Ref::steal(PyObject_GetAttrString(pathlib.get(), "PosixPath"));
        if (!cls) return -1;
        Ref base = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
        if (!base) return -1;
        Ref wb = getattr(base.get(), N.write_bytes);
        if (!wb) return -1;
        path_type = cls.release();
        write_bytes = wb.release();
    }
    int sub = PyObject_IsInstance(path, path_type);
    if (sub <= 0) return sub;
    Ref wb = getattr(reinterpret_cast<PyObject*>(Py_TYPE(path)), N.write_bytes);
    if (!wb) return -1;
    return wb.get() == write_bytes;
}

// Random temporary-file suffixes without a system call each: a splitmix64
// sequence seeded once per process. Two processes that share a sequence
// (after a fork) only meet in O_EXCL's refusal and take the next value.
unsigned long long temp_suffix() {
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

// Writes `data` to `path` so that readers see either the old file or the new
// one: the bytes go to a hidden temporary file in the same directory, which
// is then renamed over the target. The temporary file never survives a
// failure. Errors name the target where a direct write would name it (when
// opening), and name no file where a file object's write would not.
bool write_atomically(PyObject* path, PyObject* data) {
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
    // Keeps the temporary name within the file system's limit on names.
    if (base.size() > 200) base.resize(200);

    enum class Stage { Open, Write, Rename } stage = Stage::Open;
    int err = 0;
    Py_BEGIN_ALLOW_THREADS
    int fd = -1;
    std::string tmp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long long r = temp_suffix();
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", r);
        tmp = dir + "." + base + suffix;
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
        if (close(fd) != 0 && !err && errno != EINTR) err = errno;
        if (!err) {
            stage = Stage::Rename;
            if (rename(tmp.c_str(), target.c_str()) != 0) err = errno;
        }
        if (err) unlink(tmp.c_str());
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

PyObject* save_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    PyObject *component_name = a[0], *factory_name = a[1], *component_settings = a[2],
             *model_parameters = a[3], *hyperparameters = a[4], *simulation_type = a[5],
             *result = a[6], *wavelengths = a[7], *status = a[9], *error_message = a[10],
             *pdk_version = a[11];

    Ref compute = lookup(g, N._compute_simulation_id);
    if (!compute) return nullptr;
    Ref simulation_id = call(compute.get(),
                             {component_name, factory_name, component_settings, model_parameters,
                              hyperparameters, simulation_type},
                             N.kw_identity);
    if (!simulation_id) return nullptr;

    Ref get_path = lookup(g, N._get_simulation_file_path);
    if (!get_path) return nullptr;
    Ref file_path = call(get_path.get(), {simulation_type, component_name, simulation_id.get()});
    if (!file_path) return nullptr;

    Ref get_pdk = lookup(g, N.get_pdk_name);
    if (!get_pdk) return nullptr;
    Ref pdk_name = call(get_pdk.get(), {});
    if (!pdk_name) return nullptr;
    Ref datetime = lookup(g, N.datetime);
    if (!datetime) return nullptr;
    Ref utc = lookup(g, N.UTC);
    if (!utc) return nullptr;
    Ref now = call_method(datetime.get(), N.now, {utc.get()});
    if (!now) return nullptr;
    Ref date = call_method(now.get(), N.isoformat);
    if (!date) return nullptr;
    Ref version = lookup(g, N.__version__);
    if (!version) return nullptr;
    Ref seconds = Ref::steal(PyFloat_FromDouble(a.dbl));
    if (!seconds) return nullptr;

    Ref record_cls = lookup(g, N.StoredSimulationResult);
    if (!record_cls) return nullptr;
    Ref record = call(record_cls.get(),
                      {component_name, factory_name, component_settings, model_parameters,
                       hyperparameters, simulation_type, simulation_id.get(), pdk_name.get(),
                       pdk_version, date.get(), version.get(), result, wavelengths, seconds.get(),
                       status, error_message},
                      N.kw_record);
    if (!record) return nullptr;

    Ref orjson = lookup(g, N.orjson);
    if (!orjson) return nullptr;
    Ref dump = call_method(record.get(), N.model_dump);
    if (!dump) return nullptr;
    Ref dumps = getattr(orjson.get(), N.dumps);
    if (!dumps) return nullptr;
    Ref indent = getattr(orjson.get(), N.OPT_INDENT_2);
    if (!indent) return nullptr;
    Ref data = call(dumps.get(), {dump.get(), indent.get()}, N.kw_dumps_indent);
    if (!data) return nullptr;

    int local = PyBytes_CheckExact(data.get()) ? is_plain_local_path(file_path.get()) : 0;
    if (local < 0) return nullptr;
    if (local) {
        if (!write_atomically(file_path.get(), data.get())) return nullptr;
    } else if (!call_method(file_path.get(), N.write_bytes, {data.get()})) {
        return nullptr;
    }

    Ref line = concat_str(N.msg_saved, file_path.get());
    if (!line || !log_message(g, N.debug, line.get())) return nullptr;
    return record.release();
}

// Decodes and validates the bytes of one result file.
Ref decode_record(PyObject* g, PyObject* bytes) {
    Ref orjson = lookup(g, N.orjson);
    if (!orjson) return {};
    Ref loads = getattr(orjson.get(), N.loads);
    if (!loads) return {};
    Ref data = call(loads.get(), {bytes});
    if (!data) return {};
    Ref cls = lookup(g, N.StoredSimulationResult);
    if (!cls) return {};
    return call_method(cls.get(), N.model_validate, {data.get()});
}

// The bytes of a result file: read directly when `local` names a standard
// local path, else (or when that read fails) by the path's own read_bytes,
// which then reports the failure as the host does.
Ref read_bytes(PyObject* path, const std::string* local) {
    if (local) {
        Ref bytes;
        if (read_file(*local, bytes) == ReadResult::Ok) return bytes;
    }
    return call_method(path, N.read_bytes);
}

Ref read_record(PyObject* g, PyObject* path) {
    Ref bytes = read_bytes(path, nullptr);
    if (!bytes) return {};
    return decode_record(g, bytes.get());
}

PyObject* load_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref find = lookup(g, N._find_simulation_file);
    if (!find) return nullptr;
    Ref path = call(find.get(), {a[0]});
    if (!path) return nullptr;
    if (path.is_none()) Py_RETURN_NONE;
    std::string local_text;
    int local = local_path(path.get(), local_text);
    if (local < 0) return nullptr;
    // Opening the file answers the existence test too; anything but a
    // plain "not there" or success replays both through the path's methods.
    Ref bytes;
    ReadResult read = ReadResult::Failed;
    if (local) {
        read = read_file(local_text, bytes);
    } else {
        switch (remote_read(path.get(), bytes)) {
            case Outcome::Done: read = ReadResult::Ok; break;
            case Outcome::Error: return nullptr;
            case Outcome::Fallback: break;
        }
    }
    if (read != ReadResult::Ok) {
        int t = 0;
        if (read == ReadResult::Failed) {
            Ref exists = call_method(path.get(), N.exists);
            if (!exists) return nullptr;
            t = truth(exists.get());
            if (t < 0) return nullptr;
        }
        if (!t) {
            Ref line = concat_str(N.msg_not_found, path.get());
            if (!line || !log_message(g, N.warning, line.get())) return nullptr;
            Py_RETURN_NONE;
        }
        bytes = call_method(path.get(), N.read_bytes);
        if (!bytes) return nullptr;
    }
    return decode_record(g, bytes.get()).release();
}

PyObject* find_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref compute = lookup(g, N._compute_simulation_id);
    if (!compute) return nullptr;
    Ref simulation_id = call(compute.get(), {a[0], a[1], a[2], a[3], a[4], a[5]}, N.kw_identity);
    if (!simulation_id) return nullptr;
    Ref load = lookup(g, N.load_simulation_result);
    if (!load) return nullptr;
    return call(load.get(), {simulation_id.get()}).release();
}

}  // namespace css
