// Conversion kinds: how one Python argument becomes a plain value. Each kind
// returns false with the interpreter's error indicator set on failure; the
// entry then applies the argument-name prefix. The recipe engine converts
// entry keys and values with the same kinds. The common cases are a few
// inlined tests (`FIELDLOOM_INLINE`); the rest is out of line.
#pragma once

#include "python/python.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "codecs/ieee754.hpp"
#include "codecs/text_plan.hpp"
#include "python/compat.hpp"
#include "python/errors.hpp"

#define FIELDLOOM_INLINE [[gnu::always_inline]] inline

namespace fieldloom::kind {

inline bool fail_with(CodecError error) {
    raise_codec_error(std::move(error));
    return false;
}

struct U64 {
    using type = std::uint64_t;
    // Converted without running Python code (no __index__).
    static bool direct(PyObject* object) { return PyLong_Check(object); }
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        long compact = 0;
        if (PyLong_Check(object) && compat::compact_int_value(object, compact) && compact >= 0) [[likely]] {
            out = static_cast<type>(compact);
            return true;
        }
        return convert_other(object, out);
    }
    // Wider ints and other objects; a failure takes the interpreter's 64-bit
    // conversion, for its exact message.
    static bool convert_other(PyObject* object, type& out);
};

struct U128 {
    using type = uint128;
    static bool convert(PyObject* object, type& out) {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return false;
        unsigned char bytes[16];
        const bool converted = compat::long_to_unsigned_le(index, bytes, sizeof bytes);
        Py_DECREF(index);
        if (!converted) return false;
        out = 0;
        for (int i = 15; i >= 0; --i) out = (out << 8) | bytes[i];
        return true;
    }
};

struct I64 {
    using type = std::int64_t;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        long compact = 0;
        if (PyLong_Check(object) && compat::compact_int_value(object, compact)) [[likely]] {
            out = compact;
            return true;
        }
        return convert_other(object, out);
    }
    static bool convert_other(PyObject* object, type& out);
};

struct U32 {
    using type = std::uint32_t;
    static bool direct(PyObject* object) { return U64::direct(object); }
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        long compact = 0;
        if (PyLong_Check(object) && compat::compact_int_value(object, compact) && compact >= 0 && compact <= UINT32_MAX)
            [[likely]] {
            out = static_cast<type>(compact);
            return true;
        }
        return convert_other(object, out);
    }
    static bool convert_other(PyObject* object, type& out);
};

// True and False; a NumPy boolean scalar by its truth value. Nothing else,
// not even the ints 0 and 1.
struct Flag {
    using type = bool;
    // Converted without running Python code (no __bool__).
    static bool direct(PyObject* object) { return Py_IS_TYPE(object, &PyBool_Type); }
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        if (Py_IS_TYPE(object, &PyBool_Type)) {
            out = object == Py_True;
            return true;
        }
        return convert_other(object, out);
    }
    static bool convert_other(PyObject* object, type& out);
};

struct Double {
    using type = double;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        if (PyFloat_CheckExact(object)) {
            out = PyFloat_AS_DOUBLE(object);
            return true;
        }
        out = PyFloat_AsDouble(object);
        return !(out == -1.0 && PyErr_Occurred() != nullptr);
    }
};

// A double rounded to nearest-even single precision; out-of-range magnitudes
// become infinities, NaN stays NaN with the top of its payload.
struct Single {
    using type = float;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        double wide = 0;
        if (!Double::convert(object, wide)) return false;
        out = round_to_single(wide);
        return true;
    }
};

// The bytes object's own buffer, borrowed for the call.
struct Bytes {
    using type = ByteSpan;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        if (!PyBytes_Check(object)) return fail_with(cast_error(object, "bytes"));
        out = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return true;
    }
};

// Whether a ready str holds a code point U+D800-U+DFFF.
bool holds_lone_surrogate(PyObject* text) noexcept;

// A str that can be written as UTF-8: a lone surrogate raises the
// interpreter's own UnicodeEncodeError.
bool check_encodable(PyObject* text);

