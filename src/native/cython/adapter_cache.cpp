// get_cached_typeadapter: the argument validator of a tool function, built
// from inspect.signature and the function's type hints as a pydantic model
// made on the fly, and kept in an LRU cache keyed by the function object.
// Natively compiled functions give pydantic's own function introspection
// too little to work with, hence a model of our own.
//
// quorvel.tools builds the argument models of the chat model's tools by the
// same rules; "Argument models" in src/quorvel/tools.py states them, and why
// the two builders stay apart.
#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

// Runs `body`; an `Exception` it raises is swallowed and reported as false
// (anything else, KeyboardInterrupt for one, goes on).
template <class F>
bool swallow_exception(F &&body) {
    try {
        body();
        return true;
    } catch (PythonError &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

nb::object config_dict(nb::handle extra) {
    nb::object config_dict = global(names::ConfigDict);
    if (!extra.ptr()) {
        static const KwNames kw{&names::arbitrary_types_allowed};
        return vcall(config_dict, {Py_True}, kw.ptr());
    }
    static const KwNames kw{&names::arbitrary_types_allowed, &names::extra};
    return vcall(config_dict, {Py_True, extra.ptr()}, kw.ptr());
}

// "<__name__>Params", or "AnonymousFnParams" for a callable without a name.
nb::object model_name(nb::handle fn) {
    PyObject *raw = PyObject_GetAttr(fn.ptr(), names::dunder_name.ptr());
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        raw = Py_NewRef(names::anonymous_fn.ptr());
    }
    nb::object name = nb::steal(raw);
    if (!PyUnicode_CheckExact(name.ptr())) name = own(PyObject_Format(name.ptr(), nullptr));
    return own(PyUnicode_Concat(name.ptr(), names::params_suffix.ptr()));
}

// create_model(name, __config__=config, __module__=<this module>, **fields).
// The module is given so that the model belongs to this module (and string
// annotations resolve against its globals) whichever frame happens to call.
nb::object make_param_model(nb::handle name, nb::handle config, nb::handle fields) {
    nb::object kwargs = own(PyDict_New());
    for (const Name *reserved : {&names::dunder_config, &names::dunder_module}) {
        if (fields.ptr() && check(PyDict_Contains(fields.ptr(), reserved->ptr())))
            raise_format(PyExc_TypeError, "create_model() got multiple values for keyword argument '%U'",
                         reserved->ptr());
    }
    dict_set(kwargs, names::dunder_config, config);
    dict_set(kwargs, names::dunder_module, PyDict_GetItemString(module_globals(), "__name__"));
    if (fields.ptr()) check(PyDict_Update(kwargs.ptr(), fields.ptr()));
    nb::object args = own(PyTuple_Pack(1, name.ptr()));
    return own(PyObject_Call(global(names::create_model).ptr(), args.ptr(), kwargs.ptr()));
}

// TypeAdapter(model).  pydantic (from 2.10) keeps a model whose annotations
// do not resolve as "not fully defined" instead of failing, and its adapter
// fails only when used; cached, it would fail every call for good.  Building
// the model once more with errors raised makes the build fail instead, so
// that nothing is cached.
nb::object type_adapter(nb::handle model) {
    PyObject *complete = PyObject_GetAttr(model.ptr(), names::pydantic_complete.ptr());
    if (!complete) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
    } else if (!truthy(nb::steal(complete))) {
        static const KwNames kw{&names::raise_errors, &names::types_namespace};
        nb::object no_names = own(PyDict_New());
        vcall(get_attr(model, names::model_rebuild), {Py_True, no_names.ptr()}, kw.ptr());
    }
    return vcall(global(names::TypeAdapter), {model.ptr()});
}

bool is_kind(nb::handle param, nb::handle kind) {
    nb::object k = get_attr(param, names::kind);
    return check(PyObject_RichCompareBool(k.ptr(), kind.ptr(), Py_EQ)) != 0;
}

