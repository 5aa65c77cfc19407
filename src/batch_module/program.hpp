// The native base type of fieldloom_batch.definitions' compiled program.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// Ready for use as a base type; nullptr with an exception set on failure.
PyTypeObject* program_type();

}  // namespace fieldloom::batch
