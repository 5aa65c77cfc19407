#include "engine/definitions/program.hpp"

#include <algorithm>

#include "engine/definitions/columns.hpp"
#include "python/errors.hpp"

namespace fieldloom::defs {

namespace {

// -- reading the plan ---------------------------------------------------------------------------------------------

bool malformed(const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed definitions program: %s", what);
    return false;
}

bool items(PyObject* object, Py_ssize_t expected, PyObject**& out, const char* what) {
    if (!PyTuple_Check(object) || (expected >= 0 && PyTuple_GET_SIZE(object) != expected)) return malformed(what);
    out = &PyTuple_GET_ITEM(object, 0);
    return true;
}

template <class T>
bool integer(PyObject* object, T& out, long long low, long long high, const char* what) {
    if (!PyLong_Check(object)) return malformed(what);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0 || value < low || value > high) {
        PyErr_Clear();
        return malformed(what);
    }
    out = static_cast<T>(value);
    return true;
}

// A comparison's constant: an int or a float. Fields hold integers of at
// most 64 bits, so an int beyond that range is clamped far out, where every
// comparison with a field's integer still comes out right (the Python layer
// turns such a constant into a float one for fields that give floats).
bool number(PyObject* object, Number& out) {
    if (PyFloat_Check(object)) {
        out.is_float = true;
        out.real = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!PyLong_Check(object)) return malformed("a constant that is not a number");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) return false;
    out.integer = value;
    if (overflow == 0) return true;
    const unsigned long long wide = PyLong_AsUnsignedLongLong(object);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        constexpr int128 kFar = int128{1} << 100;
        out.integer = overflow > 0 ? kFar : -kFar;
        return true;
    }
    out.integer = static_cast<int128>(wide);
    return true;
}

bool doubles(PyObject* object, std::vector<double>& out) {
    PyObject** item = nullptr;
    if (!items(object, -1, item, "numbers")) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
        const double value = PyFloat_AsDouble(item[i]);
        if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
        out.push_back(value);
    }
    return true;
}

bool read_node(PyObject* plan, Node& node, std::size_t at, std::size_t total, std::size_t slots);

// One tree of conditions in preorder, on the first `slots` slots.
bool read_nodes(PyObject* plan, std::vector<Node>& nodes, std::size_t slots) {
    PyObject** items_of = nullptr;
    if (!items(plan, -1, items_of, "conditions")) return false;
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(plan));
    nodes.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!read_node(items_of[i], nodes[i], i, count, slots)) return false;
    }
    if (count != 0 && nodes[0].size != count) return malformed("conditions that are not one tree");
    return true;
}

