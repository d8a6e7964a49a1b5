// Saving, loading and the cache lookup by identity.
#include "store/records.hpp"

#include "frame/host.hpp"
#include "frame/outcome.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "remote/batch.hpp"
#include "store/bodies.hpp"

#include <string>

namespace css {

namespace {

thread_local bool t_durable = false;

// After a save through the path's own write_bytes: the file and its
// directory pushed to the disk, when the path is a local one.
bool sync_written(PyObject* path) {
    static PyObject* pure_posix = nullptr;
    if (!pure_posix) {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return false;
        pure_posix = PyObject_GetAttrString(pathlib.get(), "PurePosixPath");
        if (!pure_posix) return false;
    }
    int local = PyObject_IsInstance(path, pure_posix);
    if (local <= 0) return local == 0;
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(fspath.get(), &raw)) return false;
    Ref encoded = Ref::steal(raw);
    return sync_file_and_dir(PyBytes_AS_STRING(encoded.get()), path);
}

// `_compute_simulation_id(...)` of the identity fields, the first six
// arguments of both save and find.
Ref simulation_id_of(PyObject* g, const Args& a) {
    namespace at = arg::identity;
    return call_global(g, host_names._compute_simulation_id,
                       {a[at::component_name], a[at::factory_name], a[at::component_settings],
                        a[at::model_parameters], a[at::hyperparameters], a[at::simulation_type]},
                       host_names.kw_identity);
}

// The record that a save stores: its arguments, the ID, and what the host
// says of the PDK, the time and its own version.
Ref make_record(PyObject* g, const Args& a, PyObject* simulation_id) {
    namespace at = arg::save;
    namespace id = arg::identity;
    PyObject *component_name = a[id::component_name], *factory_name = a[id::factory_name],
             *component_settings = a[id::component_settings],
             *model_parameters = a[id::model_parameters],
             *hyperparameters = a[id::hyperparameters], *simulation_type = a[id::simulation_type],
             *result = a[at::result], *wavelengths = a[at::wavelengths], *status = a[at::status],
             *error_message = a[at::error_message], *pdk_version = a[at::pdk_version];
    Ref pdk_name = call_global(g, host_names.get_pdk_name);
    if (!pdk_name) return {};
    Ref datetime = lookup(g, host_names.datetime);
    if (!datetime) return {};
    Ref utc = lookup(g, host_names.UTC);
    if (!utc) return {};
    Ref now = call_method(datetime.get(), host_names.now, {utc.get()});
    if (!now) return {};
    Ref date = call_method(now.get(), host_names.isoformat);
    if (!date) return {};
    Ref version = lookup(g, host_names.__version__);
    if (!version) return {};
    Ref seconds = Ref::steal(PyFloat_FromDouble(a.dbl));
    if (!seconds) return {};
    return call_global(g, host_names.StoredSimulationResult,
                       {component_name, factory_name, component_settings, model_parameters,
                        hyperparameters, simulation_type, simulation_id, pdk_name.get(),
                        pdk_version, date.get(), version.get(), result, wavelengths,
                        seconds.get(), status, error_message},
                       host_names.kw_record);
}

// The bytes of a result file: the record's dump as indented JSON.
Ref encode_record(PyObject* g, PyObject* record) {
    Ref orjson = lookup(g, host_names.orjson);
    if (!orjson) return {};
    Ref dump = call_method(record, host_names.model_dump);
    if (!dump) return {};
    Ref dumps = getattr(orjson.get(), host_names.dumps);
    if (!dumps) return {};
    Ref indent = getattr(orjson.get(), host_names.OPT_INDENT_2);
    if (!indent) return {};
    return call(dumps.get(), {dump.get(), indent.get()}, host_names.kw_dumps_indent);
}

}  // namespace

DurableSaves::DurableSaves() : before_(t_durable) { t_durable = true; }
DurableSaves::~DurableSaves() { t_durable = before_; }

PyObject* save_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    const bool durable = t_durable;
    PyObject* component_name = a[arg::identity::component_name];
    PyObject* simulation_type = a[arg::identity::simulation_type];
    Ref simulation_id = simulation_id_of(g, a);
    if (!simulation_id) return nullptr;
    Ref file_path = call_global(g, host_names._get_simulation_file_path,
                                {simulation_type, component_name, simulation_id.get()});
    if (!file_path) return nullptr;
    Ref record = make_record(g, a, simulation_id.get());
    if (!record) return nullptr;
    Ref data = encode_record(g, record.get());
    if (!data) return nullptr;

    int local = PyBytes_CheckExact(data.get()) ? is_plain_local_path(file_path.get()) : 0;
    if (local < 0) return nullptr;
    if (local) {
        if (!write_atomically(file_path.get(), data.get(), durable)) return nullptr;
    } else if (!call_method(file_path.get(), host_names.write_bytes, {data.get()})) {
        return nullptr;
    } else if (durable && !sync_written(file_path.get())) {
        return nullptr;
    }

    Ref line = concat_str(host_names.msg_saved, file_path.get());
    if (!line || !log_message(g, host_names.debug, line.get())) return nullptr;
    return record.release();
}

Ref decode_record(PyObject* g, PyObject* bytes) {
    Ref orjson = lookup(g, host_names.orjson);
    if (!orjson) return {};
    Ref loads = getattr(orjson.get(), host_names.loads);
    if (!loads) return {};
    Ref data = call(loads.get(), {bytes});
    if (!data) return {};
    Ref cls = lookup(g, host_names.StoredSimulationResult);
    if (!cls) return {};
    return call_method(cls.get(), host_names.model_validate, {data.get()});
}

PyObject* load_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref path = call_global(g, host_names._find_simulation_file, {a[arg::by_id::simulation_id]});
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
        int t = read == ReadResult::Failed ? call_truth(path.get(), host_names.exists) : 0;
        if (t < 0) return nullptr;
        if (!t) {
            Ref line = concat_str(host_names.msg_not_found, path.get());
            if (!line || !log_message(g, host_names.warning, line.get())) return nullptr;
            Py_RETURN_NONE;
        }
        bytes = call_method(path.get(), host_names.read_bytes);
        if (!bytes) return nullptr;
    }
    return decode_record(g, bytes.get()).release();
}

PyObject* find_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref simulation_id = simulation_id_of(g, a);
    if (!simulation_id) return nullptr;
    return call_global(g, host_names.load_simulation_result, {simulation_id.get()}).release();
}

}  // namespace css
