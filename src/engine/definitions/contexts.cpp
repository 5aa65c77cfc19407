#include "engine/definitions/contexts.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "engine/batch_kernels.hpp"
#include "python/buffers.hpp"

namespace fieldloom::defs {

namespace {

bool contextual(const TypeProgram& type) noexcept {
    for (const Slot& slot : type.slots) {
        if (slot.contextual) return true;
    }
    return false;
}

// A contextual slot's column of cases, and the decoded columns of the
// fields its conditions compare (none where one has no column of its own):
// a row whose values there equal the row before's takes its case without
// evaluating, as telemetry keeps a mode for long runs of packets.
struct CaseColumn {
    const Slot* slot;
    std::uint32_t* cases;
    std::vector<std::pair<const unsigned char*, std::size_t>> fields;  // rows, bytes per row
};

constexpr std::size_t kMostFields = 4;

std::vector<std::pair<const unsigned char*, std::size_t>> fields_read(const TypeProgram& type, const Slot& slot,
                                                                     const std::vector<void*>& decoded) {
    std::vector<std::pair<const unsigned char*, std::size_t>> fields;
    for (const std::vector<Node>& tree : slot.cases) {
        for (const Node& node : tree) {
            if (node.kind != NodeKind::Compare) continue;
            const Slot& field = type.slots[node.slot];
            if (decoded[node.slot] == nullptr || field.kind != SlotKind::Scalar) return {};
            // The digit of the column's dtype code ("u2", "f8") is its item size.
            const auto item = static_cast<std::size_t>(batch::kDtypeCodes[static_cast<std::size_t>(field.column)][1] - '0');
            const std::pair<const unsigned char*, std::size_t> column{static_cast<const unsigned char*>(decoded[node.slot]),
                                                                      item};
            if (std::find(fields.begin(), fields.end(), column) == fields.end()) fields.push_back(column);
        }
    }
    return fields.size() <= kMostFields ? fields : decltype(fields){};
}

// Equal decoded values give equal comparisons (equal bytes: a NaN too).
bool same_as_before(const CaseColumn& column, std::uint64_t row) noexcept {
    for (const auto& [rows, item] : column.fields) {
        if (std::memcmp(rows + row * item, rows + (row - 1) * item, item) != 0) return false;
    }
    return true;
}

}  // namespace

std::uint32_t choose_case(const TypeProgram& type, const Slot& slot, const PacketBytes& packet, Marks& marks) noexcept {
    std::uint32_t k = 0;
    while (k < slot.cases.size() && !conditions_hold(type, slot.cases[k], packet, marks)) ++k;
    return k;
}

PyObject* case_columns(const TypeProgram& type, const Frames& frames, const std::int64_t* packets,
                       const std::int64_t* offsets, std::uint64_t rows,
                       const std::vector<void*>& decoded, const Arrays& arrays, std::uint64_t threads) {
    if (!contextual(type)) Py_RETURN_NONE;
    const std::size_t slots = type.slots.size();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(slots)));
    if (!list) return nullptr;
    std::unique_ptr<HeldBuffer[]> held(new HeldBuffer[slots]);
    std::vector<CaseColumn> columns;
    for (std::size_t s = 0; s < slots; ++s) {
        PyRef column = PyRef::borrow(Py_None);
        if (type.slots[s].contextual) {
            const auto length = static_cast<unsigned long long>(rows);
            column = PyRef(PyObject_CallFunction(arrays.empty.get(), "Ks", length, "u4"));
            if (!column || !held[s].hold(column.get(), PyBUF_WRITABLE)) return nullptr;
            columns.push_back({&type.slots[s], static_cast<std::uint32_t*>(held[s].data()),
                               fields_read(type, type.slots[s], decoded)});
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), column.release());
    }
    Py_BEGIN_ALLOW_THREADS
    batch::in_threads(rows, batch::kChunk, threads, [&](std::uint64_t lo, std::uint64_t hi) {
        for (const CaseColumn& column : columns) {
            for (std::uint64_t row = lo; row < hi; ++row) {
                if (row != lo && !column.fields.empty() && same_as_before(column, row)) {
                    column.cases[row] = column.cases[row - 1];
                    continue;
                }
                Marks marks;
                marks.at[0] = 0;
                const PacketBytes packet = frames.packet(static_cast<std::uint64_t>(packets[row]),
                                                         static_cast<std::uint64_t>(offsets[row]));
                column.cases[row] = choose_case(type, *column.slot, packet, marks);
            }
        }
    });
    Py_END_ALLOW_THREADS
    return list.release();
}

PyObject* packet_cases(const TypeProgram& type, const PacketBytes& packet) {
    if (!contextual(type)) Py_RETURN_NONE;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(type.slots.size())));
    if (!list) return nullptr;
    Marks marks;
    marks.at[0] = 0;
    for (std::size_t s = 0; s < type.slots.size(); ++s) {
        const Slot& slot = type.slots[s];
        PyObject* item = !slot.contextual ? PyRef::borrow(Py_None).release()
                                            : PyLong_FromUnsignedLong(choose_case(type, slot, packet, marks));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), item);
    }
    return list.release();
}

}  // namespace fieldloom::defs