inline PyObject* origin_of(const TextView& text) noexcept {
    return static_cast<PyObject*>(const_cast<void*>(text.origin));
}

inline bool holds_lone_surrogate(const TextView& text) noexcept {
    return !text.verified && holds_lone_surrogate(origin_of(text));
}

// The str's own storage, borrowed for the call. It is not searched for lone
// surrogates here: the encoders find them in passes they make anyway, and
// the boundary then raises the interpreter's error (see text_bridge.hpp).
struct Text {
    using type = TextView;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        if (!PyUnicode_Check(object)) return fail_with(cast_error(object, "str"));
        if (compat::ready_text(object) < 0) return false;
        const auto width = static_cast<unsigned>(PyUnicode_KIND(object));
        out = TextView{PyUnicode_DATA(object), static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)), width,
                       PyUnicode_IS_ASCII(object) != 0, width == PyUnicode_1BYTE_KIND, object};
        return true;
    }
};

// Strong references to the items of a sequence, in iteration order, so that
// nothing the caller's code does during the call can free an item we use.
// Recipes of up to kInline entries, the usual packet, need no allocation.
class ItemRefs {
public:
    ItemRefs() noexcept = default;
    ItemRefs(ItemRefs&& other) noexcept { take(other); }
    ItemRefs& operator=(ItemRefs&& other) noexcept {
        if (this != &other) {
            clear();
            take(other);
        }
        return *this;
    }
    ItemRefs(const ItemRefs&) = delete;
    ItemRefs& operator=(const ItemRefs&) = delete;
    ~ItemRefs() { clear(); }

    void reserve(std::size_t count) {
        if (count > capacity_) grow_to(count);
    }
    // Every item of a list's or tuple's storage, each with a new reference:
    // one copy, then the increfs, with nothing owned should the copy fail.
    void assign_borrowed(PyObject* const* items, std::size_t count) {
        clear();
        reserve(count);
        std::copy(items, items + count, data_);
        size_ = count;
        for (std::size_t i = 0; i < count; ++i) Py_INCREF(data_[i]);
    }
    void push_owned(PyObject* item) {
        if (size_ == capacity_) {
            try {
                grow_to(capacity_ * 2);
            } catch (...) {
                Py_DECREF(item);
                throw;
            }
        }
        data_[size_++] = item;
    }
    std::size_t size() const noexcept { return size_; }
    PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }
    PyObject* const* begin() const noexcept { return data_; }
    PyObject* const* end() const noexcept { return data_ + size_; }

private:
    static constexpr std::size_t kInline = 32;

    void clear() noexcept {
        for (std::size_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
        size_ = 0;
    }
    // The items kept, the storage larger; nothing changes if allocation throws.
    void grow_to(std::size_t capacity) {
        auto larger = std::make_unique_for_overwrite<PyObject*[]>(capacity);
        std::copy(data_, data_ + size_, larger.get());
        heap_ = std::move(larger);
        data_ = heap_.get();
        capacity_ = capacity;
    }
    // Moves the references out of `other`, which is left empty.
    void take(ItemRefs& other) noexcept {
        if (other.heap_) {
            heap_ = std::move(other.heap_);
            data_ = heap_.get();
            capacity_ = other.capacity_;
        } else {
            std::copy(other.data_, other.data_ + other.size_, inline_);
            data_ = inline_;
            capacity_ = kInline;
        }
        size_ = other.size_;
        other.data_ = other.inline_;
        other.capacity_ = kInline;
        other.size_ = 0;
    }

    PyObject* inline_[kInline];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

struct Sequence {
    using type = ItemRefs;
    static bool convert(PyObject* object, type& out);
};

// The dict itself, borrowed.
struct Mapping {
    using type = PyObject*;
    FIELDLOOM_INLINE static bool convert(PyObject* object, type& out) {
        if (!PyDict_Check(object)) return fail_with(cast_error(object, "dict"));
        out = object;
        return true;
    }
};

}  // namespace fieldloom::kind
