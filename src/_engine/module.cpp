// The module tavrin_rl._engine: the batched engine (`VectorGames`) behind tavrin_rl.vector,
// read-only views of its arrays, and the engine's functions. This file puts the module together:
// its types (vector_type.cpp, view_type.cpp, net_type.cpp) and functions (functions.cpp).
#include "_engine/binding.h"

#include "game/actions/actions.h"
#include "game/net/net.h"
#include "game/search/mcts.h"
#include "game/state_bytes.h"

namespace tavrin::engine {

namespace {

int engine_exec(PyObject* module) noexcept {
    ModuleState* state = state_of(module);
    state->view_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &view_spec, nullptr));
    if (state->view_type == nullptr) return -1;
    state->vector_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &vector_spec, nullptr));
    if (state->vector_type == nullptr) return -1;
    state->net_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &net_spec, nullptr));
    if (state->net_type == nullptr) return -1;
    if (PyModule_AddType(module, state->vector_type) < 0) return -1;
    if (PyModule_AddType(module, state->net_type) < 0) return -1;
    if (PyModule_AddType(module, state->view_type) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STATE_SIZE", STATE_SIZE) < 0) return -1;
    if (PyModule_AddIntConstant(module, "STATE_VERSION", STATE_VERSION) < 0) return -1;
    if (PyModule_AddIntConstant(module, "NUM_ACTIONS", GRID_SIZE) < 0) return -1;
    // The engine's limits, for the package to check its agents' settings against rather than
    // restate (tavrin_rl._limits): the search's playouts and the largest net the engine loads.
    if (PyModule_AddIntConstant(module, "MAX_PLAYOUTS", search::MAX_PLAYOUTS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "DEFAULT_PLAYOUTS", search::DEFAULT_PLAYOUTS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "NET_MAX_CHANNELS", net::MAX_CHANNELS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "NET_MAX_LAYERS", net::MAX_LAYERS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "NET_MAX_HIDDEN", net::MAX_HIDDEN) < 0) return -1;
    // The class tavrin_rl._tavrin raises for internal faults, which this module raises too; the
    // package exports it as tavrin_rl.InternalError. Main interpreter only (see find_internal_error).
    if (PyObject* internal_error = find_internal_error()) {
        if (PyModule_AddObjectRef(module, "InternalError", internal_error) < 0) return -1;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

int engine_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* state = state_of(module);
    Py_VISIT(state->vector_type);
    Py_VISIT(state->view_type);
    Py_VISIT(state->net_type);
    return 0;
}

int engine_clear(PyObject* module) noexcept {
    ModuleState* state = state_of(module);
    Py_CLEAR(state->vector_type);
    Py_CLEAR(state->view_type);
    Py_CLEAR(state->net_type);
    return 0;
}

void engine_free(void* module) noexcept { (void)engine_clear(static_cast<PyObject*>(module)); }

// Its classes live in the module state, so each interpreter gets its own.
auto engine_slots = binding::module_slots(engine_exec, binding::Interpreters::PerInterpreterGil);

PyModuleDef engine_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_engine",
    .m_doc = "The batched engine behind tavrin_rl.vector.",
    .m_size = sizeof(ModuleState),
    .m_methods = engine_methods,
    .m_slots = engine_slots.data(),
    .m_traverse = engine_traverse,
    .m_clear = engine_clear,
    .m_free = engine_free,
};

}  // namespace
}  // namespace tavrin::engine

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&tavrin::engine::engine_module); }
