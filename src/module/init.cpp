// Module initialisation: one module object per running interpreter, refused
// to any interpreter other than the first that imported it. After
// Py_FinalizeEx an embedding program's next interpreter gets a new one.
#include "python/python.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "python/errors.hpp"
#include "python/lifetime.hpp"
#include "module/function_table.hpp"

namespace fieldloom {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "fieldloom",
    "",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that imported the module first; released when it ends.
class Claim final : public InterpreterBound {
public:
    bool take(std::int64_t id) noexcept {
        std::int64_t expected = -1;
        return id_.compare_exchange_strong(expected, id) || expected == id;
    }

private:
    void forget() noexcept override { id_.store(-1); }
    std::atomic<std::int64_t> id_{-1};
};

Claim g_claim;
std::mutex g_create_lock;
InterpreterObject g_module;  // kept for the life of the interpreter

bool claim_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return false;
    if (g_claim.take(id)) return true;
    PyErr_SetString(PyExc_ImportError, "fieldloom does not yet support sub-interpreters");
    return false;
}

bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* method) {
    PyRef function(PyCMethod_New(method, module, module_name, nullptr));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_codec_error(cast_error(name.get(), "str"));
        return false;
    }
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_codec_error(cast_error(all.get(), "list"));
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) throw InternalFault("could not append __name__ to __all__");
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* create_module() {
    PyRef module(PyModule_Create2(&g_module_def, 1013));
    if (!module) return nullptr;
    PyRef module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& method : ModuleFunctions::methods) {
        if (!register_function(module.get(), module_name.get(), &method)) return nullptr;
    }
    return module.release();
}

PyObject* init_module() {
    if (!claim_interpreter()) return nullptr;
    // Other importing threads wait here without holding the interpreter lock,
    // so the creating thread can finish.
    std::unique_lock<std::mutex> guard(g_create_lock, std::try_to_lock);
    if (!guard.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS
        guard.lock();
        Py_END_ALLOW_THREADS
    }
    if (!g_module) {
        PyRef module(create_module());
        if (!module || !forget_at_finalize()) return nullptr;
        g_module.set(module.release());
    }
    return Py_NewRef(g_module.get());
}

}  // namespace
}  // namespace fieldloom

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fieldloom() {
    return fieldloom::guarded_entry([] { return fieldloom::init_module(); });
}
