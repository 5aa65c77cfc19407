// A whole recording with packet definitions: framing, each packet's type,
// each type's table, the refused packets and the census figures.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "engine/definitions/program.hpp"
#include "python/convert.hpp"

namespace fieldloom::defs {

struct Request {
    PyObject* buffer = nullptr;
    PyObject* offsets = nullptr;  // 1-D int64 array, or nullptr
    PyObject* lengths = nullptr;  // likewise, only with offsets
    std::uint64_t stride = 0;     // 0 with no offsets: CCSDS primary headers
    std::uint64_t prefix = 0;     // CCSDS: bytes before each packet
    bool skip = false;            // false: only the first refused packet is described
    std::uint64_t threads = 1;
};

// (tables, refused, packets): per type (columns in slot order, index, offset,
// (packets longer than the entries, their extra bytes), cases of contextual
// calibrations as case_columns gives them); per refused packet in recording
// order (index, offset, reason, message, type name or None).
PyObject* decode_recording(const Program& program, const Request& request);

// (type index, values, cases as packet_cases gives them) of one packet, or
// (type index or None, None, reason, message).
PyObject* unpack_packet(const Program& program, ByteSpan packet);

}  // namespace fieldloom::defs
