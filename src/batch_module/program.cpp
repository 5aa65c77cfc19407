// Program: packet definitions compiled once from the plan the Python layer
// makes of them. _decode serves Definitions.decode, _unpack Definitions.unpack.
#include "batch_module/program.hpp"

#include <cstdint>
#include <memory>

#include "engine/definitions/decode.hpp"
#include "engine/definitions/program.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace fieldloom::batch {
namespace {

struct ProgramObject {
    PyObject_HEAD
    defs::Program* program;
};

const defs::Program& compiled(PyObject* self) { return *reinterpret_cast<ProgramObject*>(self)->program; }

bool u64(PyObject* object, const char* name, std::uint64_t& out) {
    if (kind::U64::convert(object, out)) return true;
    prefix_type_error(name);
    return false;
}

PyObject* program_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&]() -> PyObject* {
        PyObject* plan = nullptr;
        if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) || !PyArg_UnpackTuple(args, "Program", 1, 1, &plan)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Program() takes one plan by position");
            return nullptr;
        }
        auto program = std::make_unique<defs::Program>();
        if (!program->build(plan)) return nullptr;
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        reinterpret_cast<ProgramObject*>(self.get())->program = program.release();
        return self.release();
    });
}

void program_dealloc(PyObject* self) {
    delete reinterpret_cast<ProgramObject*>(self)->program;
    Py_TYPE(self)->tp_free(self);
}

// _decode(buffer, stride, offsets, lengths, prefix, skip, threads): the
// Python layer has checked and normalised every argument but the buffer.
PyObject* program_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 7) {
            PyErr_SetString(PyExc_TypeError, "_decode() takes 7 positional arguments");
            return nullptr;
        }
        defs::Request request;
        request.buffer = args[0];
        if (args[1] != Py_None && !u64(args[1], "stride", request.stride)) return nullptr;
        request.offsets = args[2] == Py_None ? nullptr : args[2];
        request.lengths = args[3] == Py_None ? nullptr : args[3];
        if (!u64(args[4], "prefix", request.prefix)) return nullptr;
        request.skip = PyObject_IsTrue(args[5]) == 1;
        if (!u64(args[6], "threads", request.threads)) return nullptr;
        return defs::decode_recording(compiled(self), request);
    });
}

PyObject* program_unpack(PyObject* self, PyObject* packet) {
    return guarded_entry([&]() -> PyObject* {
        ByteSpan bytes;
        if (!kind::Bytes::convert(packet, bytes)) {
            prefix_type_error("packet");
            return nullptr;
        }
        return defs::unpack_packet(compiled(self), bytes);
    });
}

PyMethodDef g_program_methods[] = {
    {"_decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&program_decode)), METH_FASTCALL, nullptr},
    {"_unpack", &program_unpack, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject g_program_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "fieldloom_batch._native.Program";
    type.tp_basicsize = sizeof(ProgramObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Packet definitions compiled once.";
    type.tp_new = &program_new;
    type.tp_dealloc = &program_dealloc;
    type.tp_methods = g_program_methods;
    return type;
}();

}  // namespace

PyTypeObject* program_type() {
    if (PyType_Ready(&g_program_type) < 0) return nullptr;
    return &g_program_type;
}

}  // namespace fieldloom::batch
