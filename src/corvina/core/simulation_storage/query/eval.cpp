// Evaluating a checked query over one record, wherever its values come
// from, and the sort keys of the records it matches.
#include "query/detail.hpp"

#include <cmath>

namespace css::query {

namespace {

using Kind = Value::Kind;

// A number as `math.isclose` takes it; false if it has no double.
bool as_double(const Value& v, double& out) {
    switch (v.kind) {
        case Kind::Int: out = static_cast<double>(v.i); return true;
        case Kind::Float: out = v.d; return true;
        case Kind::Big: {
            out = PyLong_AsDouble(v.big.get());
            if (out == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            return true;
        }
        default: return false;
    }
}

// CPython's math.isclose, term for term.
bool isclose(double a, double b, double rel_tol, double abs_tol) {
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    double diff = std::fabs(b - a);
    return ((diff <= std::fabs(rel_tol * b)) || (diff <= std::fabs(rel_tol * a))) ||
           (diff <= abs_tol);
}

struct Evaluator {
    const Query& q;
    Source& src;
    std::vector<signed char>& state;  // 0 not yet, 1 present, 2 missing
    std::vector<Value>& values;
    std::vector<signed char>& date_state;  // 0 not yet, 1 a date, 2 not
    std::vector<int64_t>& dates;

    Evaluator(const Query& query, Source& source, Scratch& s)
        : q(query), src(source), state(s.state), values(s.values), date_state(s.date_state),
          dates(s.dates) {
        const size_t n = query.paths.size();
        state.assign(n, 0);
        date_state.assign(n, 0);
        dates.assign(n, 0);
        if (values.size() < n) values.resize(n);
    }

    const Value* value(int path) {
        auto k = static_cast<size_t>(path);
        if (!state[k]) state[k] = src.resolve(q.paths[k], values[k]) ? 1 : 2;
        return state[k] == 1 ? &values[k] : nullptr;
    }

    // 1 the value is a date (its instant in `out`), 0 not, -1 error.
    int date(int path, const Value& v, int64_t& out) {
        auto k = static_cast<size_t>(path);
        if (!date_state[k]) {
            if (v.kind != Kind::Str) {
                date_state[k] = 2;
            } else {
                int r = date_instant(v.s, dates[k]);
                if (r < 0) return -1;
                date_state[k] = r ? 1 : 2;
            }
        }
        out = dates[k];
        return date_state[k] == 1;
    }

    // -1 error; else whether `v` equals the operand (or one item of the set).
    int same(int path, const Value& v, const Value& operand, bool dated, int64_t instant) {
        if (!dated) return equal(v, operand);
        int64_t at = 0;
        int r = date(path, v, at);
        if (r < 0) return -1;
        return r && at == instant;
    }

    int in_set(const Node& n, const Value& v) {
        for (size_t k = 0; k < n.set.size(); ++k) {
            int r = same(n.path, v, n.set[k], n.set_dated[k], n.set_instants[k]);
            if (r) return r;
        }
        return 0;
    }

    int test(const Node& n) {
        const Value* v = value(n.path);
        switch (n.op) {
            case Op::Exists: return (v != nullptr) == n.exists;
            case Op::Ne: {
                if (!v) return 1;
                int r = same(n.path, *v, n.operand, n.operand_dated, n.instant);
                return r < 0 ? -1 : !r;
            }
            case Op::Nin: {
                if (!v) return 1;
                int r = in_set(n, *v);
                return r < 0 ? -1 : !r;
            }
            default: break;
        }
        if (!v) return 0;
        switch (n.op) {
            case Op::Eq: return same(n.path, *v, n.operand, n.operand_dated, n.instant);
            case Op::In: return in_set(n, *v);
            case Op::Gt:
            case Op::Gte:
            case Op::Lt:
            case Op::Lte: {
                int c;
                if (n.operand_dated) {
                    int64_t at = 0;
                    int r = date(n.path, *v, at);
                    if (r <= 0) return r;
                    c = at < n.instant ? -1 : at > n.instant;
                } else {
                    c = order(*v, n.operand);
                    if (c == 2) return 0;
                }
                switch (n.op) {
                    case Op::Gt: return c > 0;
                    case Op::Gte: return c >= 0;
                    case Op::Lt: return c < 0;
                    default: return c <= 0;
                }
            }
            case Op::Regex: {
                if (v->kind != Kind::Str) return 0;
                Ref s = str_object(*v);
                if (!s) return -1;
                Ref m = Ref::steal(PyObject_CallMethod(n.pattern.get(), "search", "O", s.get()));
                if (!m) return -1;
                return !Py_IsNone(m.get());
            }
            case Op::Near: {
                double d = 0.0;
                if (!v->is_number() || !as_double(*v, d)) return 0;
                return isclose(d, n.near[0], n.near[1], n.near[2]);
            }
            default: return 0;
        }
    }

    int eval(const Node& n) {
        switch (n.kind) {
            case Node::Kind::Test: return test(n);
            case Node::Kind::Not: {
                int r = eval(n.children[0]);
                return r < 0 ? -1 : !r;
            }
            case Node::Kind::And:
                for (const Node& c : n.children) {
                    int r = eval(c);
                    if (r <= 0) return r;
                }
                return 1;
            case Node::Kind::Or:
                for (const Node& c : n.children) {
                    int r = eval(c);
                    if (r != 0) return r;
                }
                return 0;
        }
        return 0;
    }
};

}  // namespace

int matches(const Query& q, Source& src) {
    Scratch scratch;
    return matches(q, src, scratch);
}

int matches(const Query& q, Source& src, Scratch& scratch) {
    Evaluator e(q, src, scratch);
    return e.eval(q.root);
}

PyObject* ObjectSource::at(const Path& path) const {
    PyObject* o = data_;
    for (size_t k = 0; k < path.segments.size(); ++k) {
        PyObject* next = nullptr;
        if (PyDict_Check(o)) {
            next = PyDict_GetItemWithError(o, path.keys[k].get());
            if (!next) {
                PyErr_Clear();
                return nullptr;
            }
        } else if (PyList_Check(o) && path.indices[k] >= 0 && path.indices[k] < PyList_GET_SIZE(o)) {
            next = PyList_GET_ITEM(o, static_cast<Py_ssize_t>(path.indices[k]));
        } else {
            return nullptr;
        }
        o = next;
    }
    return o;
}

bool ObjectSource::resolve(const Path& path, Value& out) {
    PyObject* o = at(path);
    if (!o) return false;
    Ref keep = Ref::borrow(o);
    if (!from_object(o, out, false, std::string())) {
        PyErr_Clear();
        out = Value{};
        out.kind = Kind::Other;
    }
    return true;
}

bool make_sort_key(const Path& path, Source& src, SortKey& out) {
    out = SortKey{};
    if (!src.resolve(path, out.value)) return true;
    if (path.date) {
        if (out.value.kind != Kind::Str) return true;
        int r = date_instant(out.value.s, out.instant);
        if (r < 0) return false;
        if (r) {
            out.rank = 0;
            out.dated = true;
        }
        return true;
    }
    if (out.value.is_number()) out.rank = 0;
    else if (out.value.kind == Kind::Str) out.rank = 1;
    return true;
}

bool sort_before(const SortKey& a, const SortKey& b, bool descending) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.rank == 2) return false;
    int c = a.dated ? (a.instant < b.instant ? -1 : a.instant > b.instant)
                    : order(a.value, b.value);
    if (c == 2) return false;
    return descending ? c > 0 : c < 0;
}

}  // namespace css::query