// The (type, default) pair of one field.  `Annotated[T, "text"]` becomes T
// described by the text; a parameter default (nullptr: none) keeps the
// field optional, as the tool's published input schema says it is.
nb::object field_pair(nb::handle annotation, nb::handle default_value) {
    nb::object origin = vcall(global(names::get_origin), {annotation.ptr()});
    if (origin.ptr() == global(names::Annotated).ptr()) {
        nb::object args = vcall(global(names::get_args), {annotation.ptr()});
        if (check((int) PyObject_Size(args.ptr())) == 2) {
            nb::object base_type = own(PySequence_GetItem(args.ptr(), 0));
            nb::object description = own(PySequence_GetItem(args.ptr(), 1));
            if (PyUnicode_Check(description.ptr())) {
                nb::object field;
                if (default_value.ptr()) {
                    static const KwNames kw{&names::default_, &names::description};
                    field = vcall(global(names::Field), {default_value.ptr(), description.ptr()}, kw.ptr());
                } else {
                    static const KwNames kw{&names::description};
                    field = vcall(global(names::Field), {description.ptr()}, kw.ptr());
                }
                return own(PyTuple_Pack(2, base_type.ptr(), field.ptr()));
            }
        }
    }
    return own(PyTuple_Pack(2, annotation.ptr(), default_value.ptr() ? default_value.ptr() : Py_Ellipsis));
}

