#include "modal/call_reading.hpp"

#include <cstdint>

// The file is looked at natively where the stat fields are those this
// system's os.stat reads (elsewhere the Python lookup looks at it).
#if defined(__linux__)
#include <sys/stat.h>
#include <unistd.h>
#define QUORVEL_NATIVE_FILE_LOOK 1
#else
#define QUORVEL_NATIVE_FILE_LOOK 0
#endif

#include "modal/fast_paths.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/module.hpp"
#include "runtime/state.hpp"

namespace qv::modal::call_reading {
namespace {

namespace names {
inline Name open{"open"};
inline Name close{"close"};
inline Name call_settings{"_call_settings"};
inline Name configurator{"Configurator"};
inline Name options{"OPTIONS"};
inline Name readings{"_readings"};
inline Name held{"_held"};
inline Name reading{"reading"};
inline Name has_option{"has_option"};
inline Name get{"get"};
inline Name options_lookup{"_options"};
inline Name lookup{"_lookup"};
inline Name version{"_version"};
inline Name plans{"_plans"};
inline Name files{"_files"};
inline Name keys{"keys"};
inline Name last{"last"};
inline Name environ{"environ"};
inline Name data{"_data"};
inline Name mode{"mode"};
inline Name trusted{"trusted"};
inline Name identity{"identity"};
inline Name check_permissions{"_check_permissions"};
inline Name api_key{"api_key"};
inline Name held_function{"held"};
inline Name transport{"_transport"};
inline Name check_settings{"check_settings"};
inline Name reading_class{"Reading"};
inline Name section{"section"};
inline Name values{"values"};
inline Name derived{"derived"};
inline Name transport_settings{"transport"};
inline Name answer_settings{"answer"};
}  // namespace names

struct Own {
    Held module;                                  // quorvel._call_settings
    Held open, close;                             // its functions at start-up
    Held configurator;                            // quorvel.config.Configurator
    Held has_option, get, options, lookup, version;  // Configurator's own lookups
    Held plan_type, reading_type, parsed_type, absent;  // quorvel.config's records
    Held os_module, environ_type;
    Held api_key, held, reading_class;  // _call_settings.api_key, held and Reading
    Held transport, check_settings;  // quorvel._transport and its check_settings
};
Own own_parts;

// A value of a namespace dict (borrowed), or null.
PyObject *value_in(PyObject *dict, const Name &name) { return remembered_item(dict, name.ptr()); }

PyObject *module_value(const Name &name) { return remembered_global(own_parts.module.h(), name); }

// _call_settings is the module's own and still calls its own `name`.
bool function_is_own(const Name &name, const Held &original) {
    if (!own_parts.module || !global(names::call_settings).is(own_parts.module.h())) return false;
    return module_value(name) == original.ptr();
}

// Configurator, asked about a section given as text, with its own lookups
// (what _call_settings.own_lookup decides, and the lookup's own steps).
bool own_configuration(nb::handle configurator, nb::handle section) {
    if (!configurator.is(own_parts.configurator.h()) || !PyUnicode_CheckExact(section.ptr())) return false;
    if (module_value(names::configurator) != configurator.ptr()) return false;
    PyObject *table = ((PyTypeObject *) configurator.ptr())->tp_dict;
    if (!table) return false;
    return value_in(table, names::has_option) == own_parts.has_option.ptr() &&
           value_in(table, names::get) == own_parts.get.ptr() &&
           value_in(table, names::options_lookup) == own_parts.options.ptr() &&
           value_in(table, names::lookup) == own_parts.lookup.ptr() &&
           value_in(table, names::version) == own_parts.version.ptr();
}

// The environment variables `keys` (encoded, as os.environ keeps them) have
// the raw values `seen` still.
bool environment_unchanged(PyObject *keys, PyObject *seen) {
    PyObject *environ = remembered_global(own_parts.os_module.h(), names::environ);
    if (!environ || (PyObject *) Py_TYPE(environ) != own_parts.environ_type.ptr()) return false;
    nb::object data = get_attr(environ, names::data);
    if (!PyDict_CheckExact(data.ptr()) || !PyTuple_CheckExact(keys) || !PyTuple_CheckExact(seen)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(keys);
    if (n == 0 || PyTuple_GET_SIZE(seen) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *now = PyDict_GetItemWithError(data.ptr(), PyTuple_GET_ITEM(keys, i));
        if (!now && PyErr_Occurred()) raise_current();
        PyObject *then = PyTuple_GET_ITEM(seen, i);
        if (!now) {
            if (then != Py_None) return false;
            continue;
        }
        if (now != then && check(PyObject_RichCompareBool(now, then, Py_EQ)) != 1) return false;
    }
    return true;
}

// The file named `name` as Configurator._version finds it, when that is
// known without reading it: `absent` (null) when it was missing last time
// and still is, the version kept when a trusted version's stat is unchanged.
// False when only the Python lookup can tell.
bool known_version(PyObject *configuration_table, PyObject *name, PyObject *&version) {
#if !QUORVEL_NATIVE_FILE_LOOK
    (void) configuration_table, (void) name, (void) version;
    return false;
#else
    PyObject *files = value_in(configuration_table, names::files);
    if (!files || !PyDict_CheckExact(files) || !PyUnicode_CheckExact(name)) return false;
    // Held: other threads may change the table while the look at the file
    // below runs without the GIL.
    nb::object kept = nb::borrow(PyDict_GetItemWithError(files, name));
    if (!kept.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    PyObject *known = kept.ptr();
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(name, &encoded)) {
        PyErr_Clear();  // the lookup itself meets the error
        return false;
    }
    nb::object path = nb::steal(encoded);
    const char *c_path = PyBytes_AS_STRING(encoded);
    if (known == own_parts.absent.ptr()) {
        int found;
        Py_BEGIN_ALLOW_THREADS found = access(c_path, F_OK);
        Py_END_ALLOW_THREADS if (found == 0) return false;  // it is there now
        version = nullptr;
        return true;
    }
    if ((PyObject *) Py_TYPE(known) != own_parts.parsed_type.ptr()) return false;
    nb::handle parsed(known);
    if (get_attr(parsed, names::trusted).ptr() != Py_True) return false;
    nb::object identity = get_attr(parsed, names::identity);
    if (!PyTuple_CheckExact(identity.ptr()) || PyTuple_GET_SIZE(identity.ptr()) != 5) return false;
    struct stat st;
    int failed;
    Py_BEGIN_ALLOW_THREADS failed = stat(c_path, &st);
    Py_END_ALLOW_THREADS if (failed) return false;
    // What _identity makes of the stat: inode, device, size, and the two
    // time stamps in nanoseconds.
    const std::uint64_t now[5] = {
        (std::uint64_t) st.st_ino,
        (std::uint64_t) st.st_dev,
        (std::uint64_t) st.st_size,
        (std::uint64_t) ((std::int64_t) st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec),
        (std::uint64_t) ((std::int64_t) st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec),
    };
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject *field = PyTuple_GET_ITEM(identity.ptr(), i);
        if (!PyLong_CheckExact(field)) return false;
        const unsigned long long then = PyLong_AsUnsignedLongLongMask(field);
        if (then == (unsigned long long) -1 && PyErr_Occurred()) raise_current();
        if (then != now[i]) return false;
    }
    version = known;
    return true;
#endif
}

// The reading _call_settings.open would hold for `section`, when the last
// lookup of the call's options still answers and its reading is made; a
// null object otherwise.
nb::object current_reading(nb::handle configurator, nb::handle section) {
    PyObject *table = ((PyTypeObject *) configurator.ptr())->tp_dict;
    PyObject *plans = value_in(table, names::plans);
    PyObject *options = module_value(names::options);
    if (!plans || !PyDict_CheckExact(plans) || !options) return {};
    nb::object key = own(PyTuple_Pack(2, section.ptr(), options));
    nb::object held_plan = nb::borrow(PyDict_GetItemWithError(plans, key.ptr()));
    if (!held_plan.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return {};
    }
    PyObject *plan = held_plan.ptr();
    if ((PyObject *) Py_TYPE(plan) != own_parts.plan_type.ptr()) return {};
    nb::object last = get_attr(plan, names::last);
    if (!PyTuple_CheckExact(last.ptr()) || PyTuple_GET_SIZE(last.ptr()) != 3) return {};
    PyObject *seen = PyTuple_GET_ITEM(last.ptr(), 0);
    PyObject *values = PyTuple_GET_ITEM(last.ptr(), 1);
    PyObject *from = PyTuple_GET_ITEM(last.ptr(), 2);
    // _Reading(path, name, parsed, needs_file, from_file)
    if ((PyObject *) Py_TYPE(from) != own_parts.reading_type.ptr() || PyTuple_GET_SIZE(from) != 5) return {};
    if (!environment_unchanged(get_attr(plan, names::keys).ptr(), seen)) return {};
    PyObject *parsed = PyTuple_GET_ITEM(from, 2);
    if (PyTuple_GET_ITEM(from, 3) == Py_True) {
        PyObject *version = nullptr;
        if (!known_version(table, PyTuple_GET_ITEM(from, 1), version)) return {};
        if ((version ? version : Py_None) != parsed) return {};
    } else if (PyTuple_GET_ITEM(from, 3) != Py_False) {
        return {};
    }
    PyObject *readings = module_value(names::readings);
    if (!readings || !PyDict_CheckExact(readings)) return {};
    nb::object reading_key = own(PyTuple_Pack(2, section.ptr(), values));
    nb::object reading = nb::borrow(PyDict_GetItemWithError(readings, reading_key.ptr()));
    if (!reading.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return {};
    }
    if (PyTuple_GET_ITEM(from, 4) == Py_True) {
        // A value came from the file: the permission warning, as get issues
        // it; a file closed to others has nothing to warn of.
        if (parsed == Py_None) return {};
        nb::object mode = get_attr(nb::handle(parsed), names::mode);
        if (!PyLong_CheckExact(mode.ptr())) return {};
        const long bits = PyLong_AsLong(mode.ptr());
        if (bits == -1 && PyErr_Occurred()) raise_current();
        if (bits & 0077)
            vcall(get_attr(configurator, names::check_permissions), {PyTuple_GET_ITEM(from, 0), mode.ptr()});
    } else if (PyTuple_GET_ITEM(from, 4) != Py_False) {
        return {};
    }
    return reading;
}

nb::object held_local() {
    PyObject *held = module_value(names::held);
    if (!held) raise_format(PyExc_AttributeError, "quorvel._call_settings has no _held");
    return nb::borrow(held);
}

// The reading held on this thread when it answers for `section` of
// `configurator` and _call_settings holds its own kind of reading (what
// _call_settings.held finds); null otherwise.
nb::object held_for(nb::handle configurator, nb::handle section) {
    if (!configurator.is(own_parts.configurator.h()) || !PyUnicode_CheckExact(section.ptr())) return {};
    if (!own_parts.module || !global(names::call_settings).is(own_parts.module.h())) return {};
    if (module_value(names::configurator) != configurator.ptr() ||
        module_value(names::held_function) != own_parts.held.ptr() ||
        module_value(names::reading_class) != own_parts.reading_class.ptr())
        return {};
    PyObject *local = module_value(names::held);
    if (!local) return {};
    nb::object reading = get_attr(nb::handle(local), names::reading);
    if ((PyObject *) Py_TYPE(reading.ptr()) != own_parts.reading_class.ptr()) return {};
    nb::object of = get_attr(reading, names::section);
    if (!PyUnicode_CheckExact(of.ptr()) || check(PyObject_RichCompareBool(of.ptr(), section.ptr(), Py_EQ)) != 1)
        return {};
    return reading;
}

bool transport_is_own() {
    return own_parts.transport && global(names::transport).is(own_parts.transport.h()) &&
           remembered_global(own_parts.transport.h(), names::check_settings) ==
               own_parts.check_settings.ptr();
}

}  // namespace

void remember(nb::handle module) {
    own_parts.module.set(module);
    own_parts.open.set(get_attr(module, names::open));
    own_parts.close.set(get_attr(module, names::close));
    nb::object configurator = get_attr(module, names::configurator);
    own_parts.configurator.set(configurator);
    PyObject *table = ((PyTypeObject *) configurator.ptr())->tp_dict;
    own_parts.has_option.set(value_in(table, names::has_option));
    own_parts.get.set(value_in(table, names::get));
    own_parts.options.set(value_in(table, names::options_lookup));
    own_parts.lookup.set(value_in(table, names::lookup));
    own_parts.version.set(value_in(table, names::version));
    own_parts.plan_type.set(import_from("quorvel.config", "_Plan"));
    own_parts.reading_type.set(import_from("quorvel.config", "_Reading"));
    own_parts.parsed_type.set(import_from("quorvel.config", "_Parsed"));
    own_parts.absent.set(import_from("quorvel.config", "_ABSENT"));
    nb::object os = own(PyImport_ImportModule("os"));
    own_parts.os_module.set(os);
    own_parts.environ_type.set((PyObject *) Py_TYPE(get_attr(os, names::environ).ptr()));
    own_parts.api_key.set(get_attr(module, names::api_key));
    own_parts.held.set(get_attr(module, names::held_function));
    own_parts.reading_class.set(get_attr(module, names::reading_class));
    nb::object transport = own(PyImport_ImportModule("quorvel._transport"));
    own_parts.transport.set(transport);
    own_parts.check_settings.set(get_attr(transport, names::check_settings));
}

nb::object open(nb::handle configurator, nb::handle section) {
    nb::object reading;
    if (fast::native_settings.taken_if([&] {
            return function_is_own(names::open, own_parts.open) && own_configuration(configurator, section);
        })) {
        if ((reading = current_reading(configurator, section)).is_valid()) {
            nb::object held = held_local();
            nb::object before = get_attr(held, names::reading);
            set_attr(held, names::reading, reading);
            return before;
        }
        fast::settings_read_afresh.add();
    }
    return vcall(get_attr(global(names::call_settings), names::open), {configurator.ptr(), section.ptr()});
}

void close(nb::handle before) {
    if (fast::native_settings.taken_if([&] { return function_is_own(names::close, own_parts.close); })) {
        set_attr(held_local(), names::reading, before);
        return;
    }
    vcall(get_attr(global(names::call_settings), names::close), {before.ptr()});
}

void check_settings(nb::handle configurator, nb::handle section) {
    if (fast::native_settings.taken_if([&] { return transport_is_own(); })) {
        nb::object reading = held_for(configurator, section);
        if (reading.is_valid()) {
            nb::object derived = get_attr(reading, names::derived);
            if (PyDict_CheckExact(derived.ptr()) &&
                check(PyDict_Contains(derived.ptr(), names::transport_settings.ptr())) == 1 &&
                check(PyDict_Contains(derived.ptr(), names::answer_settings.ptr())) == 1)
                return;  // made from these values already: valid
        }
    }
    vcall(get_attr(global(names::transport), names::check_settings), {configurator.ptr(), section.ptr()});
}

nb::object held_transport_settings(nb::handle configurator, nb::handle section) {
    nb::object reading = held_for(configurator, section);
    if (!reading.is_valid()) return {};
    nb::object derived = get_attr(reading, names::derived);
    if (!PyDict_CheckExact(derived.ptr())) return {};
    nb::object settings = nb::borrow(PyDict_GetItemWithError(derived.ptr(), names::transport_settings.ptr()));
    if (!settings.is_valid() && PyErr_Occurred()) raise_current();
    return settings;
}

nb::handle own_module() { return own_parts.module.h(); }

nb::object api_key(nb::handle configurator, nb::handle section) {
    if (fast::native_settings.taken_if([&] { return function_is_own(names::api_key, own_parts.api_key); })) {
        nb::object reading = held_for(configurator, section);
        if (reading.is_valid()) {
            nb::object values = get_attr(reading, names::values);
            if (PyTuple_CheckExact(values.ptr()) && PyTuple_GET_SIZE(values.ptr()) == 6) {
                // OPTIONS' last: api_key
                PyObject *key = PyTuple_GET_ITEM(values.ptr(), 5);
                return key == Py_None ? own(PyTuple_New(0)) : own(PyTuple_Pack(1, key));
            }
        }
    }
    return vcall(get_attr(global(names::call_settings), names::api_key), {configurator.ptr(), section.ptr()});
}

}  // namespace qv::modal::call_reading
