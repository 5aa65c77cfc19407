#include "batch_module/calibrate.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/calibrate.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/buffers.hpp"

namespace fieldloom::batch {

const char calibrate_doc[] =
    "calibrate(values, value_type, out, failed, plan, /)\n--\n\n"
    "Calibrate a column into `out`; see fieldloom_batch.definitions.calibrate.";
const char calibrate_cases_doc[] =
    "calibrate_cases(values, value_type, cases, width, out, failed, plans, /)\n--\n\n"
    "Calibrate a column by each row's case into `out`; see fieldloom_batch.definitions.calibrate.";

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

namespace {

// The column type named by `name`, or kValueTypes.size() (ValueError set).
std::size_t value_type(PyObject* name) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    for (std::size_t k = 0; text != nullptr && k < kValueTypes.size(); ++k)
        if (kValueTypes[k] == std::string_view(text, static_cast<std::size_t>(length))) return k;
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "value_type must be one of u1 u2 u4 u8 i1 i2 i4 i8 f4 f8");
    return kValueTypes.size();
}

// A plan tuple read into `plan`, its tables held in `xs` and `ys` while it is used.
bool read_plan(PyObject* plan_tuple, CalibrationPlan& plan, HeldBuffer& xs, HeldBuffer& ys) {
    if (!PyTuple_Check(plan_tuple) || PyTuple_GET_SIZE(plan_tuple) != 10)
        return fail(PyExc_TypeError, "calibrate() needs a plan of 10 items");
    std::uint32_t kind = 0;
    std::uint32_t order = 0;
    bool extrapolate = false;
    std::uint32_t fraction = 0;
    if (!item<kind::U32>(plan_tuple, 0, kind) || !item<kind::U32>(plan_tuple, 3, order) ||
        !item<kind::Flag>(plan_tuple, 4, extrapolate) || !item<kind::Flag>(plan_tuple, 5, plan.has_other) ||
        !item<kind::I64>(plan_tuple, 6, plan.epoch_ns) || !item<kind::Double>(plan_tuple, 7, plan.scale) ||
        !item<kind::Double>(plan_tuple, 8, plan.offset) || !item<kind::U32>(plan_tuple, 9, fraction))
        return false;
    if (kind >= kKinds || order > 1 || fraction > 16)
        return fail(PyExc_ValueError, "calibrate(): the plan is out of range");
    plan.kind = static_cast<CalibrationKind>(kind);
    plan.order = static_cast<int>(order);
    plan.extrapolate = extrapolate;
    plan.fraction = fraction;
    if ((plan.kind == CalibrationKind::Cuc && fraction > 3) ||
        (plan.kind == CalibrationKind::Cds && fraction != 0 && fraction != 16))
        return fail(PyExc_ValueError, "calibrate(): the time code's fraction is out of range");
    std::size_t x_items = 0;
    std::size_t y_items = 0;
    if (!hold_table(PyTuple_GET_ITEM(plan_tuple, 1), xs, x_items) ||
        !hold_table(PyTuple_GET_ITEM(plan_tuple, 2), ys, y_items))
        return false;
    plan.size = x_items;
    plan.xs = static_cast<const double*>(xs.data());
    plan.ys = static_cast<const double*>(ys.data());
    plan.signed_codes = static_cast<const std::int64_t*>(xs.data());
    plan.unsigned_codes = static_cast<const std::uint64_t*>(xs.data());
    if ((plan.kind == CalibrationKind::Polynomial && x_items == 0) ||
        (plan.kind == CalibrationKind::Spline && (x_items < 2 || y_items != x_items)) ||
        (plan.kind == CalibrationKind::Enumeration && x_items > INT32_MAX))
        return fail(PyExc_ValueError, "calibrate(): the plan's tables do not fit its kind");
    return true;
}

