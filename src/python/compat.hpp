// The one place that knows which interpreter version it is built for: what
// differs between the supported versions (3.11 to 3.13) and every use of the
// interpreter's private API, each where no public call does the same job.
#pragma once

#include "python/python.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "fieldloom is built and tested for CPython 3.11 to 3.13"
#endif
#ifdef Py_GIL_DISABLED
#error "fieldloom reads dicts in place and needs the interpreter lock"
#endif

// Whether entries are remembered by dict version tag (see dict_version_tag);
// a build may set it to 0 to measure without.
#ifndef FIELDLOOM_DICT_VERSION_TAGS
#define FIELDLOOM_DICT_VERSION_TAGS 1
#endif

namespace fieldloom::compat {

// The int as `size` little-endian unsigned bytes; false with OverflowError
// set when it is negative or does not fit. Private: before 3.13 no public
// call fills a buffer wider than 64 bits with these exact errors.
inline bool long_to_unsigned_le(PyObject* exact_int, unsigned char* bytes, std::size_t size) {
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(number, bytes, size, /*little_endian=*/1, /*is_signed=*/0, /*with_exceptions=*/1) == 0;
#else
    return _PyLong_AsByteArray(number, bytes, size, /*little_endian=*/1, /*is_signed=*/0) == 0;
#endif
}

// The value of an int of at most one digit, read in place: most arguments
// are such ints, and reading them needs no call into the interpreter. The
// int's layout is private before 3.12.
[[gnu::always_inline]] inline bool compact_int_value(PyObject* object, long& out) noexcept {
    PyLongObject* number = reinterpret_cast<PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = static_cast<long>(PyUnstable_Long_CompactValue(number));
#else
    const Py_ssize_t size = Py_SIZE(object);
    if (size < -1 || size > 1) return false;
    out = static_cast<long>(size) * static_cast<long>(number->ob_digit[0]);
#endif
    return true;
}

// The magnitude and sign of an int whose magnitude fits in 64 bits, read
// from its digits in place; false for a wider one. Private layout.
inline bool int_magnitude(PyObject* object, std::uint64_t& magnitude, bool& negative) noexcept {
    const auto* number = reinterpret_cast<const PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    const std::uintptr_t tag = number->long_value.lv_tag;
    const std::size_t count = tag >> _PyLong_NON_SIZE_BITS;
    negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit* digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(object);
    const std::size_t count = static_cast<std::size_t>(size < 0 ? -size : size);
    negative = size < 0;
    const digit* digits = number->ob_digit;
#endif
    if constexpr (PyLong_SHIFT == 30) {
        // The usual build: at most three digits, the top one holding 4 bits.
        switch (count) {
            case 0: magnitude = 0; return true;
            case 1: magnitude = digits[0]; return true;
            case 2: magnitude = std::uint64_t{digits[1]} << 30 | digits[0]; return true;
            case 3:
                if (digits[2] >> 4 != 0) return false;
                magnitude = std::uint64_t{digits[2]} << 60 | std::uint64_t{digits[1]} << 30 | digits[0];
                return true;
            default: return false;
        }
    }
    if (count > (64 + PyLong_SHIFT - 1) / PyLong_SHIFT) return false;
    __extension__ unsigned __int128 value = 0;
    for (std::size_t i = count; i-- > 0;) value = value << PyLong_SHIFT | digits[i];
    if ((value >> 64) != 0) return false;
    magnitude = static_cast<std::uint64_t>(value);
    return true;
}

// An empty dict with room for `count` items, so that filling it never
// resizes it; nullptr with an error set. Private on every supported version:
// the public PyDict_New starts at the smallest size.
inline PyObject* new_presized_dict(Py_ssize_t count) { return _PyDict_NewPresized(count); }

#if FIELDLOOM_DICT_VERSION_TAGS
// A value naming the dict's contents, or 0 for a dict whose contents must not
// be remembered. Every change made through the dict, and every new dict,
// takes the interpreter's next tag: 3.12 deprecated the field but still keeps
// it so for its dict watchers, whose bits below the counter only turn a hit
// into a miss. So an equal tag at the same address means the same contents,
// even after the dict was freed and another made there.
// A split table (an instance's __dict__) is never remembered: it shares its
// values with the instance, and 3.13 stores and deletes attributes there
// without a new tag. Once combined, a table never becomes split again.
// (Dict watchers would also do, but take one of eight slots per interpreter
// and a call back on every change to a remembered dict; a tag costs nothing.)
inline std::uint64_t dict_version_tag(PyObject* dict) noexcept {
    const auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values != nullptr) return 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return object->ma_version_tag;
#pragma GCC diagnostic pop
}
#endif

