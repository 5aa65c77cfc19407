// Contextual calibrations: which of its cases calibrates a slot in each
// packet, found by the cases' conditions on the packet's own fields with
// the evaluator that finds packet types.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "engine/definitions/columns.hpp"
#include "engine/definitions/packet.hpp"

namespace fieldloom::defs {

// The first case of the slot whose conditions hold in the packet, or the
// number of cases where none does.
std::uint32_t choose_case(const TypeProgram& type, const Slot& slot, const PacketBytes& packet, Marks& marks) noexcept;

// None for a type without contextual calibrations, else per slot None or a
// uint32 array of each row's case, the rows being packets[0, rows) at
// offsets[0, rows) and `decoded` the rows of each slot's numeric column
// (nullptr: none); the conditions are evaluated without the interpreter lock.
PyObject* case_columns(const TypeProgram& type, const Frames& frames, const std::int64_t* packets,
                       const std::int64_t* offsets, std::uint64_t rows,
                       const std::vector<void*>& decoded, const Arrays& arrays, std::uint64_t threads);

// The same for one packet: None, or per slot None or its case as an int.
PyObject* packet_cases(const TypeProgram& type, const PacketBytes& packet);

}  // namespace fieldloom::defs
