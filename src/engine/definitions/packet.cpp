#include "engine/definitions/packet.hpp"

#include <algorithm>
#include <vector>

#include "codecs/message.hpp"
#include "engine/batch_decode.hpp"
#include "python/errors.hpp"

namespace fieldloom::defs {

namespace {

std::string decimal(int128 value) {
    const bool negative = value < 0;
    auto magnitude = static_cast<uint128>(negative ? -(value + 1) : value) + (negative ? 1 : 0);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    return negative ? "-" + digits : digits;
}

std::string quoted(const Slot& slot) { return "'" + std::string(recipe::utf8_of(slot.name.get())) + "'"; }

Outcome refuse(Refusal& refusal, Reason reason, std::string message) {
    refusal.reason = reason;
    refusal.message = std::move(message);
    return Outcome::Refused;
}

// A codec's failure: the packet's, or (out of memory) the caller's.
Outcome codec_failure(const Slot& slot, CodecError error, Refusal& refusal) {
    if (error.kind() == ErrorKind::Captured) {
        raise_codec_error(std::move(error));
        return Outcome::Error;
    }
    return refuse(refusal, Reason::BadValue, quoted(slot) + ": " + error.message());
}

Outcome scalar_object(const Slot& slot, std::uint64_t raw, PyRef& out, Refusal& refusal) {
    if (slot.unpack->plain != nullptr) {
        out = PyRef(slot.unpack->plain(raw, slot.bits));
        return out ? Outcome::Ok : Outcome::Error;
    }
    auto value = slot.unpack->unpack(recipe::FieldInput{raw, slot.bits, ByteSpan()});
    if (!value) return codec_failure(slot, std::move(value).error(), refusal);
    out = std::move(value).value();
    return Outcome::Ok;
}

// Why a slot's place could not be found, in words.
Outcome explain(const TypeProgram& type, const Fault& fault, const PacketBytes& packet, Marks& marks,
                const Arrays& arrays, Refusal& refusal) {
    const Slot& slot = type.slots[fault.slot];
    if (fault.reason == Reason::BadValue) {
        // The field a size or count comes from does not decode: its own failure says why.
        PyRef ignored;
        const Outcome outcome = slot_object(type, fault.slot, packet, marks, arrays, ignored, refusal);
        if (outcome == Outcome::Ok) throw InternalFault("a field that failed to decode decoded");
        return outcome;
    }
    const std::string what = slot.numeric() ? "count" : "size";
    const std::string unit = slot.numeric() ? "" : slot.unit == 8 ? " bytes" : " bits";
    const std::string from = fault.tag ? build_message("content of ", decimal(fault.value), " bits from its size tag")
                             : slot.size == SizeMode::FromField && fault.counted
                                 ? build_message(what, " ", decimal(fault.value), unit, " from ",
                                                 quoted(type.slots[slot.source]))
                                 : std::string();
    if (fault.reason == Reason::BadSize) {
        return refuse(refusal, Reason::BadSize,
                      build_message(quoted(slot), " has a ", from,
                                    fault.value < 0 ? ", which is negative" : ", not a whole number of bytes"));
    }
    if (slot.size == SizeMode::Delimited && !fault.tag) {
        return refuse(refusal, Reason::TooShort,
                      build_message(quoted(slot), " has no terminator before the end of the packet"));
    }
    std::string where;
    std::uint64_t start = 0;
    if (slot.anchor <= marks.known && !__builtin_add_overflow(marks.at[slot.anchor], slot.delta, &start)) {
        where = slot.size == SizeMode::Fixed && slot.fixed_bits() != 0
                    ? build_message("bits ", start, " to ", start + slot.fixed_bits() - 1)
                    : build_message("from bit ", start);
    }
    if (!from.empty()) where += (where.empty() ? "" : ", ") + from;
    return refuse(refusal, Reason::TooShort,
                  build_message(quoted(slot), where.empty() ? "" : " (" + where + ")",
                                " does not lie within the packet of ", packet.length, " bytes"));
}

Outcome array_object(const Slot& slot, const PacketBytes& packet, std::uint64_t start, std::uint64_t count,
                     const Arrays& arrays, PyRef& out, Refusal& refusal) {
    PyRef array(PyObject_CallFunction(arrays.empty.get(), "Ks", static_cast<unsigned long long>(count),
                                      batch::kDtypeCodes[static_cast<std::size_t>(slot.column)]));
    if (!array) return Outcome::Error;
    HeldBuffer held;
    if (!held.hold(array.get(), PyBUF_WRITABLE)) return Outcome::Error;
    if (slot.quad()) {  // every quad decodes
        auto* values = static_cast<double*>(held.data());
        for (std::uint64_t k = 0; k < count; ++k) values[k] = slot_quad(slot, packet, start + k * slot.bits);
        out = std::move(array);
        return Outcome::Ok;
    }
    std::uint64_t raws[batch::kChunk];
    std::uint8_t failed[batch::kChunk];
    const auto item = static_cast<std::uint64_t>(held.view().itemsize);
    for (std::uint64_t lo = 0; lo < count; lo += batch::kChunk) {
        const std::size_t n = static_cast<std::size_t>(count - lo < batch::kChunk ? count - lo : batch::kChunk);
        for (std::size_t j = 0; j < n; ++j) {
            raws[j] = slot_raw(slot, packet, start + (lo + j) * slot.bits);
            failed[j] = 0;
        }
        slot.convert(raws, n, slot.bits, static_cast<unsigned char*>(held.data()) + lo * item, 0, failed);
        for (std::size_t j = 0; j < n; ++j) {
            if (!failed[j]) continue;
            PyRef ignored;
            const Outcome outcome = scalar_object(slot, raws[j], ignored, refusal);
            if (outcome == Outcome::Ok) throw InternalFault("an array element that failed to decode decoded");
            return outcome;
        }
    }
    out = std::move(array);
    return Outcome::Ok;
}

}  // namespace

bool text_content(const Slot& slot, const std::uint8_t* data, std::uint64_t length, Content& out,
                  Fault& fault) noexcept {
    out = Content{0, length, false};
    fault.tag = slot.leading != 0;
    if (slot.leading != 0) {
        const std::uint32_t tag_bytes = slot.leading / 8;
        fault.value = 0;
        if (length < tag_bytes) {
            fault.reason = Reason::TooShort;
            return false;
        }
        std::uint64_t tag = 0;
        for (std::uint32_t i = 0; i < tag_bytes; ++i) tag = tag << 8 | data[i];
        fault.value = tag;
        if (tag % 8 != 0 || tag / 8 > length - tag_bytes) {
            fault.reason = tag % 8 != 0 ? Reason::BadSize : Reason::TooShort;
            return false;
        }
        fault.tag = false;
        out = Content{tag_bytes, tag / 8, true};
        return true;
    }
    const std::uint32_t unit = slot.terminator_bytes;
    for (std::uint64_t at = 0; unit != 0 && length - at >= unit; at += unit) {
        if (std::equal(slot.terminator, slot.terminator + unit, data + at)) {
            out.bytes = at;
            out.ended = true;
            break;
        }
    }
    return true;
}

bool Arrays::load() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    empty = PyRef(PyObject_GetAttrString(numpy.get(), "empty"));
    return static_cast<bool>(empty);
}

