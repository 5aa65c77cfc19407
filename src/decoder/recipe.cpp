#include "decoder/recipe.hpp"

#include <array>
#include <cstring>
#include <string>

#include "decoder/message.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace fieldloom::recipe {

namespace {

struct EncodingName {
    std::string_view name;
    Encoding encoding;
    bool packable;
};

// Every accepted name after lower-casing, and whether packing accepts it.
constexpr std::array<EncodingName, kEncodingCount> kEncodingNames{{
    {"unsigned", Encoding::Unsigned, true},
    {"twos_complement", Encoding::TwosComplement, true},
    {"ones_complement", Encoding::OnesComplement, true},
    {"sign_magnitude", Encoding::SignMagnitude, true},
    {"packed_bcd", Encoding::PackedBcd, true},
    {"packed_bcd_signed", Encoding::PackedBcdSigned, true},
    {"unpacked_bcd", Encoding::UnpackedBcd, true},
    {"unpacked_bcd_signed", Encoding::UnpackedBcdSigned, true},
    {"ieee754_f16", Encoding::Ieee754F16, true},
    {"ieee754_f32", Encoding::Ieee754F32, true},
    {"ieee754_f64", Encoding::Ieee754F64, true},
    {"ieee754_f128", Encoding::Ieee754F128, false},
    {"ieee754_1985_f32", Encoding::Ieee754_1985F32, false},
    {"ieee754_1985_f64", Encoding::Ieee754_1985F64, false},
    {"ieee754_1985_f80", Encoding::Ieee754_1985F80, false},
    {"mil_std_1750a_f32", Encoding::MilStd1750aF32, false},
    {"mil_std_1750a_f48", Encoding::MilStd1750aF48, false},
    {"ti_f32", Encoding::TiF32, false},
    {"ti_f40", Encoding::TiF40, false},
    {"dec_f32", Encoding::DecF32, false},
    {"dec_f64", Encoding::DecF64, false},
    {"ibm_f32", Encoding::IbmF32, false},
    {"ibm_f64", Encoding::IbmF64, false},
    {"utf8", Encoding::Utf8, true},
    {"utf16", Encoding::Utf16, true},
    {"utf16be", Encoding::Utf16Be, true},
    {"utf16le", Encoding::Utf16Le, true},
    {"utf32", Encoding::Utf32, true},
    {"utf32be", Encoding::Utf32Be, true},
    {"utf32le", Encoding::Utf32Le, true},
    {"us_ascii", Encoding::UsAscii, true},
    {"iso_8859_1", Encoding::Iso8859_1, true},
    {"latin1", Encoding::Latin1, true},
    {"windows_1252", Encoding::Windows1252, true},
}};

constexpr std::size_t kLongestName = [] {
    std::size_t longest = 0;
    for (const auto& entry : kEncodingNames) longest = entry.name.size() > longest ? entry.name.size() : longest;
    return longest;
}();

static_assert([] {
    for (std::size_t i = 0; i < kEncodingNames.size(); ++i) {
        if (static_cast<std::size_t>(kEncodingNames[i].encoding) != i) return false;
    }
    return true;
}(), "the name table follows the order of Encoding");

// Keys are interned once; a lookup with them hashes nothing.
enum Key { kName, kEncoding, kBits, kByteOrder, kReverseBits, kOffsetBits, kKeyCount };
constexpr std::array<const char*, kKeyCount> kKeyTexts{"name", "encoding", "bits", "byte_order", "reverse_bits",
                                                      "offset_bits"};

PyObject* key(Key which) {
    static std::array<PyObject*, kKeyCount> interned{};
    if (interned[which] == nullptr) {
        PyObject* text = PyUnicode_InternFromString(kKeyTexts[which]);
        if (text == nullptr) api_call_failed();
        interned[which] = text;
    }
    return interned[which];
}

CodecError missing_key(Key which) {
    return {ErrorKind::KeyError, build_message("Recipe missing required field: '", kKeyTexts[which], "'")};
}

// The value stored under `which` in the dict's own storage, as a new
// reference; nullptr when absent (error is then unset) or on failure.
PyObject* lookup(PyObject* dict, Key which) {
    PyObject* value = PyDict_GetItemWithError(dict, key(which));
    Py_XINCREF(value);
    return value;
}

Expected<PyObject*> required(PyObject* dict, Key which) {
    PyObject* value = lookup(dict, which);
    if (value != nullptr) return value;
    if (PyErr_Occurred() != nullptr) return capture_python_error();
    return missing_key(which);
}

// A str key that can become UTF-8 text; stored owned into `slot`.
Expected<Unit> read_text(PyObject* dict, Key which, PyObject*& slot) {
    auto value = required(dict, which);
    if (!value) return std::move(value).error();
    slot = *value;
    if (!PyUnicode_Check(slot)) return cast_error(slot, "str");
    if (!kind::check_encodable(slot)) return capture_python_error();
    return Unit{};
}

template <class Kind>
Expected<typename Kind::type> read_number(PyObject* value) {
    PyRef held(value);
    typename Kind::type out{};
    if (!Kind::convert(value, out)) return capture_python_error();
    return out;
}

Expected<Unit> read_bits(PyObject* dict, std::uint32_t& bits) {
    auto bits_object = required(dict, kBits);
    if (!bits_object) return std::move(bits_object).error();
    auto width = read_number<kind::U32>(*bits_object);
    if (!width) return std::move(width).error();
    bits = *width;
    return Unit{};
}

Expected<Unit> read_offset(PyObject* dict, bool& has_offset, std::uint64_t& offset_bits) {
    PyObject* value = lookup(dict, kOffsetBits);
    if (value == nullptr) {
        if (PyErr_Occurred() != nullptr) return capture_python_error();
        has_offset = false;
        return Unit{};
    }
    auto offset = read_number<kind::U64>(value);
    if (!offset) return std::move(offset).error();
    has_offset = true;
    offset_bits = *offset;
    return Unit{};
}

// Lower-cases with str.lower's full mapping, then finds the accepted name.
// ASCII text, the usual case, is folded on the stack without allocating.
template <class Match>
auto match_lowered(PyObject* text, Match&& match) -> decltype(match(std::string_view{})) {
    if (PyUnicode_IS_ASCII(text)) {
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        if (length > kLongestName) return match(std::string_view{});
        char folded[kLongestName];
        const auto* data = static_cast<const char*>(PyUnicode_DATA(text));
        for (std::size_t i = 0; i < length; ++i) {
            const char c = data[i];
            folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        return match(std::string_view(folded, length));
    }
    static PyObject* str_lower = nullptr;
    if (str_lower == nullptr) {
        str_lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
        if (str_lower == nullptr) api_call_failed();
    }
    PyRef lowered(PyObject_CallOneArg(str_lower, text));
    if (!lowered) api_call_failed();
    // Only a lower-cased form that is pure ASCII can equal an accepted name.
    if (!PyUnicode_IS_ASCII(lowered.get())) return match(std::string_view{});
    return match(std::string_view(static_cast<const char*>(PyUnicode_DATA(lowered.get())),
                                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered.get()))));
}

}  // namespace

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) api_call_failed();
    return {utf8, static_cast<std::size_t>(size)};
}

