// quorvel.cython: pydantic and fastmcp support for natively compiled classes
// and functions.
//
// Defines, in this order: CythonModelMeta, CythonBaseModel,
// get_cached_typeadapter, _convert_to_content, CythonFunctionTool.
#include "cython/metaclass.hpp"
#include "runtime/module.hpp"

namespace qv::cython {
namespace {

void body(nb::module_) {
    nb::object base_model = import_from("pydantic", "BaseModel");
    set_global("BaseModel", base_model);
    define_model_base(base_model);
}

int exec(PyObject *m) { return exec_module(m, QUORVEL_MODULE_NAME, body); }

PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *) exec}, {0, nullptr}};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, QUORVEL_MODULE_NAME,
    "pydantic and fastmcp support for natively compiled classes and functions.", 0, nullptr, slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace qv::cython

extern "C" PyMODINIT_FUNC PyInit_cython(void) { return PyModuleDef_Init(&qv::cython::def); }
