#include "engine/definitions/columns.hpp"

#include <cstring>
#include <new>

namespace fieldloom::defs {

namespace {

using batch::kChunk;

constexpr std::size_t kItemSize[] = {1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 8};

// The rows of one chunk: their packets (as arrays, which a loop fills
// without a struct copy per row), and mark k of row j at marks[k * kChunk + j].
struct Chunk {
    const std::uint8_t* bases[kChunk];
    std::uint64_t lengths[kChunk];
    std::uint64_t readable[kChunk];
    std::uint64_t* marks = nullptr;
    std::size_t n = 0;
    // Every row holds the slots placed from the packet's start, with 8 bytes
    // to spare after them in the recording: those slots read unchecked.
    bool whole = false;

    PacketBytes packet(std::size_t j) const noexcept { return {bases[j], lengths[j], readable[j]}; }
};

// The common chunk: a slot at a fixed place in packets that all hold it.
template <ByteOrder Order>
void gather_whole(const Slot& slot, const Chunk& chunk, std::uint64_t offset, std::uint64_t* raws) noexcept {
    const std::uint64_t start = slot.delta + offset;
    const std::uint32_t bits = slot.bits;
    // 9 readable bytes: the bit rule's one-load path, with no test per row.
    for (std::size_t j = 0; j < chunk.n; ++j) raws[j] = recipe::read_bits(chunk.bases[j], start, bits, Order, 9);
}

// Raw values of one slot's element at `offset` bits past its start; a row
// whose element does not lie within its packet is flagged and reads 0.
template <ByteOrder Order>
void gather(const Slot& slot, const Chunk& chunk, std::uint64_t offset, std::uint64_t* raws,
            std::uint8_t* failed) noexcept {
    const std::uint64_t* bases = slot.anchor == 0 ? nullptr : chunk.marks + slot.anchor * kChunk;
    const std::uint64_t delta = slot.delta + offset;
    const std::uint32_t bits = slot.bits;
    for (std::size_t j = 0; j < chunk.n; ++j) {
        const std::uint64_t start = (bases == nullptr ? 0 : bases[j]) + delta;
        const std::uint64_t total = chunk.lengths[j] * 8;
        if (start > total || bits > total - start) [[unlikely]] {
            failed[j] = 1;
            raws[j] = 0;
            continue;
        }
        raws[j] = recipe::read_bits(chunk.bases[j], start, bits, Order, chunk.readable[j] - start / 8);
    }
}

void gather_slot(const Slot& slot, const Chunk& chunk, std::uint64_t offset, std::uint64_t* raws,
                 std::uint8_t* failed) noexcept {
    if (chunk.whole && slot.anchor == 0) {
        if (slot.order == ByteOrder::Big) {
            gather_whole<ByteOrder::Big>(slot, chunk, offset, raws);
        } else {
            gather_whole<ByteOrder::Little>(slot, chunk, offset, raws);
        }
    } else if (slot.order == ByteOrder::Big) {
        gather<ByteOrder::Big>(slot, chunk, offset, raws, failed);
    } else {
        gather<ByteOrder::Little>(slot, chunk, offset, raws, failed);
    }
}

// An ieee754_f128 slot's values (its element at `offset` bits past its
// start) for the chunk, row j at out[j * stride]; rows where it does not lie
// within the packet are flagged.
void quads(const Slot& slot, const Chunk& chunk, std::uint64_t offset, double* out, std::uint64_t stride,
           std::uint8_t* failed) noexcept {
    for (std::size_t j = 0; j < chunk.n; ++j) {
        const std::uint64_t start =
            (slot.anchor == 0 ? 0 : chunk.marks[slot.anchor * kChunk + j]) + slot.delta + offset;
        const std::uint64_t total = chunk.lengths[j] * 8;
        if (failed[j] || start > total || slot.bits > total - start) {
            failed[j] = 1;
            out[j * stride] = 0.0;
            continue;
        }
        out[j * stride] = slot_quad(slot, chunk.packet(j), start);
    }
}

// A fixed array, element by element: each element's values for the chunk
// converted into scratch, then put in their places of the 2-D column.
void fixed_array(const Slot& slot, const Chunk& chunk, std::uint64_t row, void* column, std::uint8_t* failed,
                 std::uint64_t* raws) noexcept {
    alignas(8) unsigned char scratch[kChunk * 8];
    const std::size_t item = kItemSize[static_cast<std::size_t>(slot.column)];
    auto* out = static_cast<unsigned char*>(column);
    if (slot.count == 0) {
        // No element to read, but an empty array has its place too: past the packet's end it is too short.
        const std::uint64_t* bases = slot.anchor == 0 ? nullptr : chunk.marks + slot.anchor * kChunk;
        for (std::size_t j = 0; j < chunk.n; ++j) {
            if ((bases == nullptr ? 0 : bases[j]) + slot.delta > chunk.lengths[j] * 8) failed[row + j] = 1;
        }
        return;
    }
    for (std::uint64_t k = 0; k < slot.count && slot.quad(); ++k) {
        quads(slot, chunk, k * slot.bits, static_cast<double*>(column) + row * slot.count + k, slot.count,
              failed + row);
    }
    for (std::uint64_t k = 0; k < slot.count && !slot.quad(); ++k) {
        gather_slot(slot, chunk, k * slot.bits, raws, failed + row);
        slot.convert(raws, chunk.n, slot.bits, scratch, 0, failed + row);
        for (std::size_t j = 0; j < chunk.n; ++j) {
            std::memcpy(out + ((row + j) * slot.count + k) * item, scratch + j * item, item);
        }
    }
}

template <ByteOrder Order, class Rule, class Out>
void fused_rows(const std::uint8_t* base, const std::int64_t* offsets, std::size_t n, std::uint64_t start,
                std::uint32_t bits, void* column, std::uint64_t row, std::uint8_t* failed) noexcept {
    Out* out = static_cast<Out*>(column) + row;
    const std::uint8_t* at = base + start / 8;
    asm("" : "+r"(at));  // as below
    const std::uint64_t shift = start % 8;
#pragma GCC unroll 4
    for (std::size_t j = 0; j < n; ++j) {
        if (!Rule::apply(recipe::read_bits(at + offsets[j], shift, bits, Order, 9), bits, out[j])) failed[row + j] = 1;
    }
}

// The same for a field that fills whole bytes from a byte boundary: the
// batch engine's N-byte load, with the width known at compile time.
template <unsigned N, ByteOrder Order, class Rule, class Out>
void fused_bytes(const std::uint8_t* base, const std::int64_t* offsets, std::size_t n, std::uint64_t start,
                 std::uint32_t, void* column, std::uint64_t row, std::uint8_t* failed) noexcept {
    Out* out = static_cast<Out*>(column) + row;
    const std::uint8_t* at = base + start / 8;
    // One register for the field's place in the recording: otherwise the
    // compiler adds start / 8 to every packet's offset again.
    asm("" : "+r"(at));
    // Unrolled: the loop's own instructions would be a third of each value's.
#pragma GCC unroll 4
    for (std::size_t j = 0; j < n; ++j) {
        if (!Rule::apply(batch::raw_of<N, Order>(at + offsets[j], N), 8 * N, out[j])) failed[row + j] = 1;
    }
}

template <ByteOrder Order>
Fused fused_for(Encoding encoding, batch::Column column, std::uint32_t bytes) noexcept {
    return batch::with_rule(encoding, column, [bytes]<class Rule, class Out>() -> Fused {
        switch (bytes) {
            case 1: return &fused_bytes<1, Order, Rule, Out>;
            case 2: return &fused_bytes<2, Order, Rule, Out>;
            case 4: return &fused_bytes<4, Order, Rule, Out>;
            case 8: return &fused_bytes<8, Order, Rule, Out>;
            default: return &fused_rows<Order, Rule, Out>;
        }
    });
}

// A packet of `length` bytes longer than the entries that end at bit `end`.
inline void count_extra(std::uint64_t length, std::uint64_t end, std::uint64_t& longer,
                        std::uint64_t& extra) noexcept {
    const std::uint64_t used = (end + 7) / 8;
    const bool more = end <= length * 8 && length > used;
    longer += more;
    extra += more ? length - used : 0;
}

}  // namespace

Fused fused_kernel(Encoding encoding, batch::Column column, ByteOrder order, std::uint32_t bytes) noexcept {
    return order == ByteOrder::Big ? fused_for<ByteOrder::Big>(encoding, column, bytes)
                                   : fused_for<ByteOrder::Little>(encoding, column, bytes);
}

void identify_packets(const Program& program, const Frames& frames, std::uint64_t lo, std::uint64_t hi,
                      std::uint16_t* types) noexcept {
    const TypeFinder type_of(program);
    for (std::uint64_t i = lo; i < hi; ++i) types[i] = type_of(frames.packet(i));
}

void decode_rows(TypeRows& rows, const Frames& frames, std::uint64_t lo, std::uint64_t hi) noexcept {
    const TypeProgram& type = *rows.type;
    const std::uint32_t marks = type.marks;
    std::vector<std::uint64_t> mark_rows;
    try {
        if (marks != 0) mark_rows.assign((marks + 1) * kChunk, 0);
    } catch (const std::bad_alloc&) {
        rows.out_of_memory.store(true, std::memory_order_relaxed);
        return;
    }
    // Whether a whole chunk of a type without marks needs its packets placed
    // one by one: only for slots that are not read in one pass.
    bool placed_slots = marks != 0;
    for (std::size_t s = 0; s < type.slots.size(); ++s) {
        const Slot& slot = type.slots[s];
        placed_slots |= rows.columns[s] != nullptr && (slot.kind != SlotKind::Scalar || slot.quad());
    }
    Chunk chunk;
    chunk.marks = mark_rows.data();
    std::uint64_t raws[kChunk];
    std::uint64_t longer = 0;
    std::uint64_t extra = 0;
    const std::uint64_t reach = type.reach[0];
    const std::uint64_t spare = (reach + 7) / 8 + 8;
    for (std::uint64_t row = lo; row < hi; row += kChunk) {
        chunk.n = static_cast<std::size_t>(hi - row < kChunk ? hi - row : kChunk);
        const std::int64_t* packets = rows.packets + row;
        const std::int64_t* offsets = rows.offsets + row;
        if (marks == 0) {
            // Rows in recording order: the last starts latest.
            chunk.whole = rows.lengths_known ? chunk.n == 0 || frames.size - static_cast<std::uint64_t>(offsets[chunk.n - 1]) >= spare
                                             : frames.hold(packets, offsets, chunk.n, reach, spare, longer, extra);
            if (!chunk.whole || placed_slots) frames.place(packets, offsets, chunk.n, chunk.bases, chunk.lengths, chunk.readable);
        } else {
            frames.place(packets, offsets, chunk.n, chunk.bases, chunk.lengths, chunk.readable);
            bool whole = true;
            for (std::size_t j = 0; j < chunk.n; ++j) {
                whole &= (chunk.lengths[j] * 8 >= reach) & (chunk.readable[j] >= spare);
            }
            chunk.whole = whole;
        }
        std::uint8_t* failed = rows.failed + row;
        for (std::size_t j = 0; j < chunk.n && marks != 0; ++j) {
            const PacketBytes packet = chunk.packet(j);
            Marks found;
            found.at[0] = 0;
            Fault fault;
            if (marks != 0 && !find_marks(type, packet, marks, found, fault)) {
                failed[j] = 1;
                for (std::uint32_t k = 1; k <= marks; ++k) chunk.marks[k * kChunk + j] = 0;
                continue;
            }
            for (std::uint32_t k = 1; k <= marks; ++k) chunk.marks[k * kChunk + j] = found.at[k];
            count_extra(packet.length, entries_end(type, found), longer, extra);
        }
        for (std::size_t s = 0; s < type.slots.size(); ++s) {
            void* column = rows.columns[s];
            if (column == nullptr) continue;
            const Slot& slot = type.slots[s];
            if (slot.quad() && slot.kind == SlotKind::Scalar) {
                quads(slot, chunk, 0, static_cast<double*>(column) + row, 1, failed);
            } else if (slot.kind == SlotKind::Scalar && chunk.whole && slot.anchor == 0) {
                slot.fused(frames.base, offsets, chunk.n, slot.delta, slot.bits, column, row, rows.failed);
            } else if (slot.kind == SlotKind::Scalar) {
                gather_slot(slot, chunk, 0, raws, failed);
                slot.convert(raws, chunk.n, slot.bits, column, row, rows.failed);
            } else {
                fixed_array(slot, chunk, row, column, rows.failed, raws);
            }
        }
    }
    rows.longer.fetch_add(longer, std::memory_order_relaxed);
    rows.extra.fetch_add(extra, std::memory_order_relaxed);
}

}  // namespace fieldloom::defs
