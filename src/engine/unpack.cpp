#include "engine/unpack.hpp"

#include <array>
#include <bit>
#include <vector>

#include "codecs/bcd.hpp"
#include "codecs/ieee754.hpp"
#include "codecs/message.hpp"
#include "recipe/recipe.hpp"
#include "codecs/signed_int.hpp"
#include "codecs/single_byte.hpp"
#include "codecs/utf16_32.hpp"
#include "codecs/utf8.hpp"
#include "python/compat.hpp"
#include "python/errors.hpp"
#include "python/text_bridge.hpp"

namespace fieldloom::recipe {

namespace {

PyRef made(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return PyRef(object);
}

template <class T>
Expected<PyRef> value_of(Expected<T> result) {
    if (!result) return std::move(result).error();
    if constexpr (std::is_same_v<T, TextPlan>) {
        return made(text_plan_to_str(*result));
    } else {
        return made(PyLong_FromLongLong(*result));
    }
}

// The rules that cannot fail: a new value straight from the raw value.
PyObject* plain_unsigned(std::uint64_t raw, std::uint32_t) { return PyLong_FromUnsignedLongLong(raw); }

template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t) noexcept>
PyObject* plain_signed(std::uint64_t raw, std::uint32_t bits) {
    return PyLong_FromLongLong(Decode(raw, bits));
}

template <auto Decode>
PyObject* plain_float(std::uint64_t raw, std::uint32_t) {
    return PyFloat_FromDouble(static_cast<double>(Decode(raw)));
}

template <PlainFn Plain>
Expected<PyRef> unpack_plain(const FieldInput& in) {
    return made(Plain(in.raw, in.bits));
}

template <Expected<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool), bool Signed>
Expected<PyRef> unpack_bcd(const FieldInput& in) {
    return value_of(Decode(in.raw, in.bits, Signed));
}

// The quad-precision field is not decoded here: a field of up to 64 bits
// gives 0.0, a wider one is refused.
Expected<PyRef> unpack_f128(const FieldInput& in) {
    if (in.bits <= 64) return made(PyFloat_FromDouble(0.0));
    return value_error("IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
}

template <FloatFamily Family>
Expected<PyRef> unpack_unimplemented(const FieldInput&) {
    return not_implemented(float_decode_message(Family));
}

template <Expected<TextPlan> (*Decode)(ByteSpan)>
Expected<PyRef> unpack_text(const FieldInput& in) {
    return value_of(Decode(in.bytes));
}

// Indexed by Encoding.
constexpr std::array<UnpackRow, kEncodingCount> kUnpackRows{{
    {&unpack_plain<plain_unsigned>, false, &plain_unsigned},
    {&unpack_plain<plain_signed<decode_twos_complement>>, false, &plain_signed<decode_twos_complement>},
    {&unpack_plain<plain_signed<decode_ones_complement>>, false, &plain_signed<decode_ones_complement>},
    {&unpack_plain<plain_signed<decode_sign_magnitude>>, false, &plain_signed<decode_sign_magnitude>},
    {&unpack_bcd<decode_packed_bcd, false>, false},
    {&unpack_bcd<decode_packed_bcd, true>, false},
    {&unpack_bcd<decode_unpacked_bcd, false>, false},
    {&unpack_bcd<decode_unpacked_bcd, true>, false},
    {&unpack_plain<plain_float<decode_ieee754_f16>>, false, &plain_float<decode_ieee754_f16>},
    {&unpack_plain<plain_float<decode_ieee754_f32>>, false, &plain_float<decode_ieee754_f32>},
    {&unpack_plain<plain_float<decode_ieee754_f64>>, false, &plain_float<decode_ieee754_f64>},
    {&unpack_f128, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F32>, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F64>, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F80>, false},
    {&unpack_unimplemented<FloatFamily::MilStd1750aF32>, false},
    {&unpack_unimplemented<FloatFamily::MilStd1750aF48>, false},
    {&unpack_unimplemented<FloatFamily::TiF32>, false},
    {&unpack_unimplemented<FloatFamily::TiF40>, false},
    {&unpack_unimplemented<FloatFamily::DecF32>, false},
    {&unpack_unimplemented<FloatFamily::DecF64>, false},
    {&unpack_unimplemented<FloatFamily::IbmF32>, false},
    {&unpack_unimplemented<FloatFamily::IbmF64>, false},
    {&unpack_text<decode_utf8>, true},
    {&unpack_text<decode_utf16>, true},
    {&unpack_text<decode_utf16be>, true},
    {&unpack_text<decode_utf16le>, true},
    {&unpack_text<decode_utf32>, true},
    {&unpack_text<decode_utf32be>, true},
    {&unpack_text<decode_utf32le>, true},
    {&unpack_text<decode_us_ascii>, true},
    {&unpack_text<decode_iso_8859_1>, true},
    {&unpack_text<decode_iso_8859_1>, true},
    {&unpack_text<decode_windows_1252>, true},
}};

}  // namespace

