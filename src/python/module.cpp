// The module tavrin_rl._tavrin: registers PyTavrin and PyObservation, and nothing else.
#include <Python.h>

#include "binding/args.h"
#include "binding/objects.h"
#include "binding/ref.h"
#include "python/classes.h"
#include "python/stdout_writer.h"

namespace tavrin::python {

namespace {

using binding::PyRef;
using binding::raise_not_instance;

// --- Helpers ---

// The module's __all__, made empty first if the module has none.
PyRef module_all(PyObject* module) noexcept {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        if (PyList_Check(all.get())) return all;
        raise_not_instance(all.get(), "list");
        return PyRef();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PyRef();
    return all;
}

// Lists `name` in __all__ and makes it an attribute of the module.
bool register_class(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) noexcept {
    if (type == nullptr) return false;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0 &&
           PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

#ifdef Py_GIL_DISABLED
// Run by atexit, before the exit stops the world: from then on render writes without detaching.
PyObject* exit_begins(PyObject*, PyObject*) noexcept {
    stop_detaching();
    Py_RETURN_NONE;
}

PyMethodDef exit_begins_def = {"_tavrin_exit_begins", exit_begins, METH_NOARGS, nullptr};

bool call_at_exit() noexcept {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef function = PyRef::steal(atexit ? PyCFunction_New(&exit_begins_def, nullptr) : nullptr);
    PyRef done = PyRef::steal(function ? PyObject_CallMethod(atexit.get(), "register", "O", function.get())
                                       : nullptr);
    return static_cast<bool>(done);
}
#endif

// --- Execution ---

int tavrin_exec(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "module");
        return -1;
    }
    // The classes are made once per process and shared by every module object; objects of one
    // interpreter must not be used from another, which could run at the same time.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "tavrin_rl._tavrin can only be imported in the main interpreter");
        return -1;
    }
    PyRef all = module_all(module);
    if (!all) return -1;
    if (!register_class(module, all.get(), "PyTavrin", tavrin_type())) return -1;
    if (!register_class(module, all.get(), "PyObservation", observation_type())) return -1;
#ifdef Py_GIL_DISABLED
    if (!call_at_exit()) return -1;
#endif
    return 0;
}

// --- Module definition ---

// The classes are process-wide, so the module is for the main interpreter only.
auto tavrin_module_slots = binding::module_slots(tavrin_exec, binding::Interpreters::MainOnly);

PyModuleDef tavrin_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tavrin",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = tavrin_module_slots.data(),
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tavrin::python

PyMODINIT_FUNC PyInit__tavrin() { return PyModuleDef_Init(&tavrin::python::tavrin_module); }
