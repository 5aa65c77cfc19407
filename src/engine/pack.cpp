#include "engine/pack.hpp"

#include <algorithm>
#include <array>
#include <cstring>
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

// The numeric encoders: the raw value of the field. Their failures are built
// out of line, so that the success path saves no registers.
[[gnu::cold, gnu::noinline]] Expected<std::uint64_t> conversion_failed() { return capture_python_error(); }

[[gnu::cold, gnu::noinline]] Expected<std::uint64_t> too_large(std::uint64_t number, std::uint32_t bits) {
    return value_error(build_message("Value ", number, " is too large for ", bits, " bits"));
}

Expected<std::uint64_t> raw_unsigned(PyObject* value, std::uint32_t bits) {
    std::uint64_t number = 0;
    if (!kind::U64::convert(value, number)) [[unlikely]] return conversion_failed();
    if (bits < 64 && (number >> bits) != 0) [[unlikely]] return too_large(number, bits);
    return number;
}

template <Expected<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t)>
Expected<std::uint64_t> raw_signed(PyObject* value, std::uint32_t bits) {
    std::int64_t number = 0;
    if (!kind::I64::convert(value, number)) [[unlikely]] return conversion_failed();
    return Encode(number, bits);
}

template <Expected<std::uint64_t> (*Encode)(std::int64_t, std::uint32_t, bool), bool Signed>
Expected<std::uint64_t> raw_bcd(PyObject* value, std::uint32_t bits) {
    std::int64_t number = 0;
    if (!kind::I64::convert(value, number)) [[unlikely]] return conversion_failed();
    return Encode(number, bits, Signed);
}

template <class Kind, auto Encode>
Expected<std::uint64_t> raw_float(PyObject* value, std::uint32_t) {
    typename Kind::type number{};
    if (!Kind::convert(value, number)) [[unlikely]] return conversion_failed();
    return static_cast<std::uint64_t>(Encode(number));
}

template <NumericPackFn Raw>
Expected<Encoded> pack_numeric(PyObject* value, std::uint32_t bits) {
    auto raw = Raw(value, bits);
    if (!raw) return std::move(raw).error();
    return Encoded{false, *raw, {}};
}

// Indexed by Encoding; nullptr for text and where packing refuses the name.
constexpr std::array<NumericPackFn, kEncodingCount> kNumericRows{{
    &raw_unsigned,
    &raw_signed<encode_twos_complement>,
    &raw_signed<encode_ones_complement>,
    &raw_signed<encode_sign_magnitude>,
    &raw_bcd<encode_packed_bcd, false>,
    &raw_bcd<encode_packed_bcd, true>,
    &raw_bcd<encode_unpacked_bcd, false>,
    &raw_bcd<encode_unpacked_bcd, true>,
    &raw_float<kind::Single, encode_ieee754_f16>,
    &raw_float<kind::Single, encode_ieee754_f32>,
    &raw_float<kind::Double, encode_ieee754_f64>,
}};

template <auto Encode>
Expected<Encoded> pack_text(PyObject* value, std::uint32_t) {
    TextView text{};
    if (!kind::Text::convert(value, text)) return capture_python_error();
    auto plan = encode_text<Encode>(text);
    if (!plan) return std::move(plan).error();
    return Encoded{true, 0, *plan};
}

// Indexed by Encoding; nullptr where packing refuses the name (resolve_encoding
// already turned those away).
constexpr std::array<PackFn, kEncodingCount> kPackRows{{
    &pack_numeric<kNumericRows[0]>,
    &pack_numeric<kNumericRows[1]>,
    &pack_numeric<kNumericRows[2]>,
    &pack_numeric<kNumericRows[3]>,
    &pack_numeric<kNumericRows[4]>,
    &pack_numeric<kNumericRows[5]>,
    &pack_numeric<kNumericRows[6]>,
    &pack_numeric<kNumericRows[7]>,
    &pack_numeric<kNumericRows[8]>,
    &pack_numeric<kNumericRows[9]>,
    &pack_numeric<kNumericRows[10]>,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    &pack_text<encode_utf8>,
    &pack_text<encode_utf16>,
    &pack_text<encode_utf16be>,
    &pack_text<encode_utf16le>,
    &pack_text<encode_utf32>,
    &pack_text<encode_utf32be>,
    &pack_text<encode_utf32le>,
    &pack_text<encode_us_ascii>,
    &pack_text<encode_iso_8859_1>,
    &pack_text<encode_iso_8859_1>,
    &pack_text<encode_windows_1252>,
}};

