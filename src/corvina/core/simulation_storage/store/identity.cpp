// The simulation ID: SHA-256 over the key-sorted JSON text of the identity.
#include "codec/json_text.hpp"
#include "codec/sha256.hpp"
#include "frame/host.hpp"
#include "local/gates.hpp"
#include "store/bodies.hpp"

#include <string>

namespace css {

PyObject* compute_simulation_id(FunctionObject* self, const Args& a) {
    namespace at = arg::identity;
    PyObject* g = globals_of(self);
    Ref dump = call_method(a[at::hyperparameters], host_names.model_dump);
    if (!dump) return nullptr;
    Ref json = lookup(g, host_names.json);
    if (!json) return nullptr;
    // Looked up quietly: when it is missing, the literal path reports it at
    // the point where it is used.
    Ref hashlib_now = lookup_quiet(g, host_names.hashlib);
    if (hashlib_now && identity_is_standard(json.get(), hashlib_now.get())) {
        // The interpreter holds the lock, so one buffer serves every call.
        static std::string text;
        PyObject* const fields[6] = {a[at::component_name],     a[at::factory_name],
                                     a[at::component_settings], a[at::model_parameters],
                                     dump.get(),                a[at::simulation_type]};
        if (write_identity_text(fields, text)) {
            unsigned char digest[32];
            sha256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
            char hex[16];
            static const char digits[] = "0123456789abcdef";
            for (int i = 0; i < 8; ++i) {
                hex[2 * i] = digits[digest[i] >> 4];
                hex[2 * i + 1] = digits[digest[i] & 0xf];
            }
            return PyUnicode_FromStringAndSize(hex, 16);
        }
    }
    Ref identity = Ref::steal(PyDict_New());
    if (!identity) return nullptr;
    PyObject* values[6] = {a[at::component_name],     a[at::factory_name],
                           a[at::component_settings], a[at::model_parameters],
                           dump.get(),                a[at::simulation_type]};
    for (int i = 0; i < 6; ++i)
        if (PyDict_SetItem(identity.get(), PyTuple_GET_ITEM(host_names.kw_identity, i), values[i]) < 0)
            return nullptr;
    Ref dumps = getattr(json.get(), host_names.dumps);
    if (!dumps) return nullptr;
    Ref text = call(dumps.get(), {identity.get(), Py_True}, host_names.kw_sort_keys);
    if (!text) return nullptr;
    Ref data = call_method(text.get(), host_names.encode);
    if (!data) return nullptr;
    Ref hashlib = lookup(g, host_names.hashlib);
    if (!hashlib) return nullptr;
    Ref hash = call_method(hashlib.get(), host_names.sha256, {data.get()});
    if (!hash) return nullptr;
    Ref digest = call_method(hash.get(), host_names.digest);
    if (!digest) return nullptr;
    Ref head = Ref::steal(PyObject_GetItem(digest.get(), host_names.first_eight));
    if (!head) return nullptr;
    return call_method(head.get(), host_names.hex).release();
}

}  // namespace css
