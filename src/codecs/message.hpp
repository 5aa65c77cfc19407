// Building failure messages: fixed texts with numbers inserted in plain
// decimal or upper-case hexadecimal. Only failure paths call these.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace fieldloom {

// A number written in upper-case hexadecimal, zero-filled to `digits`.
struct Hex {
    std::uint64_t value;
    int digits;
};

namespace message_detail {

inline void append(std::string& out, std::string_view text) { out += text; }

template <std::integral T>
void append(std::string& out, T number) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

inline void append(std::string& out, Hex hex) {
    char buffer[17];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, hex.value, 16);
    for (int pad = hex.digits - static_cast<int>(result.ptr - buffer); pad > 0; --pad) out += '0';
    for (char* c = buffer; c != result.ptr; ++c) out += (*c >= 'a' && *c <= 'f') ? static_cast<char>(*c - 'a' + 'A') : *c;
}

}  // namespace message_detail

// Kept out of line and cold so that the codecs' success paths stay small
// enough to be inlined into their callers.
template <class... Parts>
[[gnu::cold, gnu::noinline]] std::string build_message(const Parts&... parts) {
    std::string out;
    (message_detail::append(out, parts), ...);
    return out;
}

}  // namespace fieldloom
