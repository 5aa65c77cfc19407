// Plain descriptions of text crossing the boundary. Decoders validate and
// measure first and write later, straight into storage that the boundary
// allocates at its final size and width, so no intermediate copy is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fieldloom {

using ByteSpan = std::span<const std::uint8_t>;

// Text borrowed from a str in its own storage: one code point per unit of
// `width` bytes (1, 2 or 4). Units of width 2 and 4 may hold a lone
// surrogate; rather than a separate pass over every text, the encoders
// notice one in a pass they make anyway (see BytesPlan::fill) and the
// boundary then raises the interpreter's own error.
struct TextView {
    const void* data = nullptr;
    std::size_t length = 0;  // code points
    unsigned width = 1;
    bool ascii = false;     // every unit is below 0x80
    bool verified = false;  // known to hold no surrogate (width 1)
    const void* origin = nullptr;  // the str itself; opaque to the codecs
};

// How a fill ended. Sizes come from a measuring pass, and a fill trusts
// them only as far as the end of its output: it never writes past `end`, and
// when the input does not fill the output exactly (the two passes disagree)
// it says so instead of leaving a short or overlong result.
enum class Fill : std::uint8_t {
    done,       // exactly the planned size was written
    surrogate,  // met a surrogate that the sizing did not look for
    miscount,   // the input did not fit the planned size
};

// A decoded text that has been validated and measured but not yet written.
// `fill` writes `length` code points into [out, end), one unit of `width`
// bytes each, where width is the smallest of 1, 2, 4 that holds max_char.
struct TextPlan {
    std::size_t length = 0;
    std::uint32_t max_char = 0;
    const std::uint8_t* input = nullptr;
    std::size_t input_size = 0;
    std::uint32_t variant = 0;  // codec-private: byte order and the like
    Fill (*fill)(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept = nullptr;
};

// An encoded byte string that has been measured but not yet written. `fill`
// writes `size` bytes into [out, end). On Fill::surrogate `out` holds
// garbage and the caller discards it.
struct BytesPlan {
    std::size_t size = 0;
    TextView text;
    std::uint32_t variant = 0;  // codec-private
    Fill (*fill)(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept = nullptr;
};

// For fills whose output size follows from the unit count alone: the
// planned output is exactly `size` bytes.
inline Fill sized(const std::uint8_t* out, const std::uint8_t* end, std::size_t size) noexcept {
    return static_cast<std::size_t>(end - out) == size ? Fill::done : Fill::miscount;
}

}  // namespace fieldloom
