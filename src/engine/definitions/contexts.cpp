#include "engine/definitions/contexts.hpp"

#include <memory>

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

}  // namespace

std::uint32_t choose_case(const TypeProgram& type, const Slot& slot, const PacketBytes& packet, Marks& marks) noexcept {
    std::uint32_t k = 0;
    while (k < slot.cases.size() && !conditions_hold(type, slot.cases[k], packet, marks)) ++k;
    return k;
}

PyObject* case_columns(const TypeProgram& type, const Frames& frames, const std::int64_t* packets, std::uint64_t rows,
                       const Arrays& arrays, std::uint64_t threads) {
    if (!contextual(type)) Py_RETURN_NONE;
    const std::size_t slots = type.slots.size();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(slots)));
    if (!list) return nullptr;
    std::unique_ptr<HeldBuffer[]> held(new HeldBuffer[slots]);
    std::unique_ptr<std::uint32_t*[]> out(new std::uint32_t*[slots]());
    for (std::size_t s = 0; s < slots; ++s) {
        PyRef column = PyRef::borrow(Py_None);
        if (type.slots[s].contextual) {
            const auto length = static_cast<unsigned long long>(rows);
            column = PyRef(PyObject_CallFunction(arrays.empty.get(), "Ks", length, "u4"));
            if (!column || !held[s].hold(column.get(), PyBUF_WRITABLE)) return nullptr;
            out[s] = static_cast<std::uint32_t*>(held[s].data());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), column.release());
    }
    Py_BEGIN_ALLOW_THREADS
    batch::in_threads(rows, batch::kChunk, threads, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t row = lo; row < hi; ++row) {
            const PacketBytes packet = frames.packet(static_cast<std::uint64_t>(packets[row]));
            Marks marks;
            marks.at[0] = 0;
            for (std::size_t s = 0; s < slots; ++s) {
                if (out[s] != nullptr) out[s][row] = choose_case(type, type.slots[s], packet, marks);
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