// `failed`: None, or a writable buffer of one byte per row, held.
bool hold_failed(PyObject* object, HeldBuffer& failed, std::size_t rows) {
    if (object == Py_None) return true;
    if (!failed.hold(object, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return false;
    return failed.size() == rows || fail(PyExc_ValueError, "calibrate(): failed must hold one byte per row");
}

}  // namespace

PyObject* calibrate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_Format(PyExc_TypeError, "calibrate() takes 5 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        const std::size_t type = value_type(args[1]);
        CalibrationPlan plan;
        HeldBuffer xs;
        HeldBuffer ys;
        if (type == kValueTypes.size() || !read_plan(args[4], plan, xs, ys)) return nullptr;
        HeldBuffer values;
        HeldBuffer out;
        HeldBuffer failed;
        if (!values.hold(args[0], PyBUF_C_CONTIGUOUS) || !out.hold(args[2], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE))
            return nullptr;
        const std::size_t rows = values.size() / kValueSizes[type];
        const std::size_t out_size = kOutSizes[static_cast<std::size_t>(plan.kind)];
        if (values.size() % kValueSizes[type] != 0 || out.size() != rows * out_size) {
            PyErr_SetString(PyExc_ValueError, "calibrate(): values and out must hold the same rows");
            return nullptr;
        }
        if (!hold_failed(args[3], failed, rows)) return nullptr;
        const bool flagged = args[3] != Py_None;
        std::size_t failures = 0;
        Py_BEGIN_ALLOW_THREADS
        failures = calibrate_column(plan, static_cast<ValueType>(type), values.data(), rows, out.data(),
                                    flagged ? static_cast<bool*>(failed.data()) : nullptr);
        Py_END_ALLOW_THREADS
        return PyLong_FromSize_t(failures);
    });
}

PyObject* calibrate_cases(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 7) {
            PyErr_Format(PyExc_TypeError, "calibrate_cases() takes 7 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        const std::size_t type = value_type(args[1]);
        if (type == kValueTypes.size()) return nullptr;
        if (!PyTuple_Check(args[6])) {
            PyErr_SetString(PyExc_TypeError, "calibrate_cases() needs a tuple of plans");
            return nullptr;
        }
        const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(args[6]));
        std::vector<CalibrationPlan> plans(count);
        std::vector<HeldBuffer> tables(2 * count);
        for (std::size_t k = 0; k < count; ++k) {
            if (!read_plan(PyTuple_GET_ITEM(args[6], static_cast<Py_ssize_t>(k)), plans[k], tables[2 * k],
                           tables[2 * k + 1]))
                return nullptr;
            if (plans[k].kind != CalibrationKind::Polynomial && plans[k].kind != CalibrationKind::Spline) {
                PyErr_SetString(PyExc_ValueError, "calibrate_cases(): the plans are polynomials or splines");
                return nullptr;
            }
        }
        std::uint64_t width = 0;
        HeldBuffer values;
        HeldBuffer cases;
        HeldBuffer out;
        HeldBuffer failed;
        if (!kind::U64::convert(args[3], width) || !values.hold(args[0], PyBUF_C_CONTIGUOUS) ||
            !cases.hold(args[2], PyBUF_C_CONTIGUOUS) || !out.hold(args[4], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE))
            return nullptr;
        const std::size_t n = values.size() / kValueSizes[type];
        const std::size_t rows = cases.size() / 4;
        if (values.size() % kValueSizes[type] != 0 || cases.size() % 4 != 0 || out.size() != n * 8 ||
            (width == 0 ? n != 0 : n / width != rows || n % width != 0)) {
            PyErr_SetString(PyExc_ValueError, "calibrate_cases(): values, cases and out must hold the same rows");
            return nullptr;
        }
        if (!hold_failed(args[5], failed, n)) return nullptr;
        const bool flagged = args[5] != Py_None;
        std::size_t failures = 0;
        Py_BEGIN_ALLOW_THREADS
        failures = batch::calibrate_cases(plans.data(), count, static_cast<ValueType>(type), values.data(), n,
                                          static_cast<const std::uint32_t*>(cases.data()), width,
                                          static_cast<double*>(out.data()),
                                          flagged ? static_cast<bool*>(failed.data()) : nullptr);
        Py_END_ALLOW_THREADS
        return PyLong_FromSize_t(failures);
    });
}

}  // namespace fieldloom::batch
