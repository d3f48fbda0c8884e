// PyInit_veltrix: builds the module once per process and registers the classes in order.
#include "arena/local/bindings_local.hpp"
#include "arena/network/bindings_network.hpp"
#include "board/bindings.hpp"
#include "python/error.hpp"
#include "search/bindings.hpp"

namespace veltrix {

namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

// The registration order is part of the module's surface (it is the order of __all__).
constexpr ClassEntry kClasses[] = {
    {"Turn", board_py::turn_type},
    {"Color", board_py::color_type},
    {"Board", board_py::board_type},
    {"Arena", arena_py::arena_type},
    {"NetworkArenaClient", arena_py::network_client_type},
    {"NetworkArenaServer", arena_py::network_server_type},
    {"AlphaBetaSearch", search_py::alpha_beta_search_type},
    {"LegalNumEvaluator", search_py::legal_num_evaluator_type},
    {"PieceEvaluator", search_py::piece_evaluator_type},
    {"Evaluator", search_py::evaluator_type},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "veltrix",
    "",  // an empty docstring, not an absent one
    0,   // no per-module state; a repeated import calls the entry point again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module built by the first import, and the interpreter that built it (-1: none yet).
PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

// Appends `name` to __all__, creating the list first when the module has none.
void append_to_all(PyObject* module, const char* name) {
    py::Ref all;
    if (PyObject_HasAttrString(module, "__all__")) {
        all = py::require(PyObject_GetAttrString(module, "__all__"));
    } else {
        all = py::require(PyList_New(0));
        py::require_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    const py::Ref text = py::require(PyUnicode_FromString(name));
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        throw py::InternalFault("could not extend __all__ with " + std::string(name));
    }
}

PyObject* build_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) py::throw_error_set();
    if (g_interpreter_id < 0) {
        g_interpreter_id = interpreter;
    } else if (g_interpreter_id != interpreter) {
        py::raise(PyExc_ImportError,
                  "veltrix does not support sub-interpreters: it can be imported only once per process");
    }
    if (g_module != nullptr) return py::Ref::new_ref(g_module).release();

    py::Ref module = py::require(PyModule_Create(&kModuleDef));
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) py::throw_error_set();
        append_to_all(module.get(), entry.name);
        py::require_status(PyModule_AddObjectRef(module.get(), entry.name, reinterpret_cast<PyObject*>(type)));
    }
    g_module = py::Ref::new_ref(module.get()).release();  // kept for the life of the process
    return module.release();
}

}  // namespace

}  // namespace veltrix

PyMODINIT_FUNC PyInit_veltrix() {
    return veltrix::py::guarded_object([] { return veltrix::build_module(); });
}
