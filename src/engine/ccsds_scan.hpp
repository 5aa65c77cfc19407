// Walking a stream of CCSDS space packets. Each packet is a 6-byte primary
// header followed by a data field whose length, minus one, the header's last
// two bytes hold; a packet is therefore 7 to 65542 bytes long and the only
// way to find packet n is to walk packets 0 to n-1. The walk is one pass that
// reads each header once and never touches a byte at or past `size`: a stream
// may end anywhere, and a length field may point far past its end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fieldloom::ccsds {

inline constexpr std::size_t kHeaderBytes = 6;
inline constexpr std::uint32_t kApidCount = 1u << 11;

struct Header {
    std::uint32_t length;  // the whole packet, header included
    std::uint16_t apid;
    std::uint16_t sequence_count;
    std::uint8_t version;
    std::uint8_t type;
    std::uint8_t secondary_header;
    std::uint8_t sequence_flags;
};

// `p` must hold kHeaderBytes readable bytes.
constexpr Header read_header(const std::uint8_t* p) noexcept {
    const std::uint32_t id = std::uint32_t{p[0]} << 8 | p[1];
    const std::uint32_t control = std::uint32_t{p[2]} << 8 | p[3];
    const std::uint32_t data_length = std::uint32_t{p[4]} << 8 | p[5];
    return Header{
        static_cast<std::uint32_t>(kHeaderBytes) + data_length + 1,
        static_cast<std::uint16_t>(id & 0x7FF),
        static_cast<std::uint16_t>(control & 0x3FFF),
        static_cast<std::uint8_t>(id >> 13),
        static_cast<std::uint8_t>(id >> 12 & 1),
        static_cast<std::uint8_t>(id >> 11 & 1),
        static_cast<std::uint8_t>(control >> 14),
    };
}

// The APIDs a scan keeps: one bit each.
class ApidFilter {
public:
    constexpr void keep(std::uint16_t apid) noexcept { words_[apid >> 6 & 31] |= std::uint64_t{1} << (apid & 63); }
    constexpr bool keeps(std::uint16_t apid) const noexcept { return words_[apid >> 6 & 31] >> (apid & 63) & 1; }

private:
    std::array<std::uint64_t, kApidCount / 64> words_{};
};

// Where the rows go: one array per header field, each with room for
// `capacity` rows.
struct Columns {
    std::int64_t* offset;
    std::uint32_t* length;
    std::uint8_t* version;
    std::uint8_t* type;
    std::uint8_t* secondary_header;
    std::uint16_t* apid;
    std::uint8_t* sequence_flags;
    std::uint16_t* sequence_count;
    std::size_t capacity;
};

// A scan in progress: the byte where the next packet starts and the rows
// written so far.
struct Cursor {
    std::size_t position = 0;
    std::size_t rows = 0;
};

namespace detail {

// Whether a whole packet starts `prefix` bytes after `at`, and its header.
// `at <= size` holds throughout a walk, so `size - at` never wraps.
inline bool whole_packet(const std::uint8_t* data, std::size_t size, std::size_t prefix, std::size_t at,
                         Header& h) noexcept {
    if (size - at < kHeaderBytes || size - at - kHeaderBytes < prefix) return false;
    // Each header's place comes from the one before: fetch ahead, so the
    // walk does not wait on memory packet after packet.
    __builtin_prefetch(data + at + 512);
    h = read_header(data + at + prefix);
    return h.length <= size - at - prefix;
}

// The one walk over packets each `prefix` bytes after the end of the one
// before (as some ground systems record them; 0 for a plain stream):
// `sink.take(offset, header)` for each whole packet the filter keeps, its
// offset being its header's first byte, until it returns false (full:
// `position` stays on that packet's prefix) or no further whole packet
// starts at `position`.
template <bool Filtered, class Sink>
bool walk(const std::uint8_t* data, std::size_t size, std::size_t prefix, std::size_t& position, Sink& sink,
          const ApidFilter* filter) noexcept {
    // A local, not `position`: the sink's stores could alias it and keep it in memory.
    std::size_t at = position;
    bool done = true;
    Header h;
    while (whole_packet(data, size, prefix, at, h)) {
        if (!Filtered || filter->keeps(h.apid)) {
            if (!sink.take(at + prefix, h)) {
                done = false;
                break;
            }
        }
        at += prefix + h.length;
    }
    position = at;
    return done;
}

template <class Sink>
bool walk_with(const std::uint8_t* data, std::size_t size, std::size_t& position, Sink& sink,
               const ApidFilter* filter) noexcept {
    return filter ? walk<true>(data, size, 0, position, sink, filter) : walk<false>(data, size, 0, position, sink, nullptr);
}

struct RowSink {
    const Columns& out;
    std::size_t rows;

    bool take(std::size_t position, const Header& h) noexcept {
        if (rows == out.capacity) return false;
        out.offset[rows] = static_cast<std::int64_t>(position);
        out.length[rows] = h.length;
        out.version[rows] = h.version;
        out.type[rows] = h.type;
        out.secondary_header[rows] = h.secondary_header;
        out.apid[rows] = h.apid;
        out.sequence_flags[rows] = h.sequence_flags;
        out.sequence_count[rows] = h.sequence_count;
        ++rows;
        return true;
    }
};

}  // namespace detail

