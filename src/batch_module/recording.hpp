// The native base type of fieldloom_batch.Recording: a read-only mmap.mmap
// whose map is watched for the file shrinking under it, that may stand for
// an empty file, and whose map goes with its last view once it is closed.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// A subclass of mmap.mmap; nullptr with an exception set on failure.
PyTypeObject* mapped_file_type();

}  // namespace fieldloom::batch
