// The simulation ID: SHA-256 over the key-sorted JSON text of the identity.
#include "bodies.hpp"
#include "host.hpp"

namespace css {

PyObject* compute_simulation_id(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref dump = call_method(a[4], N.model_dump);
    if (!dump) return nullptr;
    Ref identity = Ref::steal(PyDict_New());
    if (!identity) return nullptr;
    PyObject* values[6] = {a[0], a[1], a[2], a[3], dump.get(), a[5]};
    for (int i = 0; i < 6; ++i)
        if (PyDict_SetItem(identity.get(), PyTuple_GET_ITEM(N.kw_identity, i), values[i]) < 0)
            return nullptr;
    Ref json = lookup(g, N.json);
    if (!json) return nullptr;
    Ref dumps = getattr(json.get(), N.dumps);
    if (!dumps) return nullptr;
    Ref text = call(dumps.get(), {identity.get(), Py_True}, N.kw_sort_keys);
    if (!text) return nullptr;
    Ref data = call_method(text.get(), N.encode);
    if (!data) return nullptr;
    Ref hashlib = lookup(g, N.hashlib);
    if (!hashlib) return nullptr;
    Ref hash = call_method(hashlib.get(), N.sha256, {data.get()});
    if (!hash) return nullptr;
    Ref digest = call_method(hash.get(), N.digest);
    if (!digest) return nullptr;
    Ref head = Ref::steal(PyObject_GetItem(digest.get(), N.first_eight));
    if (!head) return nullptr;
    return call_method(head.get(), N.hex).release();
}

}  // namespace css
