#include "engine/definitions/tables.hpp"

#include <cstring>

#include "engine/batch_decode.hpp"

namespace fieldloom::defs {

namespace {

// A lane's arrays cut to its `count` rows, in place.
bool fit(std::unique_ptr<LaneArrays>& lane, std::uint64_t count) {
    auto fitted = std::make_unique<LaneArrays>();
    fitted->index = std::move(lane->index);
    fitted->offset = std::move(lane->offset);
    lane.reset();  // no buffer held: the arrays may move
    PyRef size(Py_BuildValue("(K)", static_cast<unsigned long long>(count)));
    PyRef keywords(Py_BuildValue("{s:O}", "refcheck", Py_False));
    if (!size || !keywords) return false;
    for (PyRef* array : {&fitted->index, &fitted->offset}) {
        PyRef resize(PyObject_GetAttrString(array->get(), "resize"));
        if (!resize || !PyRef(PyObject_Call(resize.get(), size.get(), keywords.get()))) return false;
    }
    if (!fitted->index_held.hold(fitted->index.get(), PyBUF_WRITABLE) ||
        !fitted->offset_held.hold(fitted->offset.get(), PyBUF_WRITABLE)) {
        return false;
    }
    lane = std::move(fitted);
    return true;
}

}  // namespace

// A table of `count` rows; its index and offset columns those of `lane` when given.
bool allocate(Table& table, const Arrays& arrays, std::uint64_t count, std::unique_ptr<LaneArrays> lane) {
    const TypeProgram& type = *table.type;
    auto array = [&](PyRef& out, HeldBuffer* held, const char* code, std::uint64_t width, bool matrix) {
        out = matrix ? PyRef(PyObject_CallFunction(arrays.empty.get(), "(KK)s", static_cast<unsigned long long>(count),
                                                   static_cast<unsigned long long>(width), code))
                     : PyRef(PyObject_CallFunction(arrays.empty.get(), "Ks", static_cast<unsigned long long>(count), code));
        return out && (held == nullptr || held->hold(out.get(), PyBUF_WRITABLE));
    };
    if (lane) {
        if (!fit(lane, count)) return false;
        table.place = std::move(lane);
    } else {
        table.place = std::make_unique<LaneArrays>();
        if (!array(table.place->index, &table.place->index_held, "i8", 0, false) ||
            !array(table.place->offset, &table.place->offset_held, "i8", 0, false)) {
            return false;
        }
    }
    table.failed.assign(count, 0);
    table.columns.resize(type.slots.size());
    table.rows.type = &type;
    table.rows.packets = table.index_data();
    table.rows.offsets = table.offset_data();
    table.rows.count = count;
    table.rows.failed = table.failed.data();
    table.rows.columns.assign(type.slots.size(), nullptr);
    for (std::size_t s = 0; s < type.slots.size(); ++s) {
        const Slot& slot = type.slots[s];
        auto held = std::make_unique<HeldBuffer>();
        const bool numeric = (slot.kind == SlotKind::Scalar || slot.kind == SlotKind::FixedArray) && slot.condition.empty();
        const char* code = numeric ? batch::kDtypeCodes[static_cast<std::size_t>(slot.column)] : "O";
        if (!array(table.columns[s], held.get(), code, slot.count, numeric && slot.kind == SlotKind::FixedArray)) return false;
        if (numeric) {
            table.rows.columns[s] = held->data();
        } else {
            table.with_lock = true;
        }
        table.held.push_back(std::move(held));
    }
    return true;
}

// Text, binary and arrays of a count from a field: one object per row.
bool fill_with_lock(Table& table, const Frames& frames, const Arrays& arrays) {
    const TypeProgram& type = *table.type;
    for (std::uint64_t row = 0; row < table.rows.count; ++row) {
        if (table.failed[row]) continue;
        const PacketBytes packet = frames.packet(static_cast<std::uint64_t>(table.index_data()[row]),
                                                 static_cast<std::uint64_t>(table.offset_data()[row]));
        Marks marks;
        marks.at[0] = 0;
        for (std::uint32_t s = 0; s < type.slots.size(); ++s) {
            if (table.rows.columns[s] != nullptr) continue;
            PyRef value;
            Refusal refusal;
            const Outcome outcome = slot_object(type, s, packet, marks, arrays, value, refusal);
            if (outcome == Outcome::Error) return false;
            if (outcome == Outcome::Refused) {
                table.failed[row] = 1;
                break;
            }
            auto** objects = static_cast<PyObject**>(table.held[s]->data());
            Py_SETREF(objects[row], value.release());
        }
    }
    return true;
}

// Removes the failed rows of a table; the arrays become views of the kept rows.
bool drop_failed(Table& table) {
    const std::uint64_t count = table.rows.count;
    const void* found = count == 0 ? nullptr : std::memchr(table.failed.data(), 1, count);
    if (found == nullptr) return true;
    const auto first = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - table.failed.data());
    std::uint64_t kept = first;
    for (std::uint64_t r = first; r < count; ++r) kept += table.failed[r] ? 0 : 1;
    const std::uint8_t* failed = table.failed.data();
    batch::drop_rows(table.index_data(), 8, false, failed, first, count);
    batch::drop_rows(table.offset_data(), 8, false, failed, first, count);
    for (std::size_t s = 0; s < table.columns.size(); ++s) {
        const HeldBuffer& held = *table.held[s];
        const std::uint64_t row_bytes = held.size() / count;
        batch::drop_rows(held.data(), row_bytes, table.rows.columns[s] == nullptr, failed, first, count);
    }
    auto slice = [kept](PyRef& array) {
        array = PyRef(PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(kept)));
        return static_cast<bool>(array);
    };
    if (!slice(table.place->index) || !slice(table.place->offset)) return false;
    for (PyRef& column : table.columns) {
        if (!slice(column)) return false;
    }
    return true;
}

}  // namespace fieldloom::defs
