// A recipe read once: every entry checked, its byte order and encoding
// resolved and its position relative to the packet's start fixed, so that
// unpacking and packing run per field without reading any dict again.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "codecs/codec_error.hpp"
#include "engine/pack.hpp"
#include "engine/unpack.hpp"
#include "python/convert.hpp"
#include "recipe/placement.hpp"
#include "recipe/recipe.hpp"

namespace fieldloom::batch {

using recipe::ByteOrder;
using recipe::Encoding;

struct CompiledField {
    PyRef name;  // exact str
    PyRef encoding_text;  // as written, for messages and the recipe copy
    PyRef byte_order_text;
    std::uint32_t bits = 0;
    bool reverse_bits = false;
    bool has_offset = false;
    std::uint64_t offset_bits = 0;
    // Position with the packet's offset 0 (positions wrap modulo 2^64, so
    // any other offset is simply added).
    std::uint64_t position = 0;
    recipe::FieldBytes bytes{0, 0};  // at `position`
    ByteOrder order = ByteOrder::Big;
    Encoding encoding = Encoding::Unsigned;
    const recipe::UnpackRow* unpack = nullptr;
    recipe::PackFn pack = nullptr;  // nullptr: packing refuses the name
    recipe::NumericPackFn pack_numeric = nullptr;  // the numeric encoders' raw value
    int column = -1;  // index into the columns; -1 when a later field of the name wins
};

class CompiledLayout {
public:
    // The entries in order, or the first fault in the form unpack_parameters
    // reports it (already wrapped).
    static Expected<CompiledLayout> compile(const kind::ItemRefs& entries);

    const std::vector<CompiledField>& fields() const noexcept { return fields_; }
    // Distinct names in recipe order: the columns of a batch.
    const std::vector<PyObject*>& column_names() const noexcept { return column_names_; }
    // The length of every packet that pack produces.
    std::uint64_t packet_size() const noexcept { return packet_size_; }
    bool pack_impossible() const noexcept { return pack_impossible_; }

    // unpack_parameters(packet, offset_bits, recipe), not yet wrapped.
    Expected<PyRef> unpack(ByteSpan packet, std::uint64_t offset_bits) const;

    // pack_parameters(recipe, values) into `out` (packet_size() bytes, zeroed),
    // the value of field i given by value_of(i) as a new reference or nullptr
    // (absent, error indicator unset; or failure, set). Not yet wrapped.
    template <class ValueOf>
    Expected<Unit> pack_into(std::uint8_t* out, ValueOf&& value_of, std::vector<std::uint8_t>& scratch) const;

    // A new dict per entry with the six keys as read.
    PyRef recipe_copy() const;

private:
    std::vector<CompiledField> fields_;
    std::vector<PyObject*> column_names_;  // borrowed from fields_
    PyRef keys_;  // every column name, in order, with the value None
    std::uint64_t packet_size_ = 0;
    bool pack_impossible_ = false;
};

template <class ValueOf>
Expected<Unit> CompiledLayout::pack_into(std::uint8_t* out, ValueOf&& value_of,
                                         std::vector<std::uint8_t>& scratch) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const CompiledField& field = fields_[i];
        PyRef value(value_of(i));
        if (!value) {
            if (PyErr_Occurred() != nullptr) return capture_python_error();
            return recipe::missing_value(field.name.get());
        }
        if (field.pack == nullptr) {
            auto refused = recipe::resolve_encoding(field.encoding_text.get(), recipe::Direction::Pack);
            if (!refused) return std::move(refused).error();
            throw InternalFault("an encoding refused for packing was accepted");
        }
        if (field.pack_numeric != nullptr) {
            auto raw = field.pack_numeric(value.get(), field.bits);
            if (!raw) return std::move(raw).error();
            recipe::write_numeric(out, packet_size_, field.bytes, field.order, *raw, field.bits, field.reverse_bits);
            continue;
        }
        auto encoded = field.pack(value.get(), field.bits);
        if (!encoded) return std::move(encoded).error();
        auto written = recipe::write_encoded(out, packet_size_, field.position, field.bits, field.reverse_bits,
                                             field.order, *encoded, scratch);
        if (!written) return std::move(written).error();
    }
    return Unit{};
}

}  // namespace fieldloom::batch
