// The passes over a recording that run without the interpreter lock: each
// packet's type, then each type's numeric columns, a chunk of packets at a
// time through every slot, with the batch engine's convert loops.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/ccsds_scan.hpp"
#include "engine/definitions/program.hpp"

namespace fieldloom::defs {

// The packets of a recording as the batch engine places them, each seen
// with the room to the buffer's end. Offsets and lengths are the engine's
// own copies, checked once.
struct Frames : batch::Packets {
    // Packets framed by their CCSDS primary headers, each known whole: a
    // length is read from the header rather than kept for every packet.
    bool ccsds = false;

    std::uint64_t header_length(std::uint64_t at) const noexcept { return ccsds::read_header(base + at).length; }

    // Packet i, which starts at `at`: CCSDS packets are found by their
    // offsets alone (a scan that sorts them by type keeps no offset per
    // packet).
    PacketBytes packet(std::uint64_t i, std::uint64_t at) const noexcept {
        if (ccsds) return {base + at, header_length(at), size - at};
        return packet(i);
    }

    // Packet i, where the framing keeps every packet's place.
    PacketBytes packet(std::uint64_t i) const noexcept {
        const std::uint64_t at = offset(i);
        std::uint64_t length = 0;
        if (starts == nullptr) {
            length = size - at < stride ? size - at : stride;
        } else if (ccsds) {
            length = header_length(at);
        } else {
            const std::uint64_t end = lengths != nullptr ? at + static_cast<std::uint64_t>(lengths[i])
                                      : i + 1 < count ? static_cast<std::uint64_t>(starts[i + 1]) : size;
            length = end - at;
        }
        return {base + at, length, size - at};
    }

    // Whether n packets (at `at`) all hold `reach` bits with `spare` bytes
    // readable from each; for each longer than its `reach` bits, counts it
    // and its extra bytes. Each framing's loop chosen once; only minima,
    // maxima and sums per packet.
    bool hold(const std::int64_t* packets, const std::int64_t* at, std::size_t n, std::uint64_t reach,
              std::uint64_t spare, std::uint64_t& longer, std::uint64_t& extra) const noexcept {
        const std::uint64_t used = (reach + 7) / 8;
        std::uint64_t shortest = ~std::uint64_t{0};
        std::uint64_t last = 0;  // the latest start
        std::uint64_t more = 0;
        std::uint64_t bytes = 0;
        const auto row = [&](std::uint64_t start, std::uint64_t length) {
            shortest = length < shortest ? length : shortest;
            last = start > last ? start : last;
            more += length > used;  // and so length * 8 > reach
            bytes += length > used ? length - used : 0;
        };
        if (ccsds) {
            for (std::size_t j = 0; j < n; ++j) {
                const auto start = static_cast<std::uint64_t>(at[j]);
                row(start, header_length(start));
            }
        } else if (starts == nullptr) {
            for (std::size_t j = 0; j < n; ++j) {
                const auto start = static_cast<std::uint64_t>(at[j]);
                row(start, size - start < stride ? size - start : stride);
            }
        } else if (lengths != nullptr) {
            for (std::size_t j = 0; j < n; ++j) {
                row(static_cast<std::uint64_t>(at[j]), static_cast<std::uint64_t>(lengths[packets[j]]));
            }
        } else {
            for (std::size_t j = 0; j < n; ++j) {
                const PacketBytes packet = this->packet(static_cast<std::uint64_t>(packets[j]));
                row(static_cast<std::uint64_t>(at[j]), packet.length);
            }
        }
        longer += more;
        extra += bytes;
        return n == 0 || (shortest * 8 >= reach && size - last >= spare);
    }

    // The same for n packets at once (at `at`), into arrays: each
    // framing's loop chosen once, with no branch per packet.
    void place(const std::int64_t* packets, const std::int64_t* at, std::size_t n, const std::uint8_t** data,
               std::uint64_t* length, std::uint64_t* readable) const noexcept {
        for (std::size_t j = 0; j < n; ++j) {
            const auto start = static_cast<std::uint64_t>(at[j]);
            data[j] = base + start;
            readable[j] = size - start;
        }
        if (ccsds) {
            for (std::size_t j = 0; j < n; ++j) length[j] = header_length(static_cast<std::uint64_t>(at[j]));
        } else if (starts == nullptr) {
            for (std::size_t j = 0; j < n; ++j) length[j] = readable[j] < stride ? readable[j] : stride;
        } else if (lengths != nullptr) {
            for (std::size_t j = 0; j < n; ++j) length[j] = static_cast<std::uint64_t>(lengths[packets[j]]);
        } else {
            for (std::size_t j = 0; j < n; ++j) length[j] = packet(static_cast<std::uint64_t>(packets[j])).length;
        }
    }
};

// A numeric slot's rows in one pass: its bits at `start` of each packet (at
// base + offsets[j], all known to hold it) through its rule into the column
// from `row` on. The offsets are the table's own column, written beforehand.
using Fused = void (*)(const std::uint8_t* base, const std::int64_t* offsets, std::size_t n, std::uint64_t start,
                       std::uint32_t bits, void* column, std::uint64_t row, std::uint8_t* failed) noexcept;
// `bytes`: the field fills 1, 2, 4 or 8 whole bytes from a byte boundary
// (0: any other place and width, through the bit rule).
Fused fused_kernel(Encoding encoding, batch::Column column, ByteOrder order, std::uint32_t bytes) noexcept;

// types[i] for packets [lo, hi): the index of its type, or kNoType.
void identify_packets(const Program& program, const Frames& frames, std::uint64_t lo, std::uint64_t hi,
                      std::uint16_t* types) noexcept;

// One type's packets and where its numeric columns go.
struct TypeRows {
    const TypeProgram* type = nullptr;
    const std::int64_t* packets = nullptr;  // the packet of each row
    const std::int64_t* offsets = nullptr;  // and where it starts
    std::uint64_t count = 0;
    std::vector<void*> columns;  // per slot: its array's data, or nullptr for a slot done with the lock
    std::uint8_t* failed = nullptr;  // per row
    std::atomic<std::uint64_t> longer{0};  // rows whose packet is longer than the entries
    std::atomic<std::uint64_t> extra{0};   // and their extra bytes
    std::atomic<bool> out_of_memory{false};
    // Every row's packet holds the entries, and `longer` and `extra` are
    // taken: no check of lengths per chunk (a type without marks only).
    bool lengths_known = false;

    // From how many of the rows' packets are shorter and longer than the
    // entries' bytes, and their total length: known when every packet holds
    // the entries, the census following.
    void know_lengths(std::uint64_t shorter, std::uint64_t longer_packets, std::uint64_t bytes) noexcept {
        if (type->marks != 0 || count == 0 || shorter != 0) return;
        const std::uint64_t used = (type->reach[0] + 7) / 8;
        longer.store(longer_packets, std::memory_order_relaxed);
        extra.store(bytes - count * used, std::memory_order_relaxed);
        lengths_known = true;
    }
};

// Rows [lo, hi): marks, numeric slots, fixed arrays, the extra bytes.
void decode_rows(TypeRows& rows, const Frames& frames, std::uint64_t lo, std::uint64_t hi) noexcept;

}  // namespace fieldloom::defs
