#include "modal/fast_json.hpp"

#include "runtime/object.hpp"

#include <algorithm>
#include <cstring>
#include <strings.h>


#include "modal/answer_json.hpp"
#include "modal/exchange.hpp"
#include "modal/fast_paths.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/module.hpp"

namespace qv::modal::fast_json {
namespace {


// What the fast paths stand in for, taken at start-up (orjson's loads on
// first use) and held by the module state.
struct Originals {
    Held json_module;      // the standard library's json
    Held json_loads;       // json.loads
    Held default_decoder;  // json._default_decoder, which json.loads uses
    Held requests_models;  // requests.models
    Held response_type;
    Held response_json;  // Response.json
    Held orjson_loads;  // null until first needed; None when orjson is missing
};
Originals originals;

PyObject *class_attr(PyObject *cls, const char *name) {
    nb::object dict = own(PyObject_GetAttrString(cls, "__dict__"));
    nb::object value = own(PyObject_GetItem(dict.ptr(), nb::str(name).ptr()));
    return value.release().ptr();
}

PyObject *orjson_loads() {
    if (!originals.orjson_loads) {
        PyObject *loads = nullptr;
        if (PyObject *module = PyImport_ImportModule("orjson")) {
            loads = PyObject_GetAttrString(module, "loads");
            Py_DECREF(module);
        }
        if (!loads) {
            // Without orjson every text takes the ordinary path.
            if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
                raise_current();
            PyErr_Clear();
            loads = Py_NewRef(Py_None);
        }
        originals.orjson_loads.set(nb::steal(loads));
    }
    return originals.orjson_loads.ptr() == Py_None ? nullptr : originals.orjson_loads.ptr();
}

// json.loads is the standard library's function and still uses the decoder
// it was given at import.
bool is_standard_loads(PyObject *loads) {
    if (!loads || loads != originals.json_loads.ptr()) return false;
    PyObject *decoder = remembered_global(originals.json_module.h(), names::default_decoder);
    return decoder == originals.default_decoder.ptr();
}

// orjson returns integers beyond 64 bits as floats; any 19-digit run (the
// shortest that can leave the int64 range) sends the text to json.loads.
// Every such run covers one of the bytes 18, 37, 56, ...: only around a
// digit found there is the run measured.
bool has_long_digit_run(const char *p, Py_ssize_t size) {
    constexpr Py_ssize_t run = 19;
    auto digit = [&](Py_ssize_t i) { return (unsigned char) (p[i] - '0') < 10; };
    for (Py_ssize_t i = run - 1; i < size; i += run) {
        if (!digit(i)) continue;
        Py_ssize_t first = i, last = i;
        while (first > 0 && digit(first - 1)) --first;
        while (last + 1 < size && digit(last + 1)) ++last;
        if (last - first + 1 >= run) return true;
        i = last;  // the next probe lies beyond this run
        i -= (i - (run - 1)) % run;  // keep the probes on their grid
    }
    return false;
}

// orjson can parse the text: it is there and the text holds no digit run
// it would round (a text refused for that is counted as refused).
bool parsable(const char *p, Py_ssize_t size) {
    if (!orjson_loads()) return false;
    if (!has_long_digit_run(p, size)) return true;
    fast::json_refused.add();
    return false;
}

// Whether more than `limit` bytes of p[0:size] are '[' or '{'.  An answer
// holds few of either, mostly far apart: memchr (the C library's, vectorised
// for the processor it runs on) jumps from one to the next, and the count
// stops as soon as it passes the limit.
bool opens_more_than(const char *p, Py_ssize_t size, Py_ssize_t limit) {
    Py_ssize_t opens = 0;
    for (const char bracket : {'[', '{'}) {
        const char *at = p, *const end = p + size;
        while (at < end && (at = static_cast<const char *>(std::memchr(at, bracket, (size_t) (end - at))))) {
            if (++opens > limit) return true;
            ++at;
        }
    }
    return false;
}

// Whether the text opens more than max_depth arrays and objects inside one
// another.  Brackets inside strings do not count.  A text with no more
// opening brackets than the limit in all (the usual case, decided by one
// counting pass) cannot.
bool nests_deeper_than_limit(const char *p, Py_ssize_t size) {
    if (size <= max_depth) return false;
    if (!opens_more_than(p, size, max_depth)) return false;
    Py_ssize_t depth = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        switch (p[i]) {
            case '"':
                for (++i; i < size && p[i] != '"'; ++i)
                    if (p[i] == '\\') ++i;
                break;
            case '[':
            case '{':
                if (++depth > max_depth) return true;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
    return false;
}

// orjson's parse, once a fast path has decided for it (parsable() held); a
// null object when orjson refused the text.
nb::object parse(const char *p, Py_ssize_t size, PyObject *whole = nullptr) {
    PyObject *loads = orjson_loads();
    // orjson gets a bytes object of its own, never a view of the caller's
    // buffer: on 3.11 the collector can run inside orjson's allocations, and
    // a gc callback or finalizer reaching a view (gc.get_objects()) could
    // keep it, and with it a pointer into memory that the caller frees once
    // the line is done.  A bytes object owns its memory, whoever keeps it.
    nb::object copy;
    PyObject *arg = whole;
    if (!arg) {
        copy = own(PyBytes_FromStringAndSize(p, size));
        arg = copy.ptr();
    }
    if (PyObject *result = PyObject_Vectorcall(loads, &arg, 1, nullptr)) return nb::steal(result);
    // Whatever orjson objects to, json.loads decides, with its own message.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
    PyErr_Clear();
    fast::json_refused.add();
    return {};
}

// The text parsed by quorvel's own parser, once a fast JSON path has decided
// for it; a null object when the parser is switched off or refused it (a
// refusal is counted), for orjson.
nb::object by_own_parser(const char *p, Py_ssize_t size) {
    if (!fast::native_json.taken(true)) return {};
    nb::object document = answer_json::parse(p, size, max_depth);
    if (!document.is_valid()) fast::native_json_refused.add();
    return document;
}

// A whole answer's body (bytes), once the fast path has decided for it:
// quorvel's own parser first, orjson for what it refuses (unless the text
// holds a digit run orjson would round); a null object when neither took
// it, for json.loads.
nb::object parse_whole(nb::handle body) {
    const char *p = PyBytes_AS_STRING(body.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(body.ptr());
    if (nb::object document = by_own_parser(p, size); document.is_valid()) return document;
    if (!parsable(p, size)) return {};
    return parse(p, size, body.ptr());
}

// requests decodes the body as UTF-8 when no charset is known and the first
// bytes hold no NUL and no byte order mark (orjson refuses both anyway), and
// by the charset when there is one.
bool decoded_as_utf8(nb::handle encoding, Py_ssize_t size) {
    if (encoding.is_none()) return size > 3;
    if (!PyUnicode_CheckExact(encoding.ptr())) return false;
    const char *name = PyUnicode_AsUTF8(encoding.ptr());
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return strcasecmp(name, "utf-8") == 0 || strcasecmp(name, "utf8") == 0 || strcasecmp(name, "utf_8") == 0;
}

bool whole_answer_is_plain(nb::handle response) {
    if (!originals.response_type || !is_requests_own(response, names::json, originals.response_json.ptr())) return false;
    // Response.json calls requests.models.complexjson.loads: the standard
    // library's, unless requests found simplejson or someone replaced it.
    PyObject *models = PyModule_GetDict(originals.requests_models.ptr());
    nb::object complexjson = nb::borrow(remembered_item(models, names::complexjson.ptr()));
    if (!complexjson.is_valid()) return false;
    PyObject *loads = nullptr;
    // A plain module's attribute is its dict's entry (nothing on the module
    // type has the name); anything else is asked.
    if (PyModule_CheckExact(complexjson.ptr())) {
        loads = Py_XNewRef(remembered_global(complexjson, names::loads));
    }
    if (!loads && get_optional_attr(complexjson.ptr(), names::loads.ptr(), &loads) < 0) raise_current();
    nb::object held = nb::steal(loads);
    return is_standard_loads(loads);
}

}  // namespace

void remember_originals() {
    nb::object json = own(PyImport_ImportModule("json"));
    originals.json_module.set(json);
    originals.json_loads.set(own(PyObject_GetAttrString(json.ptr(), "loads")));
    originals.default_decoder.set(own(PyObject_GetAttrString(json.ptr(), "_default_decoder")));
    nb::object models = own(PyImport_ImportModule("requests.models"));
    nb::object response = own(PyObject_GetAttrString(models.ptr(), "Response"));
    if (!PyType_Check(response.ptr())) return;
    originals.response_json.set(nb::steal(class_attr(response.ptr(), "json")));
    originals.requests_models.set(models);
    originals.response_type.set(response);
}

bool is_requests_own(nb::handle response, const Name &name, PyObject *original) {
    if (!original || (PyObject *) Py_TYPE(response.ptr()) != originals.response_type.ptr()) return false;
    if (type_lookup(Py_TYPE(response.ptr()), name.ptr()) != original) return false;
    PyObject **dictptr = instance_dict_ptr(response.ptr());
    nb::object dict = nb::borrow(dictptr ? *dictptr : nullptr);
    if (!dict.is_valid()) return true;
    if (PyDict_GetItemWithError(dict.ptr(), name.ptr())) return false;
    if (PyErr_Occurred()) raise_current();
    return true;
}


void LineParser::bind(nb::handle loads) { fast_ = is_standard_loads(loads.ptr()); }

void check_depth(const char *p, Py_ssize_t size) {
    if (nests_deeper_than_limit(p, size))
        raise_format(PyExc_ValueError, "The server's answer is nested deeper than %d levels", (int) max_depth);
}

nb::object LineParser::try_parse(const char *p, Py_ssize_t size) const {
    check_depth(p, size);
    if (!fast::json_line.taken_if([&] { return fast_ && parsable(p, size); })) return {};
    if (nb::object chunk = by_own_parser(p, size); chunk.is_valid()) return chunk;
    return parse(p, size);
}

nb::object answer_document(nb::handle response) {
    nb::object body;
    if (is_requests_own(response, names::json, originals.response_json.ptr())) {
        // Whichever json.loads requests' Response.json calls sees only what
        // both parsers accept.  Reading the body first is what Response.json
        // does too.
        body = get_attr(response, names::content);
        if (PyBytes_CheckExact(body.ptr())) check_depth(PyBytes_AS_STRING(body.ptr()), PyBytes_GET_SIZE(body.ptr()));
    }
    nb::object content;
    const bool fast = fast::json_answer.taken_if([&] {
        if (!whole_answer_is_plain(response)) return false;
        // Reading the body first is what Response.json does too; a failure
        // here is the one it would raise.  The body read above, when it was,
        // is the one a second read gives.
        content = body.is_valid() ? body : get_attr(response, names::content);
        nb::object encoding = get_attr(response, names::encoding);
        return PyBytes_CheckExact(content.ptr()) && decoded_as_utf8(encoding, PyBytes_GET_SIZE(content.ptr())) &&
               orjson_loads();
    });
    if (fast) {
        nb::object document = parse_whole(content);
        if (document.is_valid()) return document;
    }
    return call_method(response, names::json);
}

nb::object body_document(nb::handle body) {
    nb::object loads = get_attr(global(names::json), names::loads);
    const char *p = PyBytes_AS_STRING(body.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(body.ptr());
    check_depth(p, size);
    if (fast::json_answer.taken_if([&] { return is_standard_loads(loads.ptr()) && orjson_loads(); })) {
        if (nb::object document = parse_whole(body); document.is_valid()) return document;
    }
    return vcall(loads, {body.ptr()});
}

}  // namespace qv::modal::fast_json
