// The passes over a recording that run without the interpreter lock: each
// packet's type, then each type's numeric columns, a chunk of packets at a
// time through every slot, with the batch engine's convert loops.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/definitions/program.hpp"

namespace fieldloom::defs {

// Where each packet of a recording lies.
struct Frames {
    const std::uint8_t* base = nullptr;
    std::uint64_t size = 0;
    std::vector<std::int64_t> offset;
    std::vector<std::int64_t> length;

    std::uint64_t count() const noexcept { return offset.size(); }
    PacketBytes packet(std::uint64_t i) const noexcept {
        const auto at = static_cast<std::uint64_t>(offset[i]);
        return {base + at, static_cast<std::uint64_t>(length[i]), size - at};
    }
};

inline constexpr std::uint16_t kNoType = 0xFFFF;

// types[i] for packets [lo, hi): the index of its type, or kNoType.
void identify_packets(const Program& program, const Frames& frames, std::uint64_t lo, std::uint64_t hi,
                      std::uint16_t* types) noexcept;

// One type's packets and where its numeric columns go.
struct TypeRows {
    const TypeProgram* type = nullptr;
    const std::int64_t* packets = nullptr;  // the packet of each row
    std::uint64_t count = 0;
    std::vector<void*> columns;  // per slot: its array's data, or nullptr for a slot done with the lock
    std::uint8_t* failed = nullptr;  // per row
    std::atomic<std::uint64_t> longer{0};  // rows whose packet is longer than the entries
    std::atomic<std::uint64_t> extra{0};   // and their extra bytes
    std::atomic<bool> out_of_memory{false};
};

// Rows [lo, hi): marks, numeric slots, fixed arrays, the extra bytes.
void decode_rows(TypeRows& rows, const Frames& frames, std::uint64_t lo, std::uint64_t hi) noexcept;

}  // namespace fieldloom::defs
