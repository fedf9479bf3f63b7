#include "modal/usage_hooks.hpp"

#include <structmember.h>

#include <climits>

#include "modal/fast_paths.hpp"
#include "modal/names.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/module.hpp"
#include "runtime/state.hpp"
#include "runtime/try_lock.hpp"

namespace qv::modal::usage_hooks {
namespace {

namespace names {
inline Name begin_call{"_begin_call"};
inline Name record_exchange{"_record_exchange"};
inline Name table{"_table"};
inline Name lock{"_lock"};
inline Name collectors{"_collectors"};
inline Name figures{"_Figures"};
inline Name record_request{"_record_request"};
inline Name ref{"ref"};
inline Name tokens{"tokens"};
inline Name reported{"reported"};
inline Name requests{"requests"};
inline Name exchanges{"exchanges"};
inline Name earlier_requests{"earlier_requests"};
inline Name earlier_tokens{"earlier_tokens"};
inline Name earlier_reported{"earlier_reported"};
inline Name zero_tokens{"_ZERO_TOKENS"};
inline Name earlier_exchanges{"earlier_exchanges"};
inline Name prompt_details{"prompt_tokens_details"};
inline Name completion_details{"completion_tokens_details"};
}  // namespace names

struct Own {
    Held module;
    Held begin_call;
    Held record_exchange;
    Held zero;  // the int 0, the details' share of a plain usage object
    OwnLock lock;  // the table's lock at start-up
    Held record_request;
};
Own own_hooks;

// The usage module's own _Figures class, a class with slots: while an entry
// is of exactly that class and the class keeps the version tag it had when
// its slots were found, `entry.<name>` is the slot's value and setting it
// stores into the slot (the figures_slots fast path).
enum class Figure { tokens, reported, requests, exchanges, earlier_tokens, earlier_reported, earlier_requests,
                    earlier_exchanges, ref };
constexpr int figure_count = (int) Figure::ref + 1;
const Name *const figure_names[figure_count] = {
    &names::tokens,         &names::reported,         &names::requests,          &names::exchanges,
    &names::earlier_tokens, &names::earlier_reported, &names::earlier_requests, &names::earlier_exchanges,
    &names::ref,
};
struct FiguresLayout {
    Held type;  // null when the class's slots were not all found
    unsigned int tag = 0;
    Py_ssize_t offsets[figure_count] = {};
};
FiguresLayout figures_layout;

bool figures_plain(nb::handle entry) {
    PyTypeObject *type = Py_TYPE(entry.ptr());
    return (PyObject *) type == figures_layout.type.ptr() && has_version_tag(type) &&
           type->tp_version_tag == figures_layout.tag;
}

PyObject **figure_slot(nb::handle entry, Figure which) {
    return (PyObject **) ((char *) entry.ptr() + figures_layout.offsets[(int) which]);
}

// entry.<figure>.
nb::object figure(nb::handle entry, Figure which) {
    if (fast::figures_slots.taken_if([&] { return figures_plain(entry) && *figure_slot(entry, which); }))
        return nb::borrow(*figure_slot(entry, which));
    return get_attr(entry, *figure_names[(int) which]);
}

// entry.<figure> = value.
void set_figure(nb::handle entry, Figure which, nb::handle value) {
    if (fast::figures_slots.taken_if([&] { return figures_plain(entry); })) {
        Py_XSETREF(*figure_slot(entry, which), Py_NewRef(value.ptr()));
        return;
    }
    set_attr(entry, *figure_names[(int) which], value);
}

// entry.<name> as a C integer, when it is a plain int; -1 otherwise.
long long count_of(nb::handle entry, Figure which) {
    nb::object value = figure(entry, which);
    if (!PyLong_CheckExact(value.ptr())) return -1;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) raise_current();
    return overflow ? -1 : n;
}

void set_count(nb::handle entry, Figure which, long long n) {
    nb::object count = own(PyLong_FromLongLong(n));
    set_figure(entry, which, count);
}

// A value of the usage module's namespace (borrowed), or null.
PyObject *module_value(const Name &name) {
    return remembered_global(own_hooks.module.h(), name);
}

// The usage module still calls its own hook `name`, and no collect() block
// is open in the running context (a collector gets its share through the
// Python hook).
bool hook_is_own(const Name &name, const Held &original) {
    if (!own_hooks.module || !global(modal::names::usage_module).is(own_hooks.module.h())) return false;
    if (module_value(name) != original.ptr()) return false;
    PyObject *var = module_value(names::collectors);
    if (!var || !PyContextVar_CheckExact(var)) return false;
    PyObject *open = nullptr;
    check(PyContextVar_Get(var, nullptr, &open));
    nb::object held = nb::steal(open);
    return open && PyTuple_CheckExact(open) && PyTuple_GET_SIZE(open) == 0;
}

// The table's lock, taken without waiting (runtime/try_lock.hpp).
class TableLock : public TryLock {
public:
    TableLock() : TryLock(module_value(names::lock), own_hooks.lock) {}
};

// The model's figures in the table, when they are there and belong to this
// model; a null object otherwise (the Python hook makes them).  Held, not
// borrowed: a collection during the updates may change the table.
nb::object entry_of(nb::handle model) {
    PyObject *table = module_value(names::table);
    PyObject *figures = module_value(names::figures);
    if (!table || !PyDict_CheckExact(table) || !figures) return {};
    nb::object key = own(PyLong_FromVoidPtr(model.ptr()));
    nb::object entry = nb::borrow(PyDict_GetItemWithError(table, key.ptr()));
    if (!entry.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return {};
    }
    if ((PyObject *) Py_TYPE(entry.ptr()) != figures) return {};
    nb::object ref = figure(entry, Figure::ref);
    if (!PyWeakref_CheckRefExact(ref.ptr())) return {};
    nb::object referent = own(PyObject_CallNoArgs(ref.ptr()));
    return referent.is(model) ? entry : nb::object();
}

// The three whole numbers of the plain usage object ({"prompt_tokens": ..,
// "completion_tokens": .., "total_tokens": ..}, not negative, without the
// details), as the Python hook's own fast case takes it.
bool plain_usage(nb::handle usage, nb::object out[3]) {
    if (!PyDict_CheckExact(usage.ptr())) return false;
    const Name *keys[3] = {&modal::names::prompt_tokens, &modal::names::completion_tokens,
                            &modal::names::total_tokens};
    for (int i = 0; i < 3; ++i) {
        PyObject *value = PyDict_GetItemWithError(usage.ptr(), keys[i]->ptr());
        if (!value) {
            if (PyErr_Occurred()) raise_current();
            return false;
        }
        if (!PyLong_CheckExact(value)) return false;
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (n == -1 && PyErr_Occurred()) raise_current();
        if (n < 0 || overflow < 0) return false;
        out[i] = nb::borrow(value);
    }
    for (const Name *details : {&names::prompt_details, &names::completion_details}) {
        PyObject *value = PyDict_GetItemWithError(usage.ptr(), details->ptr());
        if (!value && PyErr_Occurred()) raise_current();
        if (value && value != Py_None) return false;
    }
    return true;
}

// The five figures of `before` plus those of `added`, as a new list (what
// list(map(operator.add, before, added)) makes); null when either is not
// five figures long.
nb::object summed_tokens(nb::handle before, nb::handle added) {
    nb::object left = own(PySequence_Fast(before.ptr(), "usage figures must be a sequence"));
    nb::object right = own(PySequence_Fast(added.ptr(), "usage figures must be a sequence"));
    if (PySequence_Fast_GET_SIZE(left.ptr()) != 5 || PySequence_Fast_GET_SIZE(right.ptr()) != 5) return {};
    nb::object sum = own(PyList_New(5));
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject *figure =
            PyNumber_Add(PySequence_Fast_GET_ITEM(left.ptr(), i), PySequence_Fast_GET_ITEM(right.ptr(), i));
        PyList_SET_ITEM(sum.ptr(), i, own(figure).release().ptr());
    }
    return sum;
}