Expected<Unit> read_recipe_entry(PyObject* item, RecipeEntry& entry) {
    if (!PyDict_Check(item)) return cast_error(item, "dict");
    PyObject* name = nullptr;
    auto name_read = read_text(item, kName, name);
    if (!name_read) {
        Py_XDECREF(name);
        return name_read;
    }
    // Result keys and value lookups use an exact str, never a subclass's
    // own hashing or comparison.
    if (PyUnicode_CheckExact(name)) {
        entry.name = name;
    } else {
        entry.name = PyUnicode_FromObject(name);
        Py_DECREF(name);
        if (entry.name == nullptr) api_call_failed();
    }
    if (auto read = read_text(item, kEncoding, entry.encoding); !read) return read;
    if (auto read = read_bits(item, entry.bits); !read) return read;
    if (auto read = read_text(item, kByteOrder, entry.byte_order); !read) return read;
    auto reverse = required(item, kReverseBits);
    if (!reverse) return std::move(reverse).error();
    auto flag = read_number<kind::Flag>(*reverse);
    if (!flag) return std::move(flag).error();
    entry.reverse_bits = *flag;
    return read_offset(item, entry.has_offset, entry.offset_bits);
}

Expected<FieldExtent> read_field_extent(PyObject* item) {
    if (!PyDict_Check(item)) return cast_error(item, "dict");
    FieldExtent extent;
    if (auto read = read_bits(item, extent.bits); !read) {
        return std::move(read).error();
    }
    if (auto read = read_offset(item, extent.has_offset, extent.offset_bits); !read) return std::move(read).error();
    return extent;
}

Expected<ByteOrder> parse_byte_order(PyObject* text) {
    const int order = match_lowered(text, [](std::string_view lowered) {
        return lowered == "big" ? 0 : lowered == "little" ? 1 : -1;
    });
    if (order == 0) return ByteOrder::Big;
    if (order == 1) return ByteOrder::Little;
    return value_error(build_message("Invalid byte_order '", utf8_of(text), "': must be 'big' or 'little'"));
}

Expected<Encoding> resolve_encoding(PyObject* text, Direction direction) {
    const EncodingName* found = match_lowered(text, [](std::string_view lowered) -> const EncodingName* {
        for (const auto& candidate : kEncodingNames) {
            if (candidate.name.size() == lowered.size() &&
                std::memcmp(candidate.name.data(), lowered.data(), lowered.size()) == 0) {
                return &candidate;
            }
        }
        return nullptr;
    });
    if (found != nullptr && (direction == Direction::Unpack || found->packable)) return found->encoding;
    return value_error(build_message("Unsupported encoding type: ", utf8_of(text)));
}

}  // namespace fieldloom::recipe
