#include "engine/definitions/decode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "codecs/message.hpp"
#include "engine/batch_decode.hpp"
#include "engine/ccsds_scan.hpp"
#include "engine/definitions/columns.hpp"
#include "engine/definitions/contexts.hpp"
#include "engine/definitions/packet.hpp"
#include "engine/definitions/tables.hpp"
#include "python/errors.hpp"
#include "python/mapping_guard.hpp"

namespace fieldloom::defs {

namespace {

struct CutOff {
    std::uint64_t offset;
    std::string message;
};

// One type's rows as the scan finds them (the last lane: no type): each
// packet's index and offset, written straight into the arrays its table
// keeps, and how their lengths compare with the `used` bytes of the type's
// entries, learnt while the headers are in cache. That spares a pass over
// every packet.
struct alignas(64) Lane {
    std::int64_t* index = nullptr;
    std::int64_t* offset = nullptr;
    std::uint64_t count = 0;
    // This block's total length (low 32 bits), packets longer than `used`
    // (the next 16) and shorter (the top 16): one sum per packet, taken out
    // at the end of each block before it can overflow.
    std::uint64_t tally = 0;
    std::uint64_t used = 0;
    std::uint64_t capacity = 0;
    std::uint64_t bytes = 0;
    std::uint64_t longer = 0;
    std::uint64_t shorter = 0;