nb::handle zero_figure() { return own_hooks.zero.h(); }

// A figure as a C integer, when it is an exact int that fits.
bool small_count(PyObject *figure, long long &out) {
    if (!PyLong_CheckExact(figure)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(figure, &overflow);
    if (out == -1 && PyErr_Occurred()) raise_current();
    return overflow == 0;
}

// `before` plus the three reported figures (the details' two shares are 0),
// as summed_tokens makes it; added in C while every figure is a plain int
// far from the limits (the common case), by summed_tokens otherwise.
nb::object tokens_after(nb::handle before, const nb::object reported[3]) {
    constexpr long long far = 1LL << 61;
    if (PyList_CheckExact(before.ptr()) && PyList_GET_SIZE(before.ptr()) == 5) {
        long long totals[5];
        bool small = true;
        for (int i = 0; i < 5 && small; ++i) {
            long long earlier = 0, now = 0;
            small = small_count(PyList_GET_ITEM(before.ptr(), i), earlier) &&
                    (i >= 3 || small_count(reported[i].ptr(), now)) && earlier > -far && earlier < far &&
                    now < far;
            totals[i] = earlier + now;
        }
        if (small) {
            nb::object sum = own(PyList_New(5));
            for (Py_ssize_t i = 0; i < 5; ++i)
                PyList_SET_ITEM(sum.ptr(), i, own(PyLong_FromLongLong(totals[i])).release().ptr());
            return sum;
        }
    }
    nb::object added = own(PyTuple_Pack(5, reported[0].ptr(), reported[1].ptr(), reported[2].ptr(),
                                        zero_figure().ptr(), zero_figure().ptr()));
    return summed_tokens(before, added);
}

bool record_natively(nb::handle model, nb::handle usage) {
    nb::object figures[3];
    const bool reported = usage.is_valid() && !usage.is_none();
    if (reported && !plain_usage(usage, figures)) return false;
    TableLock lock;
    if (!lock.held()) return false;
    nb::object entry = entry_of(model);
    if (!entry.is_valid()) return false;
    const long long exchanges = count_of(entry, Figure::exchanges);
    const long long bits = reported ? count_of(entry, Figure::reported) : 0;
    if (exchanges < 0 || bits < 0) return false;
    nb::object tokens;
    if (reported && !(tokens = tokens_after(figure(entry, Figure::tokens), figures)).is_valid()) return false;
    set_count(entry, Figure::exchanges, exchanges + 1);
    if (reported) {
        set_figure(entry, Figure::tokens, tokens);
        set_count(entry, Figure::reported, bits | 0b00111);
    }
    return true;
}

bool request_natively(nb::handle model) {
    TableLock lock;
    if (!lock.held()) return false;
    nb::object entry = entry_of(model);
    if (!entry.is_valid()) return false;
    const long long requests = count_of(entry, Figure::requests);
    if (requests < 0 || requests == LLONG_MAX) return false;
    set_count(entry, Figure::requests, requests + 1);
    return true;
}

bool begin_natively(nb::handle model) {
    TableLock lock;
    if (!lock.held()) return false;
    nb::object entry = entry_of(model);
    if (!entry.is_valid()) return false;
    const long long requests = count_of(entry, Figure::requests);
    const long long exchanges = count_of(entry, Figure::exchanges);
    if (requests < 0 || exchanges < 0) return false;
    if (requests == 0 && exchanges == 0) return true;  // nothing to fold
    const long long reported = count_of(entry, Figure::reported);
    const long long earlier_requests = count_of(entry, Figure::earlier_requests);
    const long long earlier_exchanges = count_of(entry, Figure::earlier_exchanges);
    if (reported < 0 || earlier_requests < 0 || earlier_exchanges < 0) return false;
    if (reported) {
        // The latest call's tokens join the earlier calls' (what fold does).
        const long long earlier_reported = count_of(entry, Figure::earlier_reported);
        PyObject *zero = module_value(names::zero_tokens);
        if (earlier_reported < 0 || !zero) return false;
        nb::object earlier = summed_tokens(figure(entry, Figure::earlier_tokens), figure(entry, Figure::tokens));
        if (!earlier.is_valid()) return false;
        set_figure(entry, Figure::earlier_tokens, earlier);
        set_count(entry, Figure::earlier_reported, earlier_reported | reported);
        set_figure(entry, Figure::tokens, zero);
        set_count(entry, Figure::reported, 0);
    }
    set_count(entry, Figure::earlier_requests, earlier_requests + requests);
    set_count(entry, Figure::earlier_exchanges, earlier_exchanges + exchanges);
    set_count(entry, Figure::requests, 0);
    set_count(entry, Figure::exchanges, 0);
    return true;
}

// Where the slots of the usage module's _Figures lie, found at start-up.
void remember_figures(nb::handle cls) {
    if (!PyType_Check(cls.ptr()) || Py_TYPE(cls.ptr()) != &PyType_Type) return;
    auto *type = (PyTypeObject *) cls.ptr();
    // Attribute access must be object's own for the slots to be what it reads and writes.
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return;
    for (int i = 0; i < figure_count; ++i) {
        PyObject *descr = type_lookup(type, figure_names[i]->ptr());
        if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return;
        PyMemberDef *member = ((PyMemberDescrObject *) descr)->d_member;
        if (member->type != T_OBJECT_EX || (member->flags & READONLY)) return;
        figures_layout.offsets[i] = member->offset;
    }
    // The lookups above gave the class a tag if it can have one.
    if (!has_version_tag(type)) return;
    figures_layout.tag = type->tp_version_tag;
    figures_layout.type.set(cls);
}

}  // namespace

