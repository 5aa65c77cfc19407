// Recipes as callers write them: a sequence of dict entries naming each
// field's encoding, width, byte order, bit reversal and optional offset.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <string_view>

#include "codecs/codec_error.hpp"
#include "recipe/placement.hpp"

namespace fieldloom::recipe {

// One member per accepted encoding name, in the order of the name table.
enum class Encoding : std::uint8_t {
    Unsigned,
    TwosComplement,
    OnesComplement,
    SignMagnitude,
    PackedBcd,
    PackedBcdSigned,
    UnpackedBcd,
    UnpackedBcdSigned,
    Ieee754F16,
    Ieee754F32,
    Ieee754F64,
    Ieee754F128,
    Ieee754_1985F32,
    Ieee754_1985F64,
    Ieee754_1985F80,
    MilStd1750aF32,
    MilStd1750aF48,
    TiF32,
    TiF40,
    DecF32,
    DecF64,
    IbmF32,
    IbmF64,
    Utf8,
    Utf16,
    Utf16Be,
    Utf16Le,
    Utf32,
    Utf32Be,
    Utf32Le,
    UsAscii,
    Iso8859_1,
    Latin1,
    Windows1252,
};

inline constexpr std::size_t kEncodingCount = 34;

enum class Direction : std::uint8_t { Unpack, Pack };

// What one entry says; `order` and `resolved_encoding` only once its texts
// are known to be valid. The entries read per call and the remembered ones
// both hold these.
struct EntryValues {
    PyObject* name = nullptr;  // always an exact str
    PyObject* encoding = nullptr;
    PyObject* byte_order = nullptr;
    std::uint32_t bits = 0;
    bool reverse_bits = false;
    bool has_offset = false;
    bool packable = false;  // resolved_encoding is accepted by packing
    ByteOrder order = ByteOrder::Big;
    Encoding resolved_encoding = Encoding::Unsigned;
    std::uint64_t offset_bits = 0;
};

// One entry as read from its dict. It owns a reference to each object it
// keeps, so caller code that changes the dict meanwhile cannot free them;
// a `name` of a str subclass is copied to an exact str.
struct RecipeEntry : EntryValues {
    // Cleared by the readers when reading took any path that may run Python
    // code (a key other than an exact str, whose __eq__ a lookup may call; a
    // number through __index__; a flag through __bool__), kept an object
    // that is not the dict's own (a copied name) or one whose freeing may run
    // Python code (any but an exact str, int or bool). Only a plain entry may be
    // remembered: skipping its reading later cannot be observed. A build
    // without the entry cache never reads an entry as plain.
    bool plain = true;
    // Set when the entry came from the cache of fully valid entries: its
    // byte order and encoding are already resolved.
    bool resolved = false;

    RecipeEntry() = default;
    RecipeEntry(const RecipeEntry&) = delete;
    RecipeEntry& operator=(const RecipeEntry&) = delete;
    ~RecipeEntry() {
        Py_XDECREF(name);
        Py_XDECREF(encoding);
        Py_XDECREF(byte_order);
    }
};

// The values of an entry remembered with the dict's current contents: valid,
// resolved, and read without running any Python code; nullptr for anything
// else (then read_recipe_entry reads it). Nothing is copied and no reference
// is taken: the objects are the dict's own, so use them only before any
// Python code can run and before the next entry is read.
const EntryValues* remembered_entry(PyObject* item) noexcept;

// Reads the six keys in their fixed order; the first fault is the result.
Expected<Unit> read_recipe_entry(PyObject* item, RecipeEntry& entry);

// Only `bits`, then `offset_bits`: what packing needs to size its output.
struct FieldExtent {
    std::uint32_t bits = 0;
    bool has_offset = false;
    std::uint64_t offset_bits = 0;
};
Expected<FieldExtent> read_field_extent(PyObject* item);

Expected<ByteOrder> parse_byte_order(PyObject* text);
Expected<Encoding> resolve_encoding(PyObject* text, Direction direction);

// The same two, answered from the entry itself when it was already resolved.
inline Expected<ByteOrder> entry_byte_order(const RecipeEntry& entry) {
    if (entry.resolved) return entry.order;
    return parse_byte_order(entry.byte_order);
}
inline Expected<Encoding> entry_encoding(const RecipeEntry& entry, Direction direction) {
    if (entry.resolved && (direction == Direction::Unpack || entry.packable)) return entry.resolved_encoding;
    return resolve_encoding(entry.encoding, direction);
}

// UTF-8 of a str already known to be encodable, for messages.
std::string_view utf8_of(PyObject* text);

}  // namespace fieldloom::recipe