bool read_slot(PyObject* plan, Slot& slot, std::uint32_t index, std::uint32_t marks, std::uint32_t slots) {
    PyObject** f = nullptr;
    if (!items(plan, 20, f, "a slot")) return false;
    if (!PyUnicode_CheckExact(f[0])) return malformed("a slot name");
    slot.name = PyRef::borrow(f[0]);
    int kind = 0;
    int little = 0;
    int size = 0;
    if (!integer(f[13], kind, 0, 4, "slot kind") || !integer(f[2], slot.bits, 0, 0xFFFFFFFFLL, "bits") ||
        !integer(f[3], little, 0, 1, "byte order") || !integer(f[4], slot.anchor, 0, marks, "anchor") ||
        !integer(f[5], slot.delta, 0, INT64_MAX, "delta") || !integer(f[6], slot.count, 0, INT64_MAX, "count") ||
        !integer(f[7], size, 0, 4, "size mode") || !integer(f[8], slot.source, 0, index, "source") ||
        !integer(f[9], slot.slope, INT64_MIN, INT64_MAX, "slope") ||
        !integer(f[10], slot.intercept, INT64_MIN, INT64_MAX, "intercept") ||
        !integer(f[11], slot.unit, 1, 8, "unit") || !integer(f[12], slot.mark, 0, marks, "mark") ||
        !integer(f[15], slot.leading, 0, 64, "leading bits") ||
        !integer(f[17], slot.cursor_anchor, 0, marks, "cursor anchor") ||
        !integer(f[18], slot.cursor_delta, 0, INT64_MAX, "cursor delta")) {
        return false;
    }
    if (!PyBytes_Check(f[14]) || PyBytes_GET_SIZE(f[14]) > 4 || slot.leading % 8 != 0) return malformed("text content");
    slot.terminator_bytes = static_cast<std::uint8_t>(PyBytes_GET_SIZE(f[14]));
    std::copy_n(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(f[14])), slot.terminator_bytes, slot.terminator);
    slot.kind = static_cast<SlotKind>(kind);
    slot.order = little ? ByteOrder::Little : ByteOrder::Big;
    slot.size = static_cast<SizeMode>(size);
    if ((slot.size != SizeMode::Fixed) != (slot.mark != 0)) return malformed("a variable slot without its mark");
    if (!read_nodes(f[16], slot.condition, index)) return false;
    PyObject** cases = nullptr;
    slot.contextual = f[19] != Py_None;
    if (slot.contextual && !items(f[19], -1, cases, "calibration cases")) return false;
    if (slot.contextual) slot.cases.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(f[19])));
    for (std::size_t k = 0; k < slot.cases.size(); ++k) {  // on any slot of the chain: those after it too
        if (!read_nodes(cases[k], slot.cases[k], slots) || slot.cases[k].empty()) return malformed("a case");
    }
    if ((slot.size == SizeMode::Conditional) && slot.condition.empty()) return malformed("a condition");
    if (slot.size == SizeMode::FromField && slot.source >= index) return malformed("a size from a later slot");
    if ((slot.leading != 0 || slot.terminator_bytes != 0 || slot.size == SizeMode::Delimited) &&
        (slot.kind != SlotKind::Text || (slot.size == SizeMode::Delimited && slot.leading == 0 &&
                                         slot.terminator_bytes == 0))) {
        return malformed("text content");
    }
    if (slot.kind == SlotKind::Binary) return true;
    auto encoding = recipe::resolve_encoding(f[1], recipe::Direction::Unpack);
    if (!encoding) {
        raise_codec_error(std::move(encoding).error());
        return false;
    }
    slot.encoding = *encoding;
    slot.unpack = &recipe::unpack_row(slot.encoding);
    if (!slot.numeric()) return true;
    if (slot.quad()) {  // read by slot_quad, into float64
        if (slot.bits != 128) return malformed("a quad slot");
        slot.column = batch::Column::F64;
        return true;
    }
    if (slot.bits < 1 || slot.bits > 64 || slot.unpack->reads_bytes) return malformed("a numeric slot");
    slot.column = batch::column_of(slot.encoding, slot.bits);
    slot.convert = batch::convert_for(slot.encoding, slot.column, false);
    slot.check = batch::convert_for(slot.encoding, slot.column, true);
    const bool whole_bytes = slot.anchor == 0 && slot.delta % 8 == 0 && slot.bits % 8 == 0;
    slot.fused = fused_kernel(slot.encoding, slot.column, slot.order, whole_bytes ? slot.bits / 8 : 0);
    return true;
}

bool read_node(PyObject* plan, Node& node, std::size_t at, std::size_t total, std::size_t slots) {
    PyObject** f = nullptr;
    if (!items(plan, 7, f, "a condition")) return false;
    int kind = 0;
    int op = 0;
    int transform = 0;
    if (!integer(f[0], kind, 0, 2, "node kind") || !integer(f[1], node.size, 1, total - at, "node size") ||
        !integer(f[2], node.slot, 0, slots == 0 ? 0 : slots - 1, "node slot") || !integer(f[3], op, 0, 5, "op") ||
        !integer(f[5], transform, 0, 5, "transform")) {
        return false;
    }
    node.kind = static_cast<NodeKind>(kind);
    node.op = static_cast<Op>(op);
    node.transform = static_cast<Transform>(transform);
    if (node.kind != NodeKind::Compare) return true;
    if (slots == 0 || node.size != 1) return malformed("a comparison");
    if (!number(f[4], node.value)) return false;
    PyObject** params = nullptr;
    switch (node.transform) {
        case Transform::InSet:
        case Transform::NotInSet: {
            if (!items(f[6], -1, params, "codes")) return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f[6]); ++i) {
                Number code;
                if (!number(params[i], code) || code.is_float) return malformed("a code");
                node.codes.push_back(code.integer);
            }
            std::sort(node.codes.begin(), node.codes.end());
            return true;
        }
        case Transform::Polynomial:
            return doubles(f[6], node.xs) && (!node.xs.empty() || malformed("a polynomial"));
        case Transform::Spline: {
            if (!items(f[6], 4, params, "a spline") || !doubles(params[0], node.xs) || !doubles(params[1], node.ys) ||
                !integer(params[2], node.order, 0, 1, "spline order")) {
                return false;
            }
            node.extrapolate = PyObject_IsTrue(params[3]) == 1;
            return node.xs.size() == node.ys.size() && node.xs.size() >= 2 ? true : malformed("spline points");
        }
        default:
            return true;
    }
}

