// What the module keeps between calls belongs to one interpreter. An
// embedding program may end it (Py_FinalizeEx) and start another in the same
// process; whatever was kept must then be forgotten, never released: the
// objects went with the old interpreter.
#pragma once

#include "python/python.hpp"

namespace fieldloom {

// Something kept for the running interpreter. Every instance lives for the
// whole process (namespace scope) and is listed at construction.
class InterpreterBound {
public:
    InterpreterBound(const InterpreterBound&) = delete;
    InterpreterBound& operator=(const InterpreterBound&) = delete;

    // Forgets what every instance keeps. Only once the interpreter has ended,
    // and before any call for the next one.
    static void forget_all() noexcept;

protected:
    InterpreterBound() noexcept;
    ~InterpreterBound() = default;
    virtual void forget() noexcept = 0;

private:
    InterpreterBound* next_;
};

// A strong reference kept while the interpreter lives.
class InterpreterObject final : public InterpreterBound {
public:
    PyObject* get() const noexcept { return object_; }
    // Takes the reference.
    void set(PyObject* owned) noexcept { object_ = owned; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    void forget() noexcept override { object_ = nullptr; }
    PyObject* object_ = nullptr;
};

// Runs InterpreterBound::forget_all when Py_FinalizeEx has ended the
// interpreter; registered once per interpreter. False with ImportError set
// when the interpreter has no room left for another hook.
bool forget_at_finalize();

}  // namespace fieldloom
