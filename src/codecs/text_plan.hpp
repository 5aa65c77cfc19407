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

// A decoded text that has been validated and measured but not yet written.
// `fill` writes exactly `length` code points into `out`, one unit of `width`
// bytes each, where width is the smallest of 1, 2, 4 that holds max_char.
struct TextPlan {
    std::size_t length = 0;
    std::uint32_t max_char = 0;
    const std::uint8_t* input = nullptr;
    std::size_t input_size = 0;
    std::uint32_t variant = 0;  // codec-private: byte order and the like
    void (*fill)(const TextPlan& plan, void* out, unsigned width) noexcept = nullptr;
};

// An encoded byte string that has been measured but not yet written. `fill`
// writes exactly `size` bytes into `out` and returns true, or returns false
// when it met a surrogate that the sizing did not look for; `out` then holds
// garbage and the caller discards it.
struct BytesPlan {
    std::size_t size = 0;
    TextView text;
    std::uint32_t variant = 0;  // codec-private
    bool (*fill)(const BytesPlan& plan, std::uint8_t* out) noexcept = nullptr;
};

}  // namespace fieldloom
