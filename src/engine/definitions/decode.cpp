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
#include "python/errors.hpp"
#include "python/mapping_guard.hpp"

namespace fieldloom::defs {

namespace {

struct CutOff {
    std::uint64_t offset;
    std::string message;
};

// What the scan learns of each type's packets while their headers are in
// cache: how many, and the shortest, longest and total of their lengths.
struct Tally {
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    std::uint64_t shortest = ~std::uint64_t{0};
    std::uint64_t longest = 0;
};

// Each packet's type (kNoType: none), and with `tallied`, per type (the
// last for no type) its tally.
struct Identified {
    std::unique_ptr<std::uint16_t[]> types;
    std::vector<Tally> tallies;
    bool done = false;
    bool tallied = false;
};

// Arrays of `capacity` rows left unset: only the rows written are touched.
template <class T>
void grow(std::unique_ptr<T[]>& array, std::size_t kept, std::size_t capacity) {
    std::unique_ptr<T[]> larger(new T[capacity]);
    if (kept != 0) std::copy_n(array.get(), kept, larger.get());
    array = std::move(larger);
}

// Where the CCSDS packets lie.
struct Found {
    std::unique_ptr<std::int64_t[]> offsets;
    std::unique_ptr<std::int64_t[]> lengths;
};

// CCSDS packets, each `prefix` bytes after the one before, into `found`;
// with `identify`, each packet's type too, found while its header is in
// cache. What is left at the end is a packet cut off.
std::optional<CutOff> frame_ccsds(const Program& program, Frames& frames, std::uint64_t prefix, bool identify,
                                  Found& found, Identified& identified) {
    ccsds::Cursor cursor;
    // At most one packet per prefix and 7 bytes. Room first for as many as
    // the first packets' sizes make likely, and an eighth more: most
    // recordings never outgrow it.
    const std::uint64_t most = prefix >= frames.size ? 1 : frames.size / (prefix + 7) + 1;
    ccsds::Cursor first;
    ccsds::scan_frames(frames.base, frames.size, prefix, first, 64, [](std::size_t, std::size_t, const ccsds::Header&) {});
    const std::uint64_t likely = first.rows == 0 ? 0 : frames.size / (first.position / first.rows);
    std::size_t capacity = static_cast<std::size_t>(std::min(most, likely + likely / 8 + 64));
    // One tally per type and one for no type, at the highest index: a power
    // of two of them, so that a type's tally is found by a mask.
    if (identify) identified.tallies.assign(std::bit_ceil(program.types.size() + 1), Tally{});
    for (std::size_t kept = 0;; capacity *= 2) {
        grow(found.offsets, kept, capacity);
        grow(found.lengths, kept, capacity);
        if (identify) grow(identified.types, kept, capacity);
        std::int64_t* offsets = found.offsets.get();
        std::int64_t* lengths = found.lengths.get();
        std::uint16_t* types = identified.types.get();
        // Captured by value: the stores to the arrays may not alias them.
        // The tallies cost little here, the length and the type in registers;
        // they spare a pass over every packet and a length check per chunk.
        const TypeFinder finder(program);
        const auto row = [offsets, lengths, types, identify, type_of = finder, base = frames.base,
                          size = frames.size, tallies = identified.tallies.data(),
                          none = std::bit_ceil(program.types.size() + 1) - 1]<bool Leading>(std::size_t i, std::size_t at,
                                                                      const ccsds::Header& h) {
            offsets[i] = static_cast<std::int64_t>(at);
            lengths[i] = h.length;
            if (identify) {
                const std::uint16_t type =
                    type_of.template operator()<Leading>(PacketBytes{base + at, h.length, size - at});
                types[i] = type;
                Tally& tally = tallies[type & none];  // kNoType (all ones) lands on the last
                ++tally.count;
                tally.bytes += h.length;
                tally.shortest = h.length < tally.shortest ? h.length : tally.shortest;
                tally.longest = h.length > tally.longest ? h.length : tally.longest;
            }
        };
        const auto walk = [&]<bool Leading>() {
            return ccsds::scan_frames(frames.base, frames.size, prefix, cursor, capacity,
                                      [&row](std::size_t i, std::size_t at, const ccsds::Header& h) {
                                          row.template operator()<Leading>(i, at, h);
                                      });
        };
        if (finder.leading() ? walk.template operator()<true>() : walk.template operator()<false>()) break;
        kept = cursor.rows;
    }
    identified.done = identify;
    identified.tallied = identify;
    frames.count = cursor.rows;
    frames.starts = found.offsets.get();
    frames.lengths = found.lengths.get();
    const std::uint64_t left = frames.size - cursor.position;
    if (left == 0) return std::nullopt;
    if (left < prefix || left - prefix < ccsds::kHeaderBytes) {
        const std::uint64_t start = left < prefix ? frames.size : cursor.position + prefix;
        return CutOff{start,
                      build_message("the recording ends ", left, " bytes after the end of the packet before, inside ",
                                    left < prefix ? "the bytes before this packet" : "its primary header")};
    }
    const std::uint64_t start = cursor.position + prefix;
    const ccsds::Header header = ccsds::read_header(frames.base + start);
    return CutOff{start, build_message("its primary header declares ", header.length,
                                       " bytes, but the recording holds only ", left - prefix)};
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

// One type's table while it is built.
struct Table {
    const TypeProgram* type = nullptr;
    PyRef index;
    PyRef offset;
    HeldBuffer index_held;
    HeldBuffer offset_held;
    std::vector<PyRef> columns;
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::vector<std::uint8_t> failed;
    TypeRows rows;
    bool with_lock = false;  // it has slots done with the interpreter lock

    std::int64_t* index_data() const noexcept { return static_cast<std::int64_t*>(index_held.data()); }
    std::int64_t* offset_data() const noexcept { return static_cast<std::int64_t*>(offset_held.data()); }
};

bool allocate(Table& table, const Arrays& arrays, std::uint64_t count) {
    const TypeProgram& type = *table.type;
    auto array = [&](PyRef& out, HeldBuffer* held, const char* code, std::uint64_t width, bool matrix) {
        out = matrix ? PyRef(PyObject_CallFunction(arrays.empty.get(), "(KK)s", static_cast<unsigned long long>(count),
                                                   static_cast<unsigned long long>(width), code))
                     : PyRef(PyObject_CallFunction(arrays.empty.get(), "Ks", static_cast<unsigned long long>(count), code));
        return out && (held == nullptr || held->hold(out.get(), PyBUF_WRITABLE));
    };
    if (!array(table.index, &table.index_held, "i8", 0, false) || !array(table.offset, &table.offset_held, "i8", 0, false)) {
        return false;
    }
    table.failed.assign(count, 0);
    table.columns.resize(type.slots.size());
    table.rows.type = &type;
    table.rows.packets = table.index_data();
    table.rows.offsets = table.offset_data();
    table.rows.count = count;
    table.rows.failed = table.failed.data();
    table.rows.columns.assign(type.slots.size(), nullptr);
    for (std::size_t s = 0; s < type.slots.size(); ++s) {
        const Slot& slot = type.slots[s];
        auto held = std::make_unique<HeldBuffer>();
        const bool numeric = (slot.kind == SlotKind::Scalar || slot.kind == SlotKind::FixedArray) && slot.condition.empty();
        const char* code = numeric ? batch::kDtypeCodes[static_cast<std::size_t>(slot.column)] : "O";
        if (!array(table.columns[s], held.get(), code, slot.count, numeric && slot.kind == SlotKind::FixedArray)) return false;
        if (numeric) {
            table.rows.columns[s] = held->data();
        } else {
            table.with_lock = true;
        }
        table.held.push_back(std::move(held));
    }
    return true;
}

// Text, binary and arrays of a count from a field: one object per row.
bool fill_with_lock(Table& table, const Frames& frames, const Arrays& arrays) {
    const TypeProgram& type = *table.type;
    for (std::uint64_t row = 0; row < table.rows.count; ++row) {
        if (table.failed[row]) continue;
        const PacketBytes packet = frames.packet(static_cast<std::uint64_t>(table.index_data()[row]));
        Marks marks;
        marks.at[0] = 0;
        for (std::uint32_t s = 0; s < type.slots.size(); ++s) {
            if (table.rows.columns[s] != nullptr) continue;
            PyRef value;
            Refusal refusal;
            const Outcome outcome = slot_object(type, s, packet, marks, arrays, value, refusal);
            if (outcome == Outcome::Error) return false;
            if (outcome == Outcome::Refused) {
                table.failed[row] = 1;
                break;
            }
            auto** objects = static_cast<PyObject**>(table.held[s]->data());
            Py_SETREF(objects[row], value.release());
        }
    }
    return true;
}

bool add_refused(PyObject* list, std::uint64_t index, std::uint64_t offset, Reason reason, const std::string& message,
                 PyObject* type_name) {
    PyRef entry(Py_BuildValue("(KKss#O)", static_cast<unsigned long long>(index), static_cast<unsigned long long>(offset),
                              kReasons[static_cast<std::size_t>(reason)], message.data(),
                              static_cast<Py_ssize_t>(message.size()), type_name == nullptr ? Py_None : type_name));
    return entry && PyList_Append(list, entry.get()) == 0;
}

// Removes the failed rows of a table; the arrays become views of the kept rows.
bool drop_failed(Table& table) {
    const std::uint64_t count = table.rows.count;
    const void* found = count == 0 ? nullptr : std::memchr(table.failed.data(), 1, count);
    if (found == nullptr) return true;
    const auto first = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(found) - table.failed.data());
    std::uint64_t kept = first;
    for (std::uint64_t r = first; r < count; ++r) kept += table.failed[r] ? 0 : 1;
    const std::uint8_t* failed = table.failed.data();
    batch::drop_rows(table.index_data(), 8, false, failed, first, count);
    batch::drop_rows(table.offset_data(), 8, false, failed, first, count);
    for (std::size_t s = 0; s < table.columns.size(); ++s) {
        const HeldBuffer& held = *table.held[s];
        const std::uint64_t row_bytes = held.size() / count;
        batch::drop_rows(held.data(), row_bytes, table.rows.columns[s] == nullptr, failed, first, count);
    }
    auto slice = [kept](PyRef& array) {
        array = PyRef(PySequence_GetSlice(array.get(), 0, static_cast<Py_ssize_t>(kept)));
        return static_cast<bool>(array);
    };
    if (!slice(table.index) || !slice(table.offset)) return false;
    for (PyRef& column : table.columns) {
        if (!slice(column)) return false;
    }
    return true;
}

// Packets per block of the numeric pass: a few hundred kilobytes of recording.
constexpr std::uint64_t kBlockPackets = 4096;

PyObject* decode_frames(const Program& program, const Request& request, Frames& frames,
                        const std::optional<CutOff>& cut, Identified& identified) {
    Arrays arrays;
    if (!arrays.load()) return nullptr;
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
    if (identified.tallied) {
        for (std::size_t t = 0; t < type_count; ++t) rows[t] = identified.tallies[t].count;
        rows[type_count] = identified.tallies.back().count;
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
        if (!allocate(*tables[t], arrays, rows[t])) return nullptr;
        index[t] = tables[t]->index_data();
        offset[t] = tables[t]->offset_data();
        if (identified.tallied) tables[t]->rows.know_lengths(identified.tallies[t].shortest, identified.tallies[t].longest,
                                                             identified.tallies[t].bytes);
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
    if (const std::int64_t* given = frames.starts; given != nullptr) {
        place_rows([given](std::uint64_t i) { return given[i]; });
    } else {
        place_rows([stride = frames.stride](std::uint64_t i) { return static_cast<std::int64_t>(i * stride); });
    }
    std::copy(rows.begin(), rows.end(), starts.begin() + blocks * type_count);

    Py_BEGIN_ALLOW_THREADS
    batch::in_threads(blocks, 1, request.threads, [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t block = first; block < last; ++block) {
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

    // The refused packets in recording order (only the first, unless skipped).
    PyRef refused = checked(PyList_New(0));
    bool any_refused = false;
    for (std::size_t t = 0; t < type_count; ++t) {
        const std::vector<std::uint8_t>& failed = tables[t]->failed;
        any_refused = any_refused || (!failed.empty() && std::memchr(failed.data(), 1, failed.size()) != nullptr);
    }
    any_refused = any_refused || unknown != 0;
    std::fill(rows.begin(), rows.end(), 0);
    for (std::uint64_t i = 0; any_refused && i < count && (request.skip || PyList_GET_SIZE(refused.get()) == 0); ++i) {
        const std::uint16_t type = types[i];
        const std::uint64_t offset = frames.offset(i);
        if (type == kNoType) {
            if (!add_refused(refused.get(), i, offset, Reason::NoType, "no packet type matches it", nullptr)) return nullptr;
            continue;
        }
        const Table& table = *tables[type];
        if (!table.failed[rows[type]++]) continue;
        Refusal refusal;
        const Outcome outcome = decode_packet(*table.type, frames.packet(i), arrays, nullptr, refusal);
        if (outcome == Outcome::Error) return nullptr;
        if (outcome == Outcome::Ok) throw InternalFault("a packet flagged as failing decoded");
        if (!add_refused(refused.get(), i, offset, refusal.reason, refusal.message, table.type->name.get())) {
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
        const auto kept = static_cast<std::uint64_t>(PyObject_Length(table.index.get()));
        PyRef cases = checked(case_columns(*table.type, frames, table.index_data(), kept, table.rows.columns, arrays,
                                           request.threads));
        PyRef columns = checked(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
        for (std::size_t s = 0; s < table.columns.size(); ++s) {
            PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(s), table.columns[s].release());
        }
        PyObject* entry = Py_BuildValue("(OOO(KK)O)", columns.get(), table.index.get(), table.offset.get(),
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
        if (request.offsets != nullptr) {
            if (!frame_given(frames, request, offsets, lengths)) return nullptr;
        } else if (request.stride != 0) {
            frames.stride = request.stride;
            frames.count = frames.size / request.stride + (frames.size % request.stride != 0);
        } else {
            // One thread: each packet's type found in the scan; more: in threads after it.
            cut = frame_ccsds(program, frames, request.prefix, request.threads <= 1, found, identified);
        }
        PyObject* result = decode_frames(program, request, frames, cut, identified);
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
