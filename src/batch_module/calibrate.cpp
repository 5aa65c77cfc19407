#include "batch_module/calibrate.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/calibrate.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/buffers.hpp"

namespace fieldloom::batch {

const char calibrate_doc[] =
    "calibrate(values, value_type, out, failed, plan, /)\n--\n\n"
    "Calibrate a column into `out`; see fieldloom_batch.definitions.calibrate.";

namespace {

constexpr std::array<std::string_view, 10> kValueTypes = {"u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f4", "f8"};
constexpr std::array<std::size_t, 10> kValueSizes = {1, 2, 4, 8, 1, 2, 4, 8, 4, 8};
constexpr std::size_t kKinds = 7;
// Bytes per row that each kind writes.
constexpr std::array<std::size_t, kKinds> kOutSizes = {8, 8, 4, 1, 8, 8, 8};

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

// A table of the plan (coefficients, points or codes): None, or a buffer of
// 8-byte items.
bool hold_table(PyObject* object, HeldBuffer& held, std::size_t& items) {
    items = 0;
    if (object == Py_None) return true;
    if (!held.hold(object, PyBUF_C_CONTIGUOUS)) return false;
    if (held.size() % 8 != 0) return fail(PyExc_ValueError, "a calibration table holds 8-byte items");
    items = held.size() / 8;
    return true;
}

template <class Kind>
bool item(PyObject* plan, Py_ssize_t at, typename Kind::type& out) {
    return Kind::convert(PyTuple_GET_ITEM(plan, at), out);
}

}  // namespace

PyObject* calibrate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_Format(PyExc_TypeError, "calibrate() takes 5 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        PyObject* plan_tuple = args[4];
        if (!PyTuple_Check(plan_tuple) || PyTuple_GET_SIZE(plan_tuple) != 10) {
            PyErr_SetString(PyExc_TypeError, "calibrate() needs a plan of 10 items");
            return nullptr;
        }
        Py_ssize_t type_length = 0;
        const char* type_text = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8AndSize(args[1], &type_length) : nullptr;
        std::size_t type = kValueTypes.size();
        for (std::size_t k = 0; type_text != nullptr && k < kValueTypes.size(); ++k)
            if (kValueTypes[k] == std::string_view(type_text, static_cast<std::size_t>(type_length))) type = k;
        if (type == kValueTypes.size()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "value_type must be one of u1 u2 u4 u8 i1 i2 i4 i8 f4 f8");
            return nullptr;
        }

        CalibrationPlan plan;
        std::uint32_t kind = 0;
        std::uint32_t order = 0;
        bool extrapolate = false;
        std::uint32_t fraction = 0;
        if (!item<kind::U32>(plan_tuple, 0, kind) || !item<kind::U32>(plan_tuple, 3, order) ||
            !item<kind::Flag>(plan_tuple, 4, extrapolate) || !item<kind::Flag>(plan_tuple, 5, plan.has_other) ||
            !item<kind::I64>(plan_tuple, 6, plan.epoch_ns) || !item<kind::Double>(plan_tuple, 7, plan.scale) ||
            !item<kind::Double>(plan_tuple, 8, plan.offset) || !item<kind::U32>(plan_tuple, 9, fraction))
            return nullptr;
        if (kind >= kKinds || order > 1 || fraction > 16) {
            PyErr_SetString(PyExc_ValueError, "calibrate(): the plan is out of range");
            return nullptr;
        }
        plan.kind = static_cast<CalibrationKind>(kind);
        plan.order = static_cast<int>(order);
        plan.extrapolate = extrapolate;
        plan.fraction = fraction;
        if ((plan.kind == CalibrationKind::Cuc && fraction > 3) ||
            (plan.kind == CalibrationKind::Cds && fraction != 0 && fraction != 16)) {
            PyErr_SetString(PyExc_ValueError, "calibrate(): the time code's fraction is out of range");
            return nullptr;
        }

        HeldBuffer xs;
        HeldBuffer ys;
        std::size_t x_items = 0;
        std::size_t y_items = 0;
        if (!hold_table(PyTuple_GET_ITEM(plan_tuple, 1), xs, x_items) ||
            !hold_table(PyTuple_GET_ITEM(plan_tuple, 2), ys, y_items))
            return nullptr;
        plan.size = x_items;
        plan.xs = static_cast<const double*>(xs.data());
        plan.ys = static_cast<const double*>(ys.data());
        plan.signed_codes = static_cast<const std::int64_t*>(xs.data());
        plan.unsigned_codes = static_cast<const std::uint64_t*>(xs.data());
        if ((plan.kind == CalibrationKind::Polynomial && x_items == 0) ||
            (plan.kind == CalibrationKind::Spline && (x_items < 2 || y_items != x_items)) ||
            (plan.kind == CalibrationKind::Enumeration && x_items > INT32_MAX)) {
            PyErr_SetString(PyExc_ValueError, "calibrate(): the plan's tables do not fit its kind");
            return nullptr;
        }

        HeldBuffer values;
        HeldBuffer out;
        HeldBuffer failed;
        if (!values.hold(args[0], PyBUF_C_CONTIGUOUS) || !out.hold(args[2], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE))
            return nullptr;
        const std::size_t rows = values.size() / kValueSizes[type];
        if (values.size() % kValueSizes[type] != 0 || out.size() != rows * kOutSizes[kind]) {
            PyErr_SetString(PyExc_ValueError, "calibrate(): values and out must hold the same rows");
            return nullptr;
        }
        const bool flagged = args[3] != Py_None;
        if (flagged) {
            if (!failed.hold(args[3], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
            if (failed.size() != rows) {
                PyErr_SetString(PyExc_ValueError, "calibrate(): failed must hold one byte per row");
                return nullptr;
            }
        }
        std::size_t failures = 0;
        Py_BEGIN_ALLOW_THREADS
        failures = calibrate_column(plan, static_cast<ValueType>(type), values.data(), rows, out.data(),
                                    flagged ? static_cast<bool*>(failed.data()) : nullptr);
        Py_END_ALLOW_THREADS
        return PyLong_FromSize_t(failures);
    });
}

}  // namespace fieldloom::batch
