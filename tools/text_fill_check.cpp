// Checks that every text codec's fill stays inside the output it is given
// and reports a planned size that does not match its input: each plan is
// filled into its own size (it must succeed), then into outputs a little
// too short and a little too long (each must end in Fill::miscount without
// touching a byte past the end). Built twice by tools/CMakeLists.txt: with
// the kernels the CPU allows, and with the SSE2 baseline forced. Exits
// non-zero on any failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/single_byte.hpp"
#include "codecs/utf16_32.hpp"
#include "codecs/utf8.hpp"

namespace {

using namespace fieldloom;

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 80;
constexpr std::size_t kShifts[] = {1, 2, 3, 4, 16, 17, 33};

int failures = 0;

void fail(const char* what, const char* codec, std::size_t length, long shift) {
    if (++failures <= 20) std::printf("FAIL %s: %s, %zu units, output size off by %ld\n", what, codec, length, shift);
}

// Runs `fill(out, end)` into `size` bytes followed by guard bytes.
template <class FillInto>
void check_fills(const char* codec, std::size_t length, std::size_t size, FillInto&& fill) {
    std::vector<std::uint8_t> buffer(size + 64 + kGuardBytes, kGuard);
    if (fill(buffer.data(), buffer.data() + size) != Fill::done) fail("planned size refused", codec, length, 0);
    for (long shift : kShifts) {
        for (long sign : {-1L, 1L}) {
            if (sign < 0 && static_cast<std::size_t>(shift) > size) continue;
            const std::size_t wrong = size + static_cast<std::size_t>(sign * shift);
            std::fill(buffer.begin(), buffer.end(), kGuard);
            if (fill(buffer.data(), buffer.data() + wrong) != Fill::miscount) fail("wrong size accepted", codec, length, sign * shift);
            for (std::size_t k = wrong; k < buffer.size(); ++k) {
                if (buffer[k] != kGuard) {
                    fail("wrote past the end", codec, length, sign * shift);
                    break;
                }
            }
        }
    }
}

// A str's storage: one unit of `width` bytes per code point.
struct Text {
    std::vector<std::uint8_t> units;
    TextView view;
};

Text make_text(const std::vector<std::uint32_t>& cps) {
    std::uint32_t max = 0;
    for (std::uint32_t cp : cps) max = std::max(max, cp);
    const unsigned width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
    Text t;
    t.units.resize(cps.size() * width + 1);
    for (std::size_t i = 0; i < cps.size(); ++i) std::memcpy(&t.units[i * width], &cps[i], width);
    t.view = TextView{t.units.data(), cps.size(), width, max < 0x80, width == 1, nullptr};
    return t;
}

void check_encoder(const char* codec, const BytesPlan& plan) {
    check_fills(codec, plan.text.length, plan.size,
                [&](std::uint8_t* out, std::uint8_t* end) { return plan.fill(plan, out, end); });
}

void check_encoder(const char* codec, const Expected<BytesPlan>& plan) {
    if (plan) check_encoder(codec, plan.value());
}

void check_decoder(const char* codec, const Expected<TextPlan>& result) {
    if (!result) {
        fail("decoding its own encoding failed", codec, 0, 0);
        return;
    }
    const TextPlan& plan = result.value();
    const unsigned width = plan.max_char < 0x100 ? 1 : plan.max_char < 0x10000 ? 2 : 4;
    check_fills(codec, plan.length, plan.length * width,
                [&](std::uint8_t* out, std::uint8_t* end) { return plan.fill(plan, out, end, width); });
}

// Encodes with `encode`, checks that fill, then decodes the bytes with `decode` and checks that one.
template <class Encode, class Decode>
void check_pair(const char* codec, const Text& t, Encode encode, Decode decode) {
    const BytesPlan plan = encode(t.view);
    check_encoder(codec, plan);
    std::vector<std::uint8_t> bytes(plan.size);
    if (plan.fill(plan, bytes.data(), bytes.data() + bytes.size()) != Fill::done) return;
    check_decoder(codec, decode(ByteSpan(bytes.data(), bytes.size())));
}

}  // namespace

// Only the interpreter boundary captures exceptions; the codecs never hold one.
void fieldloom::release_captured(CapturedException*) noexcept {}

int main() {
    const std::uint32_t fillers[] = {'a', 0xE9, 0x20AC, 0x1F600};
    const std::size_t lengths[] = {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 64, 65, 100, 1000};
    std::size_t checked = 0;
    for (std::uint32_t filler : fillers) {
        for (std::size_t n : lengths) {
            // All one character, ASCII runs broken by it, and it among
            // characters of every narrower encoded length.
            const std::uint32_t narrower[] = {'d', 0xE9, 0x20AC};
            for (int pattern = 0; pattern < 4; ++pattern) {
                std::vector<std::uint32_t> cps(n);
                for (std::size_t i = 0; i < n; ++i)
                    cps[i] = pattern == 0   ? filler
                             : pattern == 1 ? (i % 5 == 3 ? filler : 'b')
                             : pattern == 2 ? (i + 1 == n ? filler : 'c')
                                            : (i % 4 == 0 ? filler : std::min(filler, narrower[i % 3]));
                const Text t = make_text(cps);
                check_pair("utf8", t, encode_utf8, decode_utf8);
                check_pair("utf16le", t, encode_utf16le, decode_utf16le);
                check_pair("utf16be", t, encode_utf16be, decode_utf16be);
                check_pair("utf16", t, encode_utf16, decode_utf16);
                check_pair("utf32le", t, encode_utf32le, decode_utf32le);
                check_pair("utf32", t, encode_utf32, decode_utf32);
                check_encoder("us_ascii", encode_us_ascii(t.view));
                check_encoder("iso_8859_1", encode_iso_8859_1(t.view));
                check_encoder("windows_1252", encode_windows_1252(t.view));
                if (t.view.width == 1) {
                    const ByteSpan bytes(t.units.data(), n);
                    check_decoder("iso_8859_1", decode_iso_8859_1(bytes));
                    check_decoder("windows_1252", decode_windows_1252(bytes));
                    if (t.view.ascii) check_decoder("us_ascii", decode_us_ascii(bytes));
                }
                ++checked;
            }
        }
    }
    std::printf("%s kernels: %zu texts, %d failures\n", text_detail::kHaveAvx2 ? "AVX2" : "SSE2 baseline", checked, failures);
    return failures == 0 ? 0 : 1;
}