// The whole text from the field's first byte, reversed for little-endian,
// cut at the end of the output. False when the text holds a lone surrogate
// (the packet is then discarded with the call).
bool write_text(std::uint8_t* out, std::uint64_t size, std::uint64_t first, const BytesPlan& plan, ByteOrder order,
                std::vector<std::uint8_t>& scratch) {
    if (plan.size == 0) return true;
    if (first >= size) return !kind::holds_lone_surrogate(plan.text);  // nothing written, still refused
    const std::uint64_t room = size - first;
    if (order == ByteOrder::Big && plan.size <= room) return fill_bytes(plan, out + first);
    scratch.resize(plan.size);
    if (!fill_bytes(plan, scratch.data())) return false;
    if (order == ByteOrder::Little) std::reverse(scratch.begin(), scratch.end());
    std::memcpy(out + first, scratch.data(), static_cast<std::size_t>(std::min<std::uint64_t>(plan.size, room)));
    return true;
}

// Reads the values dict alongside the recipe. A dict built in recipe order
// (or returned by unpack_parameters) holds each name at the next position,
// so that entry is tried before any hashing: in a dict of str keys only,
// whose lookups run no Python code, a key that is the name or equal text is
// the one a lookup would find. A dict holding any other key is always looked
// up: its lookup may run a key's __eq__ (which may change the dict) before
// reaching the name, even where the name's own object is next in the walk.
class ValueReader {
public:
    explicit ValueReader(PyObject* values) noexcept : values_(values) {}

    // Borrowed; nullptr when absent (error unset) or on failure (error set).
    PyObject* find(PyObject* name) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (compat::str_dict_next(values_, position_, key, value) &&
            (key == name || compat::same_exact_text(key, name))) {
            return value;
        }
        return PyDict_GetItemWithError(values_, name);
    }

private:
    PyObject* values_;
    Py_ssize_t position_ = 0;
};

constexpr std::uint64_t kMaxPacketBytes = static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - 64;

[[gnu::always_inline]] inline Expected<Unit> write_field(std::uint8_t* out, std::uint64_t size, std::uint64_t position, std::uint32_t bits,
                             bool reverse_bits, ByteOrder order, const Encoded& encoded,
                             std::vector<std::uint8_t>& scratch) {
    const FieldBytes field = field_bytes(position, bits);
    if (encoded.is_text) {
        if (!write_text(out, size, field.first, encoded.text, order, scratch)) return surrogate_error(encoded.text.text);
    } else {
        write_numeric(out, size, field, order, encoded.raw, bits, reverse_bits);
    }
    return Unit{};
}

// A text field (or one whose encoding packing refuses): planned, then written.
Expected<Unit> pack_text_field(std::uint8_t* out, std::uint64_t size, std::uint64_t position, const RecipeEntry& entry,
                               PyObject* value, Encoding encoding, std::vector<std::uint8_t>& scratch) {
    auto encoded = kPackRows[static_cast<std::size_t>(encoding)](value, entry.bits);
    if (!encoded) return std::move(encoded).error();
    auto order = entry_byte_order(entry);
    if (!order) {
        // A lone surrogate in the text is reported first, as the encoders' own failures are.
        if (encoded->is_text && kind::holds_lone_surrogate(encoded->text.text))
            return surrogate_error(encoded->text.text);
        return std::move(order).error();
    }

    return write_field(out, size, position, entry.bits, entry.reverse_bits, *order, *encoded, scratch);
}

}  // namespace

PackFn pack_row(Encoding encoding) noexcept { return kPackRows[static_cast<std::size_t>(encoding)]; }

NumericPackFn numeric_pack_row(Encoding encoding) noexcept { return kNumericRows[static_cast<std::size_t>(encoding)]; }

CodecError missing_value(PyObject* name) {
    return CodecError(ErrorKind::KeyError, build_message("Missing value for parameter: '", utf8_of(name), "'"));
}

Expected<Unit> write_encoded(std::uint8_t* out, std::uint64_t size, std::uint64_t position, std::uint32_t bits,
                             bool reverse_bits, ByteOrder order, const Encoded& encoded,
                             std::vector<std::uint8_t>& scratch) {
    return write_field(out, size, position, bits, reverse_bits, order, encoded, scratch);
}

