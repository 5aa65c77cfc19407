#include "batch_module/pack_fixed.hpp"

#include <cstdint>
#include <vector>

#include "engine/definitions_pack.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/buffers.hpp"

namespace fieldloom::batch {

const char pack_fixed_doc[] =
    "pack_fixed(placements, columns, rows, size, where, /)\n--\n\n"
    "Packets of a fixed layout from columns; see fieldloom_batch.definitions.Definitions.pack.";

PyObject* pack_fixed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_Format(PyExc_TypeError, "pack_fixed() takes 5 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        std::vector<defs::PackField> fields;
        if (!defs::read_pack_fields(args[0], fields)) return nullptr;
        std::uint64_t rows = 0;
        std::uint64_t size = 0;
        if (!kind::U64::convert(args[2], rows) || !kind::U64::convert(args[3], size)) return nullptr;
        HeldBuffer where;
        if (!where.hold(args[4], PyBUF_WRITABLE)) return nullptr;
        if (where.size() != 2 * sizeof(std::int64_t)) {
            PyErr_SetString(PyExc_ValueError, "where must be two int64");
            return nullptr;
        }
        return defs::pack_rows(fields, args[1], rows, size, static_cast<std::int64_t*>(where.data()));
    });
}

}  // namespace fieldloom::batch