Outcome slot_object(const TypeProgram& type, std::uint32_t index, const PacketBytes& packet, Marks& marks,
                    const Arrays& arrays, PyRef& out, Refusal& refusal) {
    std::uint64_t start = 0;
    std::uint64_t bits = 0;
    Fault fault;
    if (!slot_extent(type, index, packet, marks, start, bits, fault)) {
        return explain(type, fault, packet, marks, arrays, refusal);
    }
    const Slot& slot = type.slots[index];
    if (!marks.has(slot)) {
        out = PyRef::borrow(Py_None);
        return Outcome::Ok;
    }
    switch (slot.kind) {
        case SlotKind::Scalar:
            if (slot.quad()) {
                out = PyRef(PyFloat_FromDouble(slot_quad(slot, packet, start)));
                return out ? Outcome::Ok : Outcome::Error;
            }
            return scalar_object(slot, slot_raw(slot, packet, start), out, refusal);
        case SlotKind::FixedArray:
        case SlotKind::DynamicArray:
            return array_object(slot, packet, start, bits / slot.bits, arrays, out, refusal);
        case SlotKind::Binary:
            out = PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packet.data + start / 8),
                                                  static_cast<Py_ssize_t>(bits / 8)));
            return out ? Outcome::Ok : Outcome::Error;
        default: {
            Content content;
            if (!text_content(slot, packet.data + start / 8, bits / 8, content, fault)) {
                fault.slot = index;
                return explain(type, fault, packet, marks, arrays, refusal);
            }
            std::vector<std::uint8_t> reversed;  // little-endian text
            const std::uint64_t text_bits = content.bytes * 8;
            const auto width = static_cast<std::uint32_t>(text_bits < 0xFFFFFFFFu ? text_bits : 0xFFFFFFFFu);
            auto value = recipe::field_value(packet.data + start / 8 + content.first, content.bytes, slot.order, width,
                                             false, *slot.unpack, reversed);
            if (!value) return codec_failure(slot, std::move(value).error(), refusal);
            out = std::move(value).value();
            return Outcome::Ok;
        }
    }
}

Outcome decode_packet(const TypeProgram& type, const PacketBytes& packet, const Arrays& arrays, PyObject* values,
                      Refusal& refusal) {
    Marks marks;
    marks.at[0] = 0;
    for (std::uint32_t s = 0; s < type.slots.size(); ++s) {
        PyRef value;
        const Outcome outcome = slot_object(type, s, packet, marks, arrays, value, refusal);
        if (outcome != Outcome::Ok) return outcome;
        if (values != nullptr) PyList_SET_ITEM(values, static_cast<Py_ssize_t>(s), value.release());
    }
    return Outcome::Ok;
}

}  // namespace fieldloom::defs
