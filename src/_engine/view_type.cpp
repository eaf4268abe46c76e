// The module's ArrayView type: one read-only array of a VectorGames, keeping it alive.
#include "_engine/binding.h"

namespace tavrin::engine {
namespace {


struct ViewObject {
    PyObject_HEAD
    PyObject* owner;
    void* data;
    Py_ssize_t len;
};

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* v = reinterpret_cast<ViewObject*>(self);
    return PyBuffer_FillInfo(view, self, v->data, v->len, 1, flags);
}

int view_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ViewObject*>(self)->owner);
    return 0;
}

int view_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<ViewObject*>(self)->owner);
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

PyObject* new_view(PyTypeObject* type, PyObject* owner, const void* data, std::size_t bytes) noexcept {
    auto* view = PyObject_GC_New(ViewObject, type);
    if (view == nullptr) return nullptr;
    view->owner = Py_NewRef(owner);
    view->data = const_cast<void*>(data);
    view->len = static_cast<Py_ssize_t>(bytes);
    PyObject_GC_Track(view);
    return reinterpret_cast<PyObject*>(view);
}

}  // namespace tavrin::engine