bool read_type(PyObject* plan, TypeProgram& type) {
    PyObject** f = nullptr;
    if (!items(plan, 4, f, "a packet type")) return false;
    if (!PyUnicode_CheckExact(f[0])) return malformed("a type name");
    type.name = PyRef::borrow(f[0]);
    if (!integer(f[1], type.marks, 0, kMaxMarks, "marks")) return false;
    PyObject** slots = nullptr;
    if (!items(f[2], -1, slots, "slots")) return false;
    const auto slot_count = static_cast<std::uint32_t>(PyTuple_GET_SIZE(f[2]));
    type.slots.resize(slot_count);
    type.reach.assign(type.marks + 1, 0);
    for (std::uint32_t i = 0; i < slot_count; ++i) {
        Slot& slot = type.slots[i];
        if (!read_slot(slots[i], slot, i, type.marks, slot_count)) return false;
        if (slot.mark != 0) {
            if (slot.mark != type.variable.size() + 1) return malformed("marks out of order");
            type.variable.push_back(i);
            continue;
        }
        std::uint64_t end = 0;
        if (__builtin_add_overflow(slot.delta, slot.fixed_bits(), &end)) return malformed("an entry past 2^64 bits");
        type.reach[slot.anchor] = std::max(type.reach[slot.anchor], end);
    }
    if (type.variable.size() != type.marks) return malformed("marks without their slots");
    for (const Slot& slot : type.slots) {
        if (slot.size == SizeMode::FromField && type.slots[slot.source].kind != SlotKind::Scalar) {
            return malformed("a size from a slot that is not a single number");
        }
    }
    if (!read_nodes(f[3], type.conditions, slot_count)) return false;
    auto settle = [&](std::vector<Node>& tree) {
        for (Node& node : tree) {
            if (node.kind != NodeKind::Compare) continue;
            const Slot& slot = type.slots[node.slot];
            if (slot.kind != SlotKind::Scalar) return malformed("a comparison of a field that is not a single number");
            node.direct = slot.anchor == 0 && slot.condition.empty() && slot.encoding == Encoding::Unsigned &&
                          node.transform == Transform::None && !node.value.is_float;
        }
        return true;
    };
    if (!settle(type.conditions)) return false;
    for (Slot& slot : type.slots) {
        if (!settle(slot.condition)) return false;
        for (std::vector<Node>& tree : slot.cases) {
            if (!settle(tree)) return false;
        }
    }
    return true;
}

}  // namespace

bool Program::build(PyObject* plan) {
    PyObject** f = nullptr;
    if (!items(plan, 2, f, "the program")) return false;
    PyObject** types_spec = nullptr;
    PyObject** order_spec = nullptr;
    if (!items(f[0], -1, types_spec, "types") || !items(f[1], -1, order_spec, "order")) return false;
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(f[0]));
    if (count >= 0xFFFF) return malformed("more than 65534 packet types");
    types.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!read_type(types_spec[i], types[i])) return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(f[1]); ++i) {
        std::uint32_t index = 0;
        if (!integer(order_spec[i], index, 0, static_cast<long long>(count) - 1, "order")) return false;
        order.push_back(index);
    }
    build_dispatch(*this);
    return true;
}

bool find_marks(const TypeProgram& type, const PacketBytes& packet, std::uint32_t upto, Marks& marks,
                Fault& fault) noexcept {
    const std::uint64_t total = packet.length * 8;
    while (marks.known < upto) {
        const std::uint32_t index = type.variable[marks.known];
        const Slot& slot = type.slots[index];
        fault.slot = index;
        fault.counted = false;
        if (!slot.condition.empty() && !conditions_hold(type, slot.condition, packet, marks)) {
            marks.absent |= std::uint64_t{1} << (marks.known + 1);
            marks.at[marks.known + 1] = marks.at[slot.cursor_anchor] + slot.cursor_delta;  // within: it precedes
            ++marks.known;
            continue;
        }
        fault.slot = index;
        std::uint64_t start = 0;
        if (__builtin_add_overflow(marks.at[slot.anchor], slot.delta, &start) || start > total) {
            fault.reason = Reason::TooShort;
            return false;
        }
        std::uint64_t size = total - start;  // ToEnd
        if (slot.size == SizeMode::Conditional) {
            size = slot.fixed_bits();
            if (size > total - start) {
                fault.reason = Reason::TooShort;
                return false;
            }
        } else if (slot.size == SizeMode::Delimited) {
            Content content;
            if (!text_content(slot, packet.data + start / 8, size / 8, content, fault)) return false;
            if (!content.ended) {
                fault.reason = Reason::TooShort;
                return false;
            }
            size = (content.first + content.bytes + (slot.leading != 0 ? 0 : slot.terminator_bytes)) * 8;
        } else if (slot.size == SizeMode::FromField) {
            Number value;
            if (!slot_number(type, slot.source, packet, marks, value, fault)) return false;
            fault.slot = index;
            fault.counted = false;
            int128 n = 0;
            int128 bits = 0;
            const int128 per = slot.numeric() ? int128{slot.bits} : int128{slot.unit};
            if (__builtin_mul_overflow(value.integer, int128{slot.slope}, &n) ||
                __builtin_add_overflow(n, int128{slot.intercept}, &n)) {
                fault.reason = Reason::TooShort;  // far past any packet
                fault.value = 0;
                return false;
            }
            fault.value = n;
            fault.counted = true;
            if (n >= 0 && __builtin_mul_overflow(n, per, &bits)) {
                fault.reason = Reason::TooShort;
                return false;
            }
            if (n < 0 || (!slot.numeric() && bits % 8 != 0)) {
                fault.reason = Reason::BadSize;
                return false;
            }
            if (bits > static_cast<int128>(total - start)) {
                fault.reason = Reason::TooShort;
                return false;
            }
            size = static_cast<std::uint64_t>(bits);
        }
        marks.at[++marks.known] = start + size;
    }
    return true;
}