    void take_tally() noexcept {
        bytes += tally & 0xFFFFFFFF;
        longer += tally >> 32 & 0xFFFF;
        shorter += tally >> 48;
        tally = 0;
    }
};

// Found in threads after the framing: each packet's type (kNoType: none).
// Found by the scan (`laned`): per type its lane, and the lanes' counts at
// the start of each block of the numeric pass.
struct Identified {
    std::unique_ptr<std::uint16_t[]> types;
    std::vector<Lane> lanes;
    std::vector<std::unique_ptr<LaneArrays>> arrays;  // per lane, null for a lane no packet can take
    std::vector<std::uint64_t> block_starts;
    bool done = false;
    bool laned = false;
};

// Packets per block of the numeric pass: a few hundred kilobytes of recording.
constexpr std::uint64_t kBlockPackets = 4096;

// Arrays of `capacity` rows left unset: only the rows written are touched.
template <class T>
void grow(std::unique_ptr<T[]>& array, std::size_t kept, std::size_t capacity) {
    std::unique_ptr<T[]> larger(new T[capacity]);
    if (kept != 0) std::copy_n(array.get(), kept, larger.get());
    array = std::move(larger);
}

// Where the CCSDS packets lie (their lengths are in their headers).
struct Found {
    std::unique_ptr<std::int64_t[]> offsets;
};

// A lane's rows moved to arrays of `capacity` rows.
bool give_room(Lane& lane, std::unique_ptr<LaneArrays>& held, const Arrays& arrays, std::uint64_t capacity) {
    auto larger = std::make_unique<LaneArrays>();
    const auto array = [&](PyRef& out, HeldBuffer& hold, const std::int64_t* rows) {
        out = PyRef(PyObject_CallFunction(arrays.empty.get(), "Ks", static_cast<unsigned long long>(capacity), "i8"));
        if (!out || !hold.hold(out.get(), PyBUF_WRITABLE)) return false;
        if (lane.count != 0) std::memcpy(hold.data(), rows, lane.count * 8);
        return true;
    };
    if (!array(larger->index, larger->index_held, lane.index) || !array(larger->offset, larger->offset_held, lane.offset)) {
        return false;
    }
    held = std::move(larger);
    lane.index = static_cast<std::int64_t*>(held->index_held.data());
    lane.offset = static_cast<std::int64_t*>(held->offset_held.data());
    lane.capacity = capacity;
    return true;
}

// What is left after the last whole packet: a packet cut off, if anything.
std::optional<CutOff> left_over(const Frames& frames, std::uint64_t prefix, const ccsds::Cursor& cursor) {
    const std::uint64_t left = frames.size - cursor.position;
    if (left == 0) return std::nullopt;
    if (left < prefix || left - prefix < ccsds::kHeaderBytes) {
        const std::uint64_t start = left < prefix ? frames.size : cursor.position + prefix;
        return CutOff{start, build_message("the recording ends ", left, " bytes after the end of the packet before, inside ",
                                           left < prefix ? "the bytes before this packet" : "its primary header")};
    }
    const std::uint64_t start = cursor.position + prefix;
    const ccsds::Header header = ccsds::read_header(frames.base + start);
    return CutOff{start, build_message("its primary header declares ", header.length,
                                       " bytes, but the recording holds only ", left - prefix)};
}

// The CCSDS packets' offsets, each packet `prefix` bytes after the one
// before, into `found`.
void frame_ccsds(Frames& frames, std::uint64_t prefix, Found& found, ccsds::Cursor& cursor) {
    // At most one packet per prefix and 7 bytes. Room first for as many as
    // the first packets' sizes make likely, and an eighth more: most
    // recordings never outgrow it.
    const std::uint64_t most = prefix >= frames.size ? 1 : frames.size / (prefix + 7) + 1;
    ccsds::Cursor first;
    ccsds::scan_frames(frames.base, frames.size, prefix, first, 64,
                       [](std::size_t, std::size_t, const std::uint8_t*, std::size_t) {});
    const std::uint64_t likely = first.rows == 0 ? 0 : frames.size / (first.position / first.rows);
    std::size_t capacity = static_cast<std::size_t>(std::min(most, likely + likely / 8 + 64));
    for (std::size_t kept = 0;; capacity *= 2) {
        grow(found.offsets, kept, capacity);
        std::int64_t* offsets = found.offsets.get();
        if (ccsds::scan_frames(frames.base, frames.size, prefix, cursor, capacity,
                               [offsets](std::size_t i, std::size_t at, const std::uint8_t*, std::size_t) {
                                   offsets[i] = static_cast<std::int64_t>(at);
                               })) {
            break;
        }
        kept = cursor.rows;
    }
    frames.count = cursor.rows;
    frames.starts = found.offsets.get();
    frames.ccsds = true;
}

// The same walk giving each packet straight to its type's lane, its type
// found while its header is in cache; no offset is kept per packet.
bool lane_ccsds(const Program& program, const Arrays& arrays, Frames& frames, std::uint64_t prefix,
                Identified& identified, ccsds::Cursor& cursor) {
    // One lane per type and one for no type, at the highest index: a power
    // of two of them, so that a packet's lane is found by a mask.
    const std::size_t type_count = program.types.size();
    const std::size_t none = std::bit_ceil(type_count + 1) - 1;
    identified.lanes.assign(none + 1, Lane{});
    for (std::size_t t = 0; t < type_count; ++t) identified.lanes[t].used = (program.types[t].reach[0] + 7) / 8;
    identified.arrays.resize(none + 1);
    for (std::size_t t = 0; t <= none; ++t) {
        if (t < type_count || t == none) identified.arrays[t] = std::make_unique<LaneArrays>();
    }
    const TypeFinder finder(program);
    // The first packets' types, for the first room of each lane.
    std::vector<std::uint64_t> seen(none + 1, 0);
    ccsds::Cursor sample;
    ccsds::scan_frames(frames.base, frames.size, prefix, sample, 256,
                       [&](std::size_t, std::size_t at, const std::uint8_t* packet, std::size_t length) {
                           ++seen[finder(PacketBytes{packet, length, frames.size - at}) & none];
                       });
    // Before each block, room in every lane for the whole block: the most
    // it can take, or as many rows as its share so far (at first, of the
    // first packets) makes likely for the whole recording, and an eighth more.
    const auto make_room = [&]() {
        const bool first = cursor.rows == 0;
        const std::uint64_t read = first ? sample.position : cursor.position;
        for (std::size_t t = 0; t <= none; ++t) {
            Lane& lane = identified.lanes[t];
            if (!identified.arrays[t] || lane.capacity - lane.count >= kBlockPackets) continue;
            std::uint64_t wanted = lane.count + kBlockPackets;
            if (read != 0) {
                const double share = static_cast<double>(first ? seen[t] : lane.count) / static_cast<double>(read);
                wanted = std::max(wanted, static_cast<std::uint64_t>(share * static_cast<double>(frames.size) * 1.125) +
                                              kBlockPackets);
            }
            wanted = std::max(wanted, lane.capacity * 2);
            if (!give_room(lane, identified.arrays[t], arrays, wanted)) return false;
        }
        return true;
    };
    // Captured by value: the stores to the arrays may not alias them.
    const auto row = [type_of = finder, size = frames.size, lanes = identified.lanes.data(),
                      none]<bool Leading>(std::size_t i, std::size_t at, const std::uint8_t* packet, std::size_t length) {
        if (length < 7) __builtin_unreachable();  // a CCSDS packet has 7 bytes at least
        const std::uint16_t type = type_of.template operator()<Leading>(PacketBytes{packet, length, size - at});
        Lane& lane = lanes[type & none];  // kNoType (all ones) lands on the last
        // In locals first: the stores could alias the lane.
        std::int64_t* const index = lane.index;
        std::int64_t* const offset = lane.offset;
        const std::uint64_t row = lane.count;
        const std::uint64_t tally = lane.tally;
        const std::uint64_t used = lane.used;
        index[row] = static_cast<std::int64_t>(i);
        offset[row] = static_cast<std::int64_t>(at);
        lane.count = row + 1;
        // Sign bits, not comparisons: no branch on how a type's packets fit.
        const std::uint64_t longer = (used - length) >> 63;
        const std::uint64_t shorter = (length - used) >> 63;
        lane.tally = tally + length + (longer << 32) + (shorter << 48);
    };
    const auto walk = [&]<bool Leading>(std::size_t limit) {
        return ccsds::scan_frames(frames.base, frames.size, prefix, cursor, limit,
                                  [&row](std::size_t i, std::size_t at, const std::uint8_t* packet, std::size_t length) {
                                      row.template operator()<Leading>(i, at, packet, length);
                                  });
    };
    // Block by block, each block's lane counts noted at its start.
    for (bool done = false; !done;) {
        for (std::size_t t = 0; t < type_count; ++t) identified.block_starts.push_back(identified.lanes[t].count);
        for (Lane& lane : identified.lanes) lane.take_tally();
        if (!make_room()) return false;
        const std::size_t limit = cursor.rows + kBlockPackets;
        done = finder.leading() ? walk.template operator()<true>(limit) : walk.template operator()<false>(limit);
    }
    for (Lane& lane : identified.lanes) lane.take_tally();
    identified.done = true;
    identified.laned = true;
    frames.count = cursor.rows;
    frames.ccsds = true;
    return true;
}

// Caller-given offsets (and lengths), held while the decode runs.
bool frame_given(Frames& frames, const Request& request, HeldBuffer& offsets, HeldBuffer& lengths) {
    if (!batch::hold_index_array(request.offsets, offsets, "offsets")) return false;
    frames.starts = static_cast<const std::int64_t*>(offsets.data());
    frames.count = offsets.size() / 8;
    if (request.lengths != nullptr) {
        if (!batch::hold_index_array(request.lengths, lengths, "lengths")) return false;
        if (lengths.size() != offsets.size()) {
            PyErr_SetString(PyExc_ValueError, "lengths and offsets differ in length");
            return false;
        }
        frames.lengths = static_cast<const std::int64_t*>(lengths.data());
    }
    return batch::check_geometry(frames);
}

PyRef checked(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return PyRef(object);
}

bool add_refused(PyObject* list, std::uint64_t index, std::uint64_t offset, Reason reason, const std::string& message,
                 PyObject* type_name) {
    PyRef entry(Py_BuildValue("(KKss#O)", static_cast<unsigned long long>(index), static_cast<unsigned long long>(offset),
                              kReasons[static_cast<std::size_t>(reason)], message.data(),
                              static_cast<Py_ssize_t>(message.size()), type_name == nullptr ? Py_None : type_name));
    return entry && PyList_Append(list, entry.get()) == 0;
}

PyObject* decode_frames(const Program& program, const Request& request, const Arrays& arrays, Frames& frames,
                        const std::optional<CutOff>& cut, Identified& identified) {
    const std::uint64_t count = frames.count;
    const std::size_t type_count = program.types.size();
    if (!identified.done) {
        grow(identified.types, 0, count);
        std::uint16_t* types = identified.types.get();
        Py_BEGIN_ALLOW_THREADS
        batch::in_threads(count, batch::kChunk, request.threads, [&](std::uint64_t lo, std::uint64_t hi) {
            identify_packets(program, frames, lo, hi, types);
        });
        Py_END_ALLOW_THREADS
    }
    const std::uint16_t* types = identified.types.get();
    std::vector<std::uint64_t> rows(type_count + 1, 0);
    if (identified.laned) {
        for (std::size_t t = 0; t < type_count; ++t) rows[t] = identified.lanes[t].count;
        rows[type_count] = identified.lanes.back().count;
    } else {
        for (std::uint64_t i = 0; i < count; ++i) ++rows[types[i] == kNoType ? type_count : types[i]];
    }
    const std::uint64_t unknown = rows[type_count];
    rows.pop_back();
    std::vector<std::unique_ptr<Table>> tables;
    std::vector<std::int64_t*> index(type_count);
    std::vector<std::int64_t*> offset(type_count);
    for (std::size_t t = 0; t < type_count; ++t) {
        tables.push_back(std::make_unique<Table>());
        tables[t]->type = &program.types[t];
        if (!allocate(*tables[t], arrays, rows[t],
                      identified.laned ? std::move(identified.arrays[t]) : std::unique_ptr<LaneArrays>())) {
            return nullptr;
        }
        index[t] = tables[t]->index_data();
        offset[t] = tables[t]->offset_data();
        if (identified.laned) {
            const Lane& lane = identified.lanes[t];
            tables[t]->rows.know_lengths(lane.shorter, lane.longer, lane.bytes);
        }
    }
    // The rows go in blocks of the recording, every type's rows of a block
    // while its bytes are in cache: starts[b * types + t] is type t's first
    // row in block b.
    const std::uint64_t blocks = (count + kBlockPackets - 1) / kBlockPackets;
    std::vector<std::uint64_t> starts((blocks + 1) * type_count);
    std::fill(rows.begin(), rows.end(), 0);
    // Each framing's loop with its values in registers (the stores could alias what lies in memory).
    const auto place_rows = [&](auto offset_of) {
        std::uint64_t* next = rows.data();
        std::int64_t** indexes = index.data();
        std::int64_t** offsets = offset.data();
        for (std::uint64_t block = 0; block < blocks; ++block) {
            std::copy(next, next + type_count, starts.begin() + block * type_count);
            const std::uint64_t end = std::min(count, (block + 1) * kBlockPackets);
            for (std::uint64_t i = block * kBlockPackets; i < end; ++i) {
                const std::uint16_t type = types[i];
                if (type == kNoType) continue;
                const std::uint64_t row = next[type]++;
                indexes[type][row] = static_cast<std::int64_t>(i);
                offsets[type][row] = offset_of(i);
            }
        }
    };
    if (identified.laned) {  // placed by the scan
        std::copy_n(identified.block_starts.begin(), blocks * type_count, starts.begin());
        for (std::size_t t = 0; t < type_count; ++t) rows[t] = identified.lanes[t].count;
    } else if (const std::int64_t* given = frames.starts; given != nullptr) {
        place_rows([given](std::uint64_t i) { return given[i]; });
    } else {
        place_rows([stride = frames.stride](std::uint64_t i) { return static_cast<std::int64_t>(i * stride); });
    }
    std::copy(rows.begin(), rows.end(), starts.begin() + blocks * type_count);

    Py_BEGIN_ALLOW_THREADS
    batch::in_threads(blocks, 1, request.threads, [&](std::uint64_t first, std::uint64_t last) {
        // Last block first: the scan has just read the end of the recording,
        // which is still in cache.
        for (std::uint64_t block = last; block-- > first;) {
            for (std::size_t t = 0; t < type_count; ++t) {
                const std::uint64_t lo = starts[block * type_count + t];
                const std::uint64_t hi = starts[(block + 1) * type_count + t];
                if (lo < hi) decode_rows(tables[t]->rows, frames, lo, hi);
            }
        }
    });
    Py_END_ALLOW_THREADS
    for (auto& table : tables) {
        if (table->rows.out_of_memory.load()) return PyErr_NoMemory();
        if (table->with_lock && !fill_with_lock(*table, frames, arrays)) return nullptr;
    }

    // The refused packets in recording order (only the first, unless
    // skipped): the rows that failed and the packets of no type, each
    // (index, offset, type or kNoType, row), sorted by index.
    struct Candidate {
        std::uint64_t index;
        std::uint64_t offset;
        std::uint16_t type;
        std::uint64_t row;
    };
    std::vector<Candidate> candidates;
    for (std::size_t t = 0; t < type_count; ++t) {
        const Table& table = *tables[t];
        const std::vector<std::uint8_t>& failed = table.failed;
        for (const void* at = failed.empty() ? nullptr : std::memchr(failed.data(), 1, failed.size()); at != nullptr;) {
            const auto row = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(at) - failed.data());
            candidates.push_back({static_cast<std::uint64_t>(table.index_data()[row]),
                                  static_cast<std::uint64_t>(table.offset_data()[row]), static_cast<std::uint16_t>(t), row});
            at = row + 1 < failed.size() ? std::memchr(failed.data() + row + 1, 1, failed.size() - row - 1) : nullptr;
        }
    }
    if (unknown != 0 && identified.laned) {
        const LaneArrays& lane = *identified.arrays.back();
        const auto* index = static_cast<const std::int64_t*>(lane.index_held.data());
        const auto* offset = static_cast<const std::int64_t*>(lane.offset_held.data());
        for (std::uint64_t k = 0; k < unknown; ++k) {
            candidates.push_back({static_cast<std::uint64_t>(index[k]), static_cast<std::uint64_t>(offset[k]), kNoType, 0});
        }
    } else if (unknown != 0) {
        for (std::uint64_t i = 0; i < count; ++i) {
            if (types[i] == kNoType) candidates.push_back({i, frames.offset(i), kNoType, 0});
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
    PyRef refused = checked(PyList_New(0));
    for (const Candidate& candidate : candidates) {
        if (!request.skip && PyList_GET_SIZE(refused.get()) != 0) break;
        if (candidate.type == kNoType) {
            if (!add_refused(refused.get(), candidate.index, candidate.offset, Reason::NoType, "no packet type matches it",
                             nullptr)) {
                return nullptr;
            }
            continue;
        }
        const Table& table = *tables[candidate.type];
        Refusal refusal;
        const Outcome outcome =
            decode_packet(*table.type, frames.packet(candidate.index, candidate.offset), arrays, nullptr, refusal);
        if (outcome == Outcome::Error) return nullptr;
        if (outcome == Outcome::Ok) throw InternalFault("a packet flagged as failing decoded");
        if (!add_refused(refused.get(), candidate.index, candidate.offset, refusal.reason, refusal.message,
                         table.type->name.get())) {
            return nullptr;
        }
    }
    if (cut && (request.skip || PyList_GET_SIZE(refused.get()) == 0) &&
        !add_refused(refused.get(), count, cut->offset, Reason::CutOff, cut->message, nullptr)) {
        return nullptr;
    }

    PyRef result_tables = checked(PyList_New(static_cast<Py_ssize_t>(type_count)));
    for (std::size_t t = 0; t < type_count; ++t) {
        Table& table = *tables[t];
        if (!drop_failed(table)) return nullptr;
        const auto kept = static_cast<std::uint64_t>(PyObject_Length(table.place->index.get()));
        PyRef cases = checked(case_columns(*table.type, frames, table.index_data(), table.offset_data(), kept, table.rows.columns, arrays,
                                           request.threads));
        PyRef columns = checked(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
        for (std::size_t s = 0; s < table.columns.size(); ++s) {
            PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(s), table.columns[s].release());
        }
        PyObject* entry = Py_BuildValue("(OOO(KK)O)", columns.get(), table.place->index.get(), table.place->offset.get(),
                                        static_cast<unsigned long long>(table.rows.longer.load()),
                                        static_cast<unsigned long long>(table.rows.extra.load()), cases.get());
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(result_tables.get(), static_cast<Py_ssize_t>(t), entry);
    }
    return Py_BuildValue("(OOK)", result_tables.get(), refused.get(),
                         static_cast<unsigned long long>(count + (cut ? 1 : 0)));
}

}  // namespace

PyObject* decode_recording(const Program& program, const Request& request) {
    HeldBuffer buffer;
    if (!buffer.hold(request.buffer, PyBUF_SIMPLE)) return nullptr;
    const mapping::ReadCheck whole(buffer.data(), static_cast<std::size_t>(buffer.size()));
    try {
        Frames frames;
        frames.base = static_cast<const std::uint8_t*>(buffer.data());
        frames.size = buffer.size();
        std::optional<CutOff> cut;
        HeldBuffer offsets;
        HeldBuffer lengths;
        Found found;
        Identified identified;
        Arrays arrays;
        if (!arrays.load()) return nullptr;
        if (request.offsets != nullptr) {
            if (!frame_given(frames, request, offsets, lengths)) return nullptr;
        } else if (request.stride != 0) {
            frames.stride = request.stride;
            frames.count = frames.size / request.stride + (frames.size % request.stride != 0);
        } else {
            // One thread: each packet's type found in the scan; more: in threads after it.
            ccsds::Cursor cursor;
            if (request.threads > 1) {
                frame_ccsds(frames, request.prefix, found, cursor);
            } else if (!lane_ccsds(program, arrays, frames, request.prefix, identified, cursor)) {
                return nullptr;
            }
            cut = left_over(frames, request.prefix, cursor);
        }
        PyObject* result = decode_frames(program, request, arrays, frames, cut, identified);
        if (whole.passed()) return result;
        // Decoded from bytes the file no longer has: the OSError replaces any other result.
        Py_XDECREF(result);
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* unpack_packet(const Program& program, ByteSpan bytes) {
    Arrays arrays;
    if (!arrays.load()) return nullptr;
    const PacketBytes packet{bytes.data(), bytes.size(), bytes.size()};
    const std::int64_t type = identify(program, packet);
    if (type < 0) return Py_BuildValue("(OOss)", Py_None, Py_None, kReasons[static_cast<std::size_t>(Reason::NoType)],
                                       "no packet type matches it");
    const TypeProgram& chosen = program.types[static_cast<std::size_t>(type)];
    PyRef values = checked(PyList_New(static_cast<Py_ssize_t>(chosen.slots.size())));
    Refusal refusal;
    const Outcome outcome = decode_packet(chosen, packet, arrays, values.get(), refusal);
    if (outcome == Outcome::Error) return nullptr;
    if (outcome == Outcome::Refused) {
        return Py_BuildValue("(LOss#)", static_cast<long long>(type), Py_None, kReasons[static_cast<std::size_t>(refusal.reason)],
                             refusal.message.data(), static_cast<Py_ssize_t>(refusal.message.size()));
    }
    PyRef cases = checked(packet_cases(chosen, packet));
    return Py_BuildValue("(LOO)", static_cast<long long>(type), values.get(), cases.get());
}

}  // namespace fieldloom::defs
