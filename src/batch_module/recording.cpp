#include "batch_module/recording.hpp"

#include <cstddef>

#include "python/errors.hpp"
#include "python/lifetime.hpp"
#include "python/mapping_guard.hpp"

namespace fieldloom::batch {
namespace {

// Kept after mmap's own fields, whose layout is mmap's business.
struct State {
    int watch;          // mapping::watch id, 0 for none
    Py_ssize_t exports; // buffers handed out and not yet released
    bool closing;       // closed for its owner; the map goes with the last export
    bool empty;         // stands for an empty file: exports no bytes
};

Py_ssize_t g_state_offset = 0;
getbufferproc g_base_get = nullptr;
releasebufferproc g_base_release = nullptr;
destructor g_base_dealloc = nullptr;
InterpreterObject g_base_close;  // mmap.mmap.close
InterpreterObject g_type;

State& state(PyObject* self) { return *reinterpret_cast<State*>(reinterpret_cast<char*>(self) + g_state_offset); }

// Unmaps now: nothing views the map any more.
bool release_map(PyObject* self) {
    State& s = state(self);
    mapping::unwatch(s.watch);
    s.watch = 0;
    PyRef done(PyObject_CallOneArg(g_base_close.get(), self));
    return static_cast<bool>(done);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    State& s = state(self);
    if (s.closing) {
        PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
        return -1;
    }
    static const char nothing[1] = {0};
    const int got = s.empty ? PyBuffer_FillInfo(view, self, const_cast<char*>(nothing), 0, 1, flags)
                            : g_base_get(self, view, flags);
    if (got == 0) ++s.exports;
    return got;
}

void release_buffer(PyObject* self, Py_buffer* view) {
    State& s = state(self);
    if (!s.empty) g_base_release(self, view);
    if (--s.exports != 0 || !s.closing) return;
    // The last view of a closed recording is gone, and the map with it.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!release_map(self)) PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, traceback);
}

void dealloc(PyObject* self) {
    mapping::unwatch(state(self).watch);
    state(self).watch = 0;
    g_base_dealloc(self);
}

// _watch(path, fd): the map is of the file `path`, open as `fd`.
PyObject* watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 2 || !PyUnicode_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "_watch(path, fd)");
            return nullptr;
        }
        const long fd = PyLong_AsLong(args[1]);
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        State& s = state(self);
        Py_buffer view;
        if (g_base_get(self, &view, PyBUF_SIMPLE) < 0) return nullptr;
        const int id = mapping::watch(view.buf, static_cast<std::size_t>(view.len), args[0], static_cast<int>(fd));
        g_base_release(self, &view);
        if (id == 0) return nullptr;
        mapping::unwatch(s.watch);
        s.watch = id;
        Py_RETURN_NONE;
    });
}

PyObject* mark_empty(PyObject* self, PyObject*) {
    state(self).empty = true;
    Py_RETURN_NONE;
}

PyObject* close(PyObject* self, PyObject*) {
    return guarded_entry([&]() -> PyObject* {
        State& s = state(self);
        if (s.closing) Py_RETURN_NONE;
        s.closing = true;
        // With views alive the map stays until the last is released.
        if (s.exports == 0 && !release_map(self)) return nullptr;
        Py_RETURN_NONE;
    });
}

// Raises what a read of the recording must raise now: ValueError when it is
// closed, OSError when the file changed under the map.
PyObject* check(PyObject* self, PyObject*) {
    return guarded_entry([&]() -> PyObject* {
        const State& s = state(self);
        if (s.closing) {
            PyErr_SetString(PyExc_ValueError, "mmap closed or invalid");
            return nullptr;
        }
        if (s.watch != 0 && !mapping::unchanged(s.watch)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(state(self).closing); }
PyObject* get_empty(PyObject* self, void*) { return PyBool_FromLong(state(self).empty); }

PyMethodDef g_methods[] = {
    {"_watch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&watch)), METH_FASTCALL, nullptr},
    {"_mark_empty", &mark_empty, METH_NOARGS, nullptr},
    {"_check", &check, METH_NOARGS, nullptr},
    {"close", &close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the recording; the map goes when nothing views it any more."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"closed", &get_closed, nullptr, "True once close() has been called.", nullptr},
    {"_empty", &get_empty, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* mapped_file_type() {
    if (g_type) return reinterpret_cast<PyTypeObject*>(g_type.get());
    PyRef module(PyImport_ImportModule("mmap"));
    if (!module) return nullptr;
    PyRef base(PyObject_GetAttrString(module.get(), "mmap"));
    if (!base) return nullptr;
    if (!PyType_Check(base.get())) {
        PyErr_SetString(PyExc_TypeError, "mmap.mmap is not a type");
        return nullptr;
    }
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.get());
    if (base_type->tp_as_buffer == nullptr || base_type->tp_as_buffer->bf_getbuffer == nullptr) {
        PyErr_SetString(PyExc_TypeError, "mmap.mmap exports no buffer");
        return nullptr;
    }
    g_base_get = base_type->tp_as_buffer->bf_getbuffer;
    g_base_release = base_type->tp_as_buffer->bf_releasebuffer;
    g_base_dealloc = base_type->tp_dealloc;
    constexpr Py_ssize_t align = alignof(State);
    g_state_offset = (base_type->tp_basicsize + align - 1) / align * align;
    PyObject* close_method = PyObject_GetAttrString(base.get(), "close");
    if (close_method == nullptr) return nullptr;
    g_base_close.set(close_method);

    PyType_Slot slots[] = {
        {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
        {Py_bf_releasebuffer, reinterpret_cast<void*>(&release_buffer)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_methods, g_methods},
        {Py_tp_getset, g_getset},
        {Py_tp_doc, const_cast<char*>("A read-only map of a recording file.")},
        {0, nullptr},
    };
    PyType_Spec shape = {"fieldloom_batch._native.MappedFile",
                         static_cast<int>(g_state_offset + static_cast<Py_ssize_t>(sizeof(State))), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyObject* type = PyType_FromSpecWithBases(&shape, base.get());
    if (type == nullptr) return nullptr;
    g_type.set(type);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace fieldloom::batch
