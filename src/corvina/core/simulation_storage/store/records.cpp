// Saving, loading and the cache lookup by identity.
#include "store/records.hpp"

#include "frame/bodies.hpp"
#include "frame/host.hpp"
#include "frame/outcome.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "remote/batch.hpp"

#include <string>

namespace css {

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