// A dict's keys table, private but the same in 3.11, 3.12 and 3.13.
namespace dict_layout {
struct Keys {  // _dictkeysobject of Include/internal/pycore_dict.h
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[8];  // 2^dk_log2_index_bytes bytes, then the entries
};
static_assert(offsetof(Keys, dk_indices) == 4 * sizeof(Py_ssize_t), "the layout on a 64-bit host");
constexpr std::uint8_t kGeneralKind = 0;  // DICT_KEYS_GENERAL: entries carry their hash
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
inline const Keys* keys_of(PyObject* dict) noexcept {
    return reinterpret_cast<const Keys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}
// The entries follow the hash index.
template <class Entry>
[[gnu::always_inline]] inline Entry* entries_of(const Keys* keys) noexcept {
    return reinterpret_cast<Entry*>(const_cast<char*>(keys->dk_indices) + (std::size_t{1} << keys->dk_log2_index_bytes));
}
template <class Entry>
[[gnu::always_inline]] inline bool next_entry(const Keys* keys, Py_ssize_t& position, PyObject*& key,
                                              PyObject*& value) noexcept {
    const Entry* entries = entries_of<Entry>(keys);
    Py_ssize_t at = position;
    const Py_ssize_t count = keys->dk_nentries;
    if (at < 0) return false;
    for (; at < count; ++at) {
        if (entries[at].value != nullptr) {  // deleted entries are holes
            key = entries[at].key;
            value = entries[at].value;
            position = at + 1;
            return true;
        }
    }
    return false;
}
}  // namespace dict_layout

// Whether every key of the dict is an exact str (its table's own record):
// then looking a str up in it runs no Python code.
inline bool str_keys_only(PyObject* dict) noexcept {
    return dict_layout::keys_of(dict)->dk_kind != dict_layout::kGeneralKind;
}

// PyDict_Next for a dict whose keys are all exact strs, with a combined table
// (every dict but an instance's shared-key __dict__) read in place; false for
// a dict holding any other key, as if at its end. Values are looked up once
// per field while packing, mostly by walking the dict in order, and the call
// costs more than the reading.
[[gnu::always_inline]] inline bool str_dict_next(PyObject* dict, Py_ssize_t& position, PyObject*& key,
                                                 PyObject*& value) noexcept {
    if (!str_keys_only(dict)) [[unlikely]] return false;
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr) [[likely]]
        return dict_layout::next_entry<dict_layout::UnicodeEntry>(dict_layout::keys_of(dict), position, key, value);
    return PyDict_Next(dict, &position, &key, &value) != 0;
}

// The value slots of a dict in insertion order, written in place. Only for
// a dict that no other code has seen yet, with values that the collector
// does not track (ints, floats, strs): a write bypasses the dict's own
// bookkeeping (tracking, version tag, watchers).
class DictValueSlots {
public:
    // A dict's slots when they are `count` str keys in one combined table
    // and none was removed; empty for any other layout.
    static DictValueSlots of(PyObject* dict, Py_ssize_t count) noexcept {
        const auto* object = reinterpret_cast<PyDictObject*>(dict);
        const dict_layout::Keys* keys = dict_layout::keys_of(dict);
        if (object->ma_values != nullptr || !str_keys_only(dict) || keys->dk_nentries != count ||
            object->ma_used != count) {
            return DictValueSlots(nullptr);
        }
        return DictValueSlots(dict_layout::entries_of<dict_layout::UnicodeEntry>(keys));
    }
    explicit operator bool() const noexcept { return entries_ != nullptr; }
    PyObject*& operator[](std::size_t index) const noexcept { return entries_[index].value; }

private:
    explicit DictValueSlots(dict_layout::UnicodeEntry* entries) noexcept : entries_(entries) {}
    dict_layout::UnicodeEntry* entries_;
};

// Strs are always ready from 3.12 on; before, a legacy str may still need
// its canonical storage made. -1 with an error set on failure.
inline int ready_text(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// Whether two exact strs are equal, compared in place: no Python code runs
// and nothing can fail. A legacy str not yet in canonical form (3.11) is
// never equal here; callers then take the interpreter's own comparison.
inline bool same_exact_text(PyObject* left, PyObject* right) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(left) || !PyUnicode_IS_READY(right)) return false;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    const int kind = PyUnicode_KIND(left);
    return length == PyUnicode_GET_LENGTH(right) && kind == static_cast<int>(PyUnicode_KIND(right)) &&
           std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right), static_cast<std::size_t>(length) * kind) == 0;
}

}  // namespace fieldloom::compat