bool slot_number(const TypeProgram& type, std::uint32_t index, const PacketBytes& packet, Marks& marks,
                 Number& out, Fault& fault) noexcept {
    const Slot& slot = type.slots[index];
    const std::uint32_t needed = slot.condition.empty() ? slot.anchor : slot.mark;
    if (needed > marks.known && !find_marks(type, packet, needed, marks, fault)) return false;
    fault.slot = index;
    if (!marks.has(slot)) {
        fault.reason = Reason::None;  // absent: no value, and no fault of the packet
        return false;
    }
    std::uint64_t start = 0;
    const std::uint64_t total = packet.length * 8;
    if (__builtin_add_overflow(marks.at[slot.anchor], slot.delta, &start) || start > total ||
        slot.bits > total - start) {
        fault.reason = Reason::TooShort;
        return false;
    }
    if (slot.quad()) {
        out = Number{true, 0, slot_quad(slot, packet, start)};
        return true;
    }
    const std::uint64_t raw = slot_raw(slot, packet, start);
    alignas(8) unsigned char cell[8] = {};
    std::uint8_t failed = 0;
    slot.convert(&raw, 1, slot.bits, cell, 0, &failed);
    if (failed) {
        fault.reason = Reason::BadValue;
        return false;
    }
    out = Number{};
    switch (slot.column) {
        case batch::Column::U8: out.integer = *reinterpret_cast<std::uint8_t*>(cell); break;
        case batch::Column::U16: out.integer = *reinterpret_cast<std::uint16_t*>(cell); break;
        case batch::Column::U32: out.integer = *reinterpret_cast<std::uint32_t*>(cell); break;
        case batch::Column::U64: out.integer = *reinterpret_cast<std::uint64_t*>(cell); break;
        case batch::Column::I8: out.integer = *reinterpret_cast<std::int8_t*>(cell); break;
        case batch::Column::I16: out.integer = *reinterpret_cast<std::int16_t*>(cell); break;
        case batch::Column::I32: out.integer = *reinterpret_cast<std::int32_t*>(cell); break;
        case batch::Column::I64: out.integer = *reinterpret_cast<std::int64_t*>(cell); break;
        case batch::Column::F32: out = Number{true, 0, *reinterpret_cast<float*>(cell)}; break;
        default: out = Number{true, 0, *reinterpret_cast<double*>(cell)}; break;
    }
    return true;
}

bool slot_extent(const TypeProgram& type, std::uint32_t index, const PacketBytes& packet, Marks& marks,
                 std::uint64_t& start, std::uint64_t& bits, Fault& fault) noexcept {
    const Slot& slot = type.slots[index];
    const std::uint32_t needed = slot.mark != 0 ? slot.mark : slot.anchor;
    if (needed > marks.known && !find_marks(type, packet, needed, marks, fault)) return false;
    fault.slot = index;
    if (!marks.has(slot)) {
        start = marks.at[slot.mark];
        bits = 0;
        return true;
    }
    const std::uint64_t total = packet.length * 8;
    if (__builtin_add_overflow(marks.at[slot.anchor], slot.delta, &start) || start > total) {
        fault.reason = Reason::TooShort;
        return false;
    }
    bits = slot.mark != 0 ? marks.at[slot.mark] - start : slot.fixed_bits();
    if (bits > total - start) {
        fault.reason = Reason::TooShort;
        return false;
    }
    return true;
}

std::uint64_t entries_end(const TypeProgram& type, const Marks& marks) noexcept {
    std::uint64_t end = 0;
    for (std::uint32_t k = 0; k <= type.marks; ++k) end = std::max(end, marks.at[k] + type.reach[k]);
    return end;
}

}  // namespace fieldloom::defs