// Walks whole packets from `cursor.position`, writing a row from
// `cursor.rows` on for each packet the filter keeps (every packet when
// `filter` is null). Returns true once no further whole packet starts at
// `cursor.position`: the bytes from there to `size` are what is left over,
// a packet cut off by the end of the stream. Returns false when the columns
// are full before that, with the cursor on the packet that did not fit:
// give the columns more room and call again.
inline bool scan(const std::uint8_t* data, std::size_t size, Cursor& cursor, const Columns& out,
                 const ApidFilter* filter) noexcept {
    detail::RowSink sink{out, cursor.rows};
    const bool done = detail::walk_with(data, size, cursor.position, sink, filter);
    cursor.rows = sink.rows;
    return done;
}

// The walk over packets each preceded by `prefix` bytes that are not part
// of it: `row(row, offset, packet, length)` for each, from `cursor.rows`
// on, while its header is in cache, until `capacity` rows (false: call
// again with more room). What is left over at the end starts with a prefix.
template <class Row>
bool scan_frames(const std::uint8_t* data, std::size_t size, std::size_t prefix, Cursor& cursor, std::size_t capacity,
                 Row&& row) noexcept {
    // The count and place in locals, out of reach of the row's stores, so
    // they stay in registers.
    std::size_t rows = cursor.rows;
    std::size_t at = cursor.position;
    bool done = true;
    // Each packet's place waits on the length in the header before it, so
    // that chain is kept short: the walk holds the next header's address,
    // loads its two length bytes and adds. The checks and the row hang off it.
    const std::size_t step = prefix + kHeaderBytes + 1;
    const std::uint8_t* header = data + prefix + at;
    const std::uint8_t* const end = data + size;
    // While the longest packet there can be fits before the end, neither its
    // header nor its length needs a check: only the room for rows.
    constexpr std::size_t kLongest = kHeaderBytes + 0x10000;
    if (size - at >= prefix + kLongest) {
        const std::uint8_t* const safe = end - kLongest;
        for (; header <= safe; ++rows) {
            if (rows == capacity) {
                cursor.rows = rows;
                cursor.position = static_cast<std::size_t>(header - data) - prefix;
                return false;
            }
            __builtin_prefetch(header + 512);
            // The two length bytes loaded apart, the low one added to the
            // header's address while the high one is shifted: one step
            // fewer on the chain than joining them first.
            const std::size_t high = header[4];
            const std::size_t low = header[5];
            const std::uint8_t* past_low = header + step + low;
            asm("" : "+r"(past_low));  // kept apart from the high byte's path
            const std::size_t data_length = high << 8 | low;
            const std::uint8_t* const next = past_low + (high << 8);
            row(rows, static_cast<std::size_t>(header - data), header, data_length + kHeaderBytes + 1);
            header = next;
        }
        at = static_cast<std::size_t>(header - data) - prefix;
    }
    while (size - at >= kHeaderBytes && size - at - kHeaderBytes >= prefix) {
        __builtin_prefetch(header + 512);
        const std::size_t data_length = std::size_t{header[4]} << 8 | header[5];
        if (data_length + kHeaderBytes + 1 > static_cast<std::size_t>(end - header)) break;
        if (rows == capacity) {
            done = false;
            break;
        }
        const std::uint8_t* const next = header + data_length + step;
        row(rows, static_cast<std::size_t>(header - data), header, data_length + kHeaderBytes + 1);
        ++rows;
        header = next;
        at = static_cast<std::size_t>(header - data) - prefix;
    }
    cursor.rows = rows;
    cursor.position = at;
    return done;
}

// Where to cut a stream into ranges of whole packets of about `blocksize`
// bytes, without a row per packet: a range starts at each kept packet whose
// offset falls in a new multiple of `blocksize`. `starts` and `firsts` (the
// number of kept packets before each start) need room for
// size / blocksize + 1 cuts, which is the most there can be.
struct Cuts {
    std::int64_t* starts;
    std::int64_t* firsts;
    std::uint64_t blocksize;
    std::size_t count = 0;
    std::uint64_t kept = 0;
    std::uint64_t last_bucket = ~std::uint64_t{0};

    bool take(std::size_t position, const Header&) noexcept {
        const std::uint64_t bucket = position / blocksize;
        if (bucket != last_bucket) {
            starts[count] = static_cast<std::int64_t>(position);
            firsts[count] = static_cast<std::int64_t>(kept);
            ++count;
            last_bucket = bucket;
        }
        ++kept;
        return true;
    }
};

// Fills `cuts` with the packets from `position` that are whole within the first `size` bytes,
// leaving `position` on the first that is not: a later call with more bytes goes on from there.
inline void walk_to(const std::uint8_t* data, std::size_t size, std::size_t& position, Cuts& cuts,
                    const ApidFilter* filter) noexcept {
    detail::walk_with(data, size, position, cuts, filter);
}

// Fills `cuts` over the whole stream; the byte where its whole packets end.
inline std::size_t cut(const std::uint8_t* data, std::size_t size, Cuts& cuts, const ApidFilter* filter) noexcept {
    std::size_t position = 0;
    walk_to(data, size, position, cuts, filter);
    return position;
}

}  // namespace fieldloom::ccsds
