// One packet at a time, with the interpreter lock: each entry's value as a
// Python object, or the first entry (in chain order) that fails and why,
// in words. It decodes single packets for live use, builds the text,
// binary and variable arrays of a batch, and tells why a packet the batch
// flagged was refused.
#pragma once

#include "python/python.hpp"

#include <string>

#include "engine/definitions/program.hpp"

namespace fieldloom::defs {

enum class Outcome : std::uint8_t { Ok, Refused, Error };  // Error: a Python exception is set

struct Refusal {
    Reason reason = Reason::None;
    std::string message;
};

// numpy.empty, looked up once per call of the boundary.
struct Arrays {
    PyRef empty;
    bool load();
};

// The value of slot s: a number, a 1-D array, str or bytes.
Outcome slot_object(const TypeProgram& type, std::uint32_t slot, const PacketBytes& packet, Marks& marks,
                    const Arrays& arrays, PyRef& out, Refusal& refusal);

// Every slot's value, into `values` (a list of one item per slot) when it
// is not null; else only whether the packet decodes and why not.
Outcome decode_packet(const TypeProgram& type, const PacketBytes& packet, const Arrays& arrays, PyObject* values,
                      Refusal& refusal);

}  // namespace fieldloom::defs