Expected<PyRef> pack_packet(const kind::ItemRefs& recipe, PyObject* values, bool& unwrapped) {
    unwrapped = false;
    // Sizing pass: every entry's extent is read before anything is encoded.
    // A remembered entry is answered by the cache; reading it would run no
    // Python code either.
    std::uint64_t total_bits = 0;
    bool impossible = false;
    for (PyObject* item : recipe) {
        FieldExtent extent;
        if (const EntryValues* hit = remembered_entry(item)) {
            extent = FieldExtent{hit->bits, hit->has_offset, hit->offset_bits};
        } else {
            auto read = read_field_extent(item);
            if (!read) return std::move(read).error();
            extent = *read;
        }
        const std::uint64_t start = extent.has_offset ? extent.offset_bits : total_bits;
        std::uint64_t end = 0;
        // A position past 2^64 - 1 describes a packet that cannot exist.
        if (__builtin_add_overflow(start, std::uint64_t{extent.bits}, &end)) {
            impossible = true;
            continue;
        }
        total_bits = std::max(total_bits, end);
    }
    const std::uint64_t size = total_bits / 8 + (total_bits % 8 != 0);
    if (impossible || size > kMaxPacketBytes) {
        unwrapped = true;
        PyErr_NoMemory();
        return capture_python_error();
    }
    PyObject* packet = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (packet == nullptr) {
        unwrapped = true;
        return capture_python_error();
    }
    PyRef result(packet);
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet));
    std::memset(out, 0, static_cast<std::size_t>(size));

    std::uint64_t cursor = 0;
    std::vector<std::uint8_t> scratch;
    ValueReader reader(values);
    for (PyObject* item : recipe) {
        std::uint64_t position = 0;
        std::uint32_t bits = 0;
        // The common field: a remembered entry of a numeric encoding. Its
        // reading, encoding and byte order are known valid, so only its value
        // can fail, and it is written straight into the packet. The cache's
        // values are the dict's own: copied before any Python code can run.
        const EntryValues* hit = remembered_entry(item);
        const NumericPackFn remembered_raw_of =
            hit != nullptr && hit->packable ? kNumericRows[static_cast<std::size_t>(hit->resolved_encoding)] : nullptr;
        if (remembered_raw_of != nullptr) {
            position = hit->has_offset ? hit->offset_bits : cursor;
            bits = hit->bits;
            const ByteOrder order = hit->order;
            const bool reverse_bits = hit->reverse_bits;
            // Looking the value up may run a key's __eq__, which may change the entry.
            const PyRef name = PyRef::borrow(hit->name);
            PyObject* borrowed = reader.find(name.get());
            if (borrowed == nullptr) {
                if (PyErr_Occurred() != nullptr) return capture_python_error();
                return missing_value(name.get());
            }
            const PyRef value = PyRef::borrow(borrowed);
            auto raw = remembered_raw_of(value.get(), bits);
            if (!raw) return std::move(raw).error();
            write_numeric(out, size, field_bytes(position, bits), order, *raw, bits, reverse_bits);
        } else {
            RecipeEntry entry;
            if (auto read = read_recipe_entry(item, entry); !read) return std::move(read).error();
            position = entry.has_offset ? entry.offset_bits : cursor;
            bits = entry.bits;

            PyObject* borrowed = reader.find(entry.name);
            if (borrowed == nullptr) {
                if (PyErr_Occurred() != nullptr) return capture_python_error();
                return missing_value(entry.name);
            }
            PyRef value = PyRef::borrow(borrowed);

            auto encoding = entry_encoding(entry, Direction::Pack);
            if (!encoding) return std::move(encoding).error();
            // Numeric fields: the raw value, written straight into the packet.
            if (const NumericPackFn raw_of = kNumericRows[static_cast<std::size_t>(*encoding)]) {
                auto raw = raw_of(value.get(), entry.bits);
                if (!raw) return std::move(raw).error();
                auto order = entry_byte_order(entry);
                if (!order) return std::move(order).error();
                write_numeric(out, size, field_bytes(position, entry.bits), *order, *raw, entry.bits,
                              entry.reverse_bits);
            } else if (auto written = pack_text_field(out, size, position, entry, value.get(), *encoding, scratch);
                       !written) {
                return std::move(written).error();
            }
        }
        if (__builtin_add_overflow(position, std::uint64_t{bits}, &cursor)) {
            unwrapped = true;
            PyErr_NoMemory();
            return capture_python_error();
        }
    }
    return result;
}

Expected<PyRef> pack_parameters(kind::ItemRefs recipe, PyObject* values) {
    bool unwrapped = false;
    auto result = pack_packet(recipe, values, unwrapped);
    if (!result && !unwrapped) return wrap_engine_failure(std::move(result).error());
    return result;
}

}  // namespace fieldloom::recipe
