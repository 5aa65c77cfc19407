// fieldloom_batch._native: the batch engine's boundary. Only PyInit__native
// leaves the shared object.
#include "python/python.hpp"

#include "batch_module/calibrate.hpp"
#include "batch_module/ccsds.hpp"
#include "batch_module/layout.hpp"
#include "batch_module/pack_fixed.hpp"
#include "batch_module/program.hpp"
#include "batch_module/recording.hpp"
#include "python/errors.hpp"
#include "python/lifetime.hpp"

namespace fieldloom::batch {
namespace {

// Module-level functions: each is defined in its own file here, with one line
// in this table.
PyMethodDef g_methods[] = {
    {"calibrate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calibrate)), METH_FASTCALL, calibrate_doc},
    {"calibrate_cases", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calibrate_cases)), METH_FASTCALL,
     calibrate_cases_doc},
    {"pack_fixed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack_fixed)), METH_FASTCALL, pack_fixed_doc},
    {"scan_ccsds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_ccsds)), METH_FASTCALL, scan_ccsds_doc},
    {"ccsds_cuts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ccsds_cuts)), METH_FASTCALL, ccsds_cuts_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "fieldloom_batch._native", "Native engine of fieldloom_batch.", -1, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
    // This library's own copies of the engines' kept objects.
    if (!forget_at_finalize()) return nullptr;
    PyRef module(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    PyTypeObject* type = layout_type();
    if (type == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Layout", reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    PyTypeObject* program = program_type();
    if (program == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Program", reinterpret_cast<PyObject*>(program)) < 0) return nullptr;
    PyTypeObject* mapped = mapped_file_type();
    if (mapped == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "MappedFile", reinterpret_cast<PyObject*>(mapped)) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace fieldloom::batch

PyMODINIT_FUNC PyInit__native() {
    return fieldloom::guarded_entry([] { return fieldloom::batch::create_module(); });
}
