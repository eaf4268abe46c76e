// The module's ArrayView type: one read-only array of a VectorGames, keeping it alive. It exports
// the array's element type and shape, so numpy.asarray(view) is the array the engine writes.
#include "_engine/binding.h"

namespace tavrin::engine {
namespace {

struct ViewObject {
    PyObject_HEAD
    PyObject* owner;
    const void* data;
    ArrayLayout layout;  // the exported format and shape point into it
};

ViewObject* as_view(PyObject* self) noexcept { return reinterpret_cast<ViewObject*>(self); }

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    return binding::export_array(self, view, flags, as_view(self)->data, as_view(self)->layout);
}

int view_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->owner);
    return 0;
}

int view_clear(PyObject* self) noexcept {
    Py_CLEAR(as_view(self)->owner);
    return 0;
}

void view_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)view_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of one VectorGames array; holds the VectorGames alive.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec view_spec = {
    .name = "tavrin_rl._engine.ArrayView",
    .basicsize = sizeof(ViewObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = view_slots,
};

PyObject* new_view(PyTypeObject* type, PyObject* owner, const void* data, const ArrayLayout& layout) noexcept {
    ViewObject* view = PyObject_GC_New(ViewObject, type);
    if (view == nullptr) return nullptr;
    view->owner = Py_NewRef(owner);
    view->data = data;
    view->layout = layout;
    PyObject_GC_Track(view);
    return reinterpret_cast<PyObject*>(view);
}

}  // namespace tavrin::engine