void remember(nb::handle usage_module) {
    own_hooks.module.set(usage_module);
    own_hooks.zero.set(own(PyLong_FromLong(0)));
    own_hooks.lock.remember(get_attr(usage_module, names::lock));
    own_hooks.record_request.set(get_attr(usage_module, names::record_request));
    own_hooks.begin_call.set(get_attr(usage_module, names::begin_call));
    own_hooks.record_exchange.set(get_attr(usage_module, names::record_exchange));
    remember_figures(get_attr(usage_module, names::figures));
}

void begin_call(nb::handle model) {
    if (fast::native_usage.taken_if([&] { return hook_is_own(names::begin_call, own_hooks.begin_call); }) &&
        begin_natively(model))
        return;
    vcall(get_attr(global(modal::names::usage_module), names::begin_call), {model.ptr()});
}

nb::handle own_module() { return own_hooks.module.h(); }

void record_request(nb::handle model) {
    if (fast::native_usage.taken_if([&] { return hook_is_own(names::record_request, own_hooks.record_request); }) &&
        request_natively(model))
        return;
    vcall(get_attr(global(modal::names::usage_module), names::record_request), {model.ptr()});
}

void record_exchange(nb::handle model, nb::handle usage) {
    if (fast::native_usage.taken_if([&] { return hook_is_own(names::record_exchange, own_hooks.record_exchange); }) &&
        record_natively(model, usage))
        return;
    vcall(get_attr(global(modal::names::usage_module), names::record_exchange),
          {model.ptr(), usage.is_valid() ? usage.ptr() : Py_None});
}

}  // namespace qv::modal::usage_hooks