const UnpackRow& unpack_row(Encoding encoding) noexcept { return kUnpackRows[static_cast<std::size_t>(encoding)]; }

CodecError field_outside(PyObject* name, FieldBytes field, std::uint64_t packet_size) {
    return value_error(build_message("Field '", utf8_of(name), "' needs a packet of at least ", field.end(),
                                     " bytes, but the packet has ", packet_size));
}

namespace {

// The value of a valid entry's field, whose bytes lie within the packet,
// stored under its name.
[[gnu::always_inline]] inline Expected<Unit> store_field(PyObject* result, const std::uint8_t* field,
                                                        const EntryValues& entry, std::uint64_t count,
                                                        std::vector<std::uint8_t>& reversed) {
    const UnpackRow& row = kUnpackRows[static_cast<std::size_t>(entry.resolved_encoding)];
    PyObject* value;
    if (row.plain != nullptr) [[likely]] {
        value = row.plain(bit_step(raw_value(field, count, entry.order), entry.bits, entry.reverse_bits), entry.bits);
        if (value == nullptr) api_call_failed();
    } else {
        auto made = field_value(field, count, entry.order, entry.bits, entry.reverse_bits, row, reversed);
        if (!made) return std::move(made).error();
        value = made->release();
    }
    const int stored = PyDict_SetItem(result, entry.name, value);
    Py_DECREF(value);
    if (stored < 0) return capture_python_error();
    return Unit{};
}

}  // namespace

Expected<PyRef> process_recipe(ByteSpan packet, std::uint64_t offset_bits, const kind::ItemRefs& recipe) {
    // Sized once for the whole recipe, so the dict never grows while filling.
    PyRef result(compat::new_presized_dict(static_cast<Py_ssize_t>(recipe.size())));
    if (!result) api_call_failed();
    std::uint64_t cursor = offset_bits;
    std::vector<std::uint8_t> reversed;  // little-endian text fields only

    for (PyObject* item : recipe) {
        // A remembered entry is used in place: nothing from here to its
        // value's storing runs Python code, so its borrowed objects hold.
        if (const EntryValues* known = remembered_entry(item)) [[likely]] {
            const std::uint64_t position = known->has_offset ? offset_bits + known->offset_bits : cursor;
            const FieldBytes field = field_bytes(position, known->bits);
            if (!field.fits(packet.size())) return field_outside(known->name, field, packet.size());
            auto stored = store_field(result.get(), packet.data() + field.first, *known, field.count, reversed);
            if (!stored) return std::move(stored).error();
            cursor = position + known->bits;
            continue;
        }
        RecipeEntry entry;
        if (auto read = read_recipe_entry(item, entry); !read) return std::move(read).error();

        const std::uint64_t position = entry.has_offset ? offset_bits + entry.offset_bits : cursor;
        const FieldBytes field = field_bytes(position, entry.bits);
        if (!field.fits(packet.size())) return field_outside(entry.name, field, packet.size());
        auto order = entry_byte_order(entry);
        if (!order) return std::move(order).error();
        auto encoding = entry_encoding(entry, Direction::Unpack);
        if (!encoding) return std::move(encoding).error();
        entry.order = *order;
        entry.resolved_encoding = *encoding;
        auto stored = store_field(result.get(), packet.data() + field.first, entry, field.count, reversed);
        if (!stored) return std::move(stored).error();
        cursor = position + entry.bits;
    }
    return result;
}

Expected<PyRef> unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, kind::ItemRefs recipe) {
    auto result = process_recipe(packet, offset_bits, recipe);
    if (!result) return wrap_engine_failure(std::move(result).error());
    return result;
}

}  // namespace fieldloom::recipe
