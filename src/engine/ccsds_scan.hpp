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

// Packets each `prefix` bytes after the end of the one before (the first
// `prefix` bytes after `cursor.position`): `row(row, offset, header)` for
// each whole one the filter keeps, its offset being its header's first byte.
template <bool Filtered, class Row>
bool walk(const std::uint8_t* data, std::size_t size, std::size_t prefix, Cursor& cursor, std::size_t capacity,
          const ApidFilter* filter, Row&& row) noexcept {
    std::size_t position = cursor.position;
    std::size_t rows = cursor.rows;
    // `position <= size` holds throughout, so `size - position` never wraps.
    while (size - position >= kHeaderBytes && size - position - kHeaderBytes >= prefix) {
        const Header h = read_header(data + position + prefix);
        if (h.length > size - position - prefix) break;
        if (!Filtered || filter->keeps(h.apid)) {
            if (rows == capacity) {
                cursor = {position, rows};
                return false;
            }
            row(rows, position + prefix, h);
            ++rows;
        }
        position += prefix + h.length;
    }
    cursor = {position, rows};
    return true;
}

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
    const auto row = [&out](std::size_t i, std::size_t offset, const Header& h) {
        out.offset[i] = static_cast<std::int64_t>(offset);
        out.length[i] = h.length;
        out.version[i] = h.version;
        out.type[i] = h.type;
        out.secondary_header[i] = h.secondary_header;
        out.apid[i] = h.apid;
        out.sequence_flags[i] = h.sequence_flags;
        out.sequence_count[i] = h.sequence_count;
    };
    return filter ? detail::walk<true>(data, size, 0, cursor, out.capacity, filter, row)
                  : detail::walk<false>(data, size, 0, cursor, out.capacity, nullptr, row);
}

// The same walk over packets each preceded by `prefix` bytes that are not
// part of it (as some ground systems record them): `row(row, offset,
// header)` for each, its offset being its header's first byte, while its
// header is in cache. What is left over at the end starts with a prefix.
template <class Row>
bool scan_frames(const std::uint8_t* data, std::size_t size, std::size_t prefix, Cursor& cursor, std::size_t capacity,
                 Row&& row) noexcept {
    return detail::walk<false>(data, size, prefix, cursor, capacity, nullptr, row);
}

}  // namespace fieldloom::ccsds
