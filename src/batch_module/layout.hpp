// The native base type of fieldloom_batch.Layout.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// Ready for use as a base type; nullptr with an exception set on failure.
PyTypeObject* layout_type();

}  // namespace fieldloom::batch
