// _convert_to_content: a tool function's return value as the list of MCP
// content blocks of the tool result.  Content blocks and fastmcp's media
// wrappers keep their own form; every other value becomes one text block,
// and the plain values of a list are serialized together into one block.
#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/pydantic_fast.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

nb::object single_block_list(nb::handle block) {
    nb::object list = own(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, Py_NewRef(block.ptr()));
    return list;
}

// Values of the built-in data types are never content blocks nor media
// wrappers; telling them apart without the four isinstance checks (the
// content-block union walks pydantic classes through ABCMeta) matters, as
// most tools return such values.
bool is_plain_value(nb::handle value) {
    PyObject *v = value.ptr();
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyUnicode_CheckExact(v) || PyBytes_CheckExact(v) || PyDict_CheckExact(v) || PyList_CheckExact(v) ||
           PyTuple_CheckExact(v);
}

// Content blocks and media wrappers, converted by their own methods; an
// invalid handle for any other value.
nb::object media_block(nb::handle value) {
    if (is_plain_value(value)) return nb::object();
    if (is_instance(value, global(names::ContentBlock))) return nb::borrow(value);
    if (is_instance(value, global(names::Image))) return vcall(get_attr(value, names::to_image_content), {});
    if (is_instance(value, global(names::Audio))) return vcall(get_attr(value, names::to_audio_content), {});
    if (is_instance(value, global(names::File))) return vcall(get_attr(value, names::to_resource_content), {});
    return nb::object();
}

bool is_media(nb::handle value) {
    if (is_plain_value(value)) return false;
    for (const Name *type : {&names::ContentBlock, &names::Image, &names::Audio, &names::File})
        if (is_instance(value, global(*type))) return true;
    return false;
}

// Sets `exc` as the exception being handled (what sys.exc_info() reports,
// and so what logging's exc_info=True attaches) while `body` runs.
template <class F>
void while_handling(nb::handle exc, F &&body) {
    PyObject *previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
    try {
        body();
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
        throw;
    }
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
}

// fastmcp's default_serializer, as found when the tool layer was bound: it
// is pydantic_core.to_json(data, fallback=str).decode(), run here without
// its Python frame while the module global is still that function.
Held original_default_serializer;

FastPath direct_default_serializer{"default_serializer_direct",
                                   "the module global default_serializer is fastmcp's own"};

nb::object default_serialize(nb::handle value) {
    nb::object serializer = global(names::default_serializer);
    if (!direct_default_serializer.taken(serializer.ptr() == original_default_serializer.ptr()))
        return vcall(serializer, {value.ptr()});
    static const KwNames kw{&names::fallback};
    nb::object to_json = get_attr(global(names::pydantic_core), names::to_json);
    nb::object encoded = vcall(to_json, {value.ptr(), (PyObject *) &PyUnicode_Type}, kw.ptr());
    return vcall(get_attr(encoded, names::decode), {});
}

nb::object serialize(nb::handle value, nb::handle serializer) {
    if (serializer.is_none()) return default_serialize(value);
    try {
        return vcall(serializer, {value.ptr()});
    } catch (PythonError &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // A failing custom serializer costs a warning, not the tool call.
        nb::object exc = nb::borrow(e.value());
        while_handling(exc, [&] {
            static const KwNames kw{&names::exc_info};
            nb::object warning = get_attr(global(names::logger), names::warning);
            vcall(warning, {names::serializer_error_message.ptr(), exc.ptr(), Py_True}, kw.ptr());
        });
    }
    return default_serialize(value);
}

nb::object convert(Args a) {
    nb::handle result = a[0], serializer = a[1], process_as_single_item = a[2];
    ensure_tool_layer();

    if (result.is_none()) return own(PyList_New(0));
    if (nb::object block = media_block(result); block.is_valid()) return single_block_list(block);

    if ((PyList_Check(result.ptr()) || PyTuple_Check(result.ptr())) && !truthy(process_as_single_item)) {
        nb::object mcp_types = own(PyList_New(0));
        nb::object other_content = own(PyList_New(0));
        nb::object iter = own(PyObject_GetIter(result.ptr()));
        while (PyObject *raw = PyIter_Next(iter.ptr())) {
            nb::object item = nb::steal(raw);
            if (is_media(item)) {
                nb::object converted = vcall(global(names::convert_to_content), {item.ptr()});
                check(PyList_Append(mcp_types.ptr(), own(PySequence_GetItem(converted.ptr(), 0)).ptr()));
            } else {
                check(PyList_Append(other_content.ptr(), item.ptr()));
            }
        }
        if (PyErr_Occurred()) raise_current();
        // The plain values go together, as one list, into one text block
        // that comes first; the blocks follow in input order.
        if (PyList_GET_SIZE(other_content.ptr())) {
            static const KwNames kw{&names::serializer, &names::process_as_single_item};
            other_content = vcall(global(names::convert_to_content),
                                  {other_content.ptr(), serializer.ptr(), Py_True}, kw.ptr());
        }
        return own(PyNumber_Add(other_content.ptr(), mcp_types.ptr()));
    }

    nb::object text = nb::borrow(result);
    if (!PyUnicode_Check(result.ptr())) text = serialize(result, serializer);
    return single_block_list(text_block(text));
}

const FunctionDef convert_to_content_def{
    "_convert_to_content",
    "_convert_to_content",
    "Convert a result to a sequence of content objects.",
    {{"result", "Any"}, {"serializer", "Callable[[Any], str] | None"}, {"_process_as_single_item", "bool"}},
    "list[ContentBlock]",
    Kind::plain,
    convert,
};

}  // namespace

void remember_default_serializer() {
    original_default_serializer.set(import_from("fastmcp.tools.tool", "default_serializer"));
}

void define_convert_to_content() {
    nb::object defaults = own(PyTuple_Pack(2, Py_None, Py_False));
    set_global("_convert_to_content", make_function(convert_to_content_def, defaults));
}

}  // namespace qv::cython
