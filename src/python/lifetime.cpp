#include "python/lifetime.hpp"

namespace fieldloom {
namespace {

// Constant-initialised, so instances in any translation unit may list
// themselves during dynamic initialisation.
constinit InterpreterBound* g_bound = nullptr;

void forget_everything() { InterpreterBound::forget_all(); }

}  // namespace

InterpreterBound::InterpreterBound() noexcept : next_(g_bound) { g_bound = this; }

void InterpreterBound::forget_all() noexcept {
    for (InterpreterBound* bound = g_bound; bound != nullptr; bound = bound->next_) bound->forget();
}

bool forget_at_finalize() {
    // The hooks run after the interpreter is gone and each runs once: the
    // next interpreter registers again when it builds its module.
    if (Py_AtExit(&forget_everything) == 0) return true;
    PyErr_SetString(PyExc_ImportError, "fieldloom could not register its interpreter shutdown hook");
    return false;
}

}  // namespace fieldloom