nb::object build(Args a) {
    nb::handle fn = a[0];

    if (!PyCallable_Check(fn.ptr())) {
        static const KwNames kw{&names::config};
        nb::object config = config_dict(nb::handle());
        return vcall(global(names::TypeAdapter), {fn.ptr(), config.ptr()}, kw.ptr());
    }

    // A signature that cannot be read counts as no parameters.
    nb::object params;
    const bool signature_read = swallow_exception([&] {
        nb::object signature = vcall(get_attr(global(names::inspect), names::signature), {fn.ptr()});
        nb::object values = vcall(get_attr(get_attr(signature, names::parameters), names::values), {});
        // A tuple: nothing that runs while the parameters are examined can
        // shorten it under the loop below.
        params = own(PySequence_Tuple(values.ptr()));
    });
    if (!signature_read) params = own(PyTuple_New(0));
    const Py_ssize_t nparams = PyTuple_GET_SIZE(params.ptr());

    nb::object parameter_class, var_keyword;
    if (nparams) {
        parameter_class = get_attr(global(names::inspect), names::Parameter);
        var_keyword = get_attr(parameter_class, names::VAR_KEYWORD);
    }
    nb::object name = model_name(fn);

    // Only **kwargs: nothing to validate, every key is let through.
    if (nparams == 1 && is_kind(nb::borrow(PyTuple_GET_ITEM(params.ptr(), 0)), var_keyword))
        return type_adapter(make_param_model(name, config_dict(names::allow), nb::handle()));

    nb::object hints;
    if (!swallow_exception([&] {
            static const KwNames kw{&names::include_extras};
            hints = vcall(global(names::get_type_hints), {fn.ptr(), Py_True}, kw.ptr());
        })) {
        // Hints that cannot be evaluated (an unresolvable forward
        // reference): the raw annotations.
        PyObject *raw = PyObject_GetAttr(fn.ptr(), names::dunder_annotations.ptr());
        if (!raw) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
            PyErr_Clear();
        }
        hints = nb::steal(raw);
        if (!hints.ptr() || !truthy(hints)) hints = own(PyDict_New());
    }

    nb::object annotated = own(PyDict_New());
    {
        nb::object pairs = own(PyObject_GetIter(vcall(get_attr(hints, names::items), {}).ptr()));
        while (PyObject *raw = PyIter_Next(pairs.ptr())) {
            nb::object pair = nb::steal(raw);
            nb::object key = own(PySequence_GetItem(pair.ptr(), 0));
            nb::object value = own(PySequence_GetItem(pair.ptr(), 1));
            if (check(PyObject_RichCompareBool(key.ptr(), names::return_.ptr(), Py_NE)))
                check(PyDict_SetItem(annotated.ptr(), key.ptr(), value.ptr()));
        }
        if (PyErr_Occurred()) raise_current();
    }

    // Fields in parameter order: annotated parameters with their type (from
    // the hints, else from the signature), unannotated ones as Any (a tool caller may still pass them, and the
    // function is called with keywords only, so dropping them would lose
    // them).  *args/**kwargs count only when annotated.
    nb::object fields = own(PyDict_New());
    bool has_var_kwargs = false;
    if (nparams) {
        nb::object empty = get_attr(parameter_class, names::empty);
        nb::object var_positional = get_attr(parameter_class, names::VAR_POSITIONAL);
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            // Owned, like the annotation below: reading an attribute runs
            // Python code (a property of a Parameter subclass, get_origin
            // when the annotation is examined), which may drop every other
            // reference to the object.
            nb::object param = nb::borrow(PyTuple_GET_ITEM(params.ptr(), i));
            const bool is_var_keyword = is_kind(param, var_keyword);
            has_var_kwargs = has_var_kwargs || is_var_keyword;
            nb::object pname = get_attr(param, names::name);
            nb::object default_value = get_attr(param, names::default_);
            nb::handle default_or_none = default_value.ptr() == empty.ptr() ? nb::handle() : nb::handle(default_value);
            nb::object annotation = nb::borrow(PyDict_GetItemWithError(annotated.ptr(), pname.ptr()));
            if (annotation.is_valid()) {
                check(PyDict_SetItem(fields.ptr(), pname.ptr(), field_pair(annotation, default_or_none).ptr()));
            } else {
                if (PyErr_Occurred()) raise_current();
                // No hint, but the signature may still carry the annotation
                // (a callable instance's __call__, whose hints typing cannot
                // reach through the instance).
                nb::object from_signature = get_attr(param, names::annotation);
                if (from_signature.ptr() != empty.ptr()) {
                    check(PyDict_SetItem(fields.ptr(), pname.ptr(), field_pair(from_signature, default_or_none).ptr()));
                    continue;
                }
                if (is_var_keyword || is_kind(param, var_positional)) continue;
                nb::object pair = own(PyTuple_Pack(2, global(names::Any).ptr(),
                                                   default_or_none.ptr() ? default_or_none.ptr() : Py_Ellipsis));
                check(PyDict_SetItem(fields.ptr(), pname.ptr(), pair.ptr()));
            }
        }
    }
    // Annotated names that are no parameter of the signature (or all of
    // them, when the signature could not be read) are required fields.
    // Walks a snapshot of the pairs, each owned: the lookups and get_origin
    // run Python code, which must not be able to free a key or an annotation
    // in use, nor change the dict under the walk.
    {
        nb::object pairs = own(PyDict_Items(annotated.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            nb::object pair = nb::borrow(PyList_GET_ITEM(pairs.ptr(), i));
            nb::object key = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
            nb::object value = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
            if (check(PyDict_Contains(fields.ptr(), key.ptr()))) continue;
            check(PyDict_SetItem(fields.ptr(), key.ptr(), field_pair(value, nb::handle()).ptr()));
        }
    }

    // Extra keys reach the function when it takes **kwargs, and when the
    // signature is unknown (then nothing says which keys it takes).
    const bool allow_extra = has_var_kwargs || !signature_read;
    nb::object config = config_dict(allow_extra ? names::allow : names::ignore);
    return type_adapter(make_param_model(name, config, fields));
}

const FunctionDef get_cached_typeadapter_def{
    "get_cached_typeadapter",
    "get_cached_typeadapter",
    "Get a cached TypeAdapter for a function, compatible with Python and Cython.",
    {{"fn", "Any"}},
    "TypeAdapter",
    Kind::plain,
    build,
};

}  // namespace

void define_adapter_cache() {
    // functools.lru_cache(maxsize=5000)(builder): the module attribute is the
    // cache wrapper, with cache_info() and cache_clear().
    nb::object builder = make_function(get_cached_typeadapter_def);
    nb::object lru_cache = get_attr(global(names::functools), names::lru_cache);
    nb::object noargs = own(PyTuple_New(0));
    nb::object kwargs = own(Py_BuildValue("{si}", "maxsize", 5000));
    nb::object decorator = own(PyObject_Call(lru_cache.ptr(), noargs.ptr(), kwargs.ptr()));
    set_global("get_cached_typeadapter", vcall(decorator, {builder.ptr()}));
}

}  // namespace qv::cython
