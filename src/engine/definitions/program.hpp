// Packet definitions compiled once into a program per packet type: a slot
// per entry of its chain (where it lies, how big it is, how its bits become
// a column) and a small code array of conditions that picks its packets.
// The Python layer resolves the definitions and hands over a compact plan;
// everything here runs on plain values.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "engine/batch_decode.hpp"
#include "engine/unpack.hpp"
#include "codecs/ieee754.hpp"
#include "recipe/placement.hpp"
#include "recipe/recipe.hpp"

namespace fieldloom::defs {

using recipe::ByteOrder;
using recipe::Encoding;
__extension__ typedef __int128 int128;

enum class SlotKind : std::uint8_t { Scalar, FixedArray, DynamicArray, Text, Binary };
// Delimited: text that ends after its terminator or its size tag's content.
// Conditional: a fixed size, where the slot's condition holds.
enum class SizeMode : std::uint8_t { Fixed, FromField, ToEnd, Delimited, Conditional };

// Why a packet is refused; the order of the texts in kReasons.
enum class Reason : std::uint8_t { None, NoType, TooShort, BadSize, BadValue, CutOff };
inline constexpr const char* kReasons[] = {"", "no packet type", "too short", "bad size", "bad value", "cut off"};

struct Node;

struct Slot {
    PyRef name;
    SlotKind kind = SlotKind::Scalar;
    Encoding encoding = Encoding::Unsigned;  // numeric and text
    ByteOrder order = ByteOrder::Big;
    std::uint32_t bits = 0;    // element bits of a numeric entry; fixed bits of text and binary
    std::uint64_t count = 1;   // fixed arrays
    std::uint32_t anchor = 0;  // 0: the packet's start; k: mark k
    std::uint64_t delta = 0;   // bits from the anchor
    SizeMode size = SizeMode::Fixed;
    std::uint32_t source = 0;  // FromField: the slot whose value gives the size or count
    std::int64_t slope = 1;
    std::int64_t intercept = 0;
    std::uint32_t unit = 1;    // bits per unit of a size from a field
    std::uint32_t mark = 0;    // the mark this slot's end defines (variable slots)
    std::uint32_t leading = 0;  // text: bits of its leading size tag (0: none)
    std::uint8_t terminator[4] = {};  // text: the code unit that ends its content
    std::uint8_t terminator_bytes = 0;  // 0: none
    // Present only where these conditions hold (empty: always); absent, the
    // slot ends at the previous slot's end: `cursor_delta` bits from its anchor.
    std::vector<Node> condition;
    // A contextual calibration: each case's conditions, in the order tried.
    bool contextual = false;
    std::vector<std::vector<Node>> cases;
    std::uint32_t cursor_anchor = 0;
    std::uint64_t cursor_delta = 0;
    const recipe::UnpackRow* unpack = nullptr;  // numeric and text
    batch::Column column = batch::Column::Object;
    batch::Convert convert = nullptr;  // numeric: raw values to the column's type
    batch::Convert check = nullptr;    // numeric: only whether raw values decode
    // numeric: read and convert in one loop, where every packet holds the slot
    void (*fused)(const std::uint8_t*, const std::int64_t*, std::size_t, std::uint64_t, std::uint32_t, void*,
                  std::uint64_t, std::uint8_t*) noexcept = nullptr;

    bool numeric() const noexcept { return kind <= SlotKind::DynamicArray; }
    bool quad() const noexcept { return encoding == Encoding::Ieee754F128; }
    // Fixed bits of the whole entry, for fixed-size slots.
    std::uint64_t fixed_bits() const noexcept { return numeric() ? bits * count : bits; }
};

enum class NodeKind : std::uint8_t { Compare, All, Any };
enum class Op : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };
// What a comparison reads of its field's value first.
enum class Transform : std::uint8_t { None, Truth, InSet, NotInSet, Polynomial, Spline };

// A number as a comparison sees it: an exact integer or a double.
struct Number {
    bool is_float = false;
    int128 integer = 0;
    double real = 0.0;
};

// Conditions in preorder; `size` nodes make up a node's subtree.
struct Node {
    NodeKind kind = NodeKind::Compare;
    std::uint32_t size = 1;
    std::uint32_t slot = 0;
    Op op = Op::Eq;
    Transform transform = Transform::None;
    Number value;
    std::vector<int128> codes;  // InSet, NotInSet: sorted
    std::vector<double> xs;     // Polynomial: the coefficients; Spline: the points
    std::vector<double> ys;
    int order = 1;
    bool extrapolate = false;
    // An unsigned field at a fixed place against an int: its raw value is the
    // value, compared at once (the usual APID test).
    bool direct = false;
};

struct TypeProgram {
    PyRef name;
    std::vector<Slot> slots;
    std::vector<Node> conditions;  // empty: every packet
    std::uint32_t marks = 0;
    std::vector<std::uint32_t> variable;  // the slots that define marks, in order
    // Per anchor, the furthest end (bits from it) of its fixed-size slots: a
    // packet's entries end at the furthest of mark + reach.
    std::vector<std::uint64_t> reach;
    // Its one condition is the dispatch's test of the key: a packet led to it holds it.
    bool key_only = false;
};

// Packets are first sorted by one field that most types test for equality
// (the APID, typically): each value of it leads to the few types that may
// take the packet, in the order they are tried.
struct Dispatch {
    bool used = false;
    std::uint64_t delta = 0;  // the key field, at a fixed place
    std::uint32_t bits = 0;
    ByteOrder order = ByteOrder::Big;
    std::vector<std::uint32_t> table;  // key fields of up to 16 bits: value -> list
    std::vector<std::pair<std::uint64_t, std::uint32_t>> sorted;  // wider ones: (value, list)
    std::vector<std::vector<std::uint32_t>> lists;  // lists[0]: types that test no value of the key
    // Key fields of up to 16 bits: value -> the type, where the first type
    // tried is taken on the key alone (kNoType: none may take it), else kEvaluate.
    std::vector<std::uint16_t> direct;
};

inline constexpr std::uint16_t kNoType = 0xFFFF;
inline constexpr std::uint16_t kEvaluate = 0xFFFE;  // types stop below: build refuses 65534 or more

struct Program {
    std::vector<TypeProgram> types;     // the concrete types, as given
    std::vector<std::uint32_t> order;   // the order packets are tried on them
    Dispatch dispatch;
    // Build from the plan; ValueError or TypeError set and false on a malformed one.
    bool build(PyObject* plan);
};

// One packet: its bytes, and how many bytes may be loaded from its start
// (to the end of the recording, for the one-load bit rule).
// No member initialisers: a chunk's array of them is not zeroed on every call.
struct PacketBytes {
    const std::uint8_t* data;
    std::uint64_t length;
    std::uint64_t readable;
};

// Where each mark of one packet lies, found one variable slot at a time.
struct Marks {
    std::uint64_t at[64];  // mark k at at[k]; at[0] = 0
    std::uint32_t known = 0;  // marks [0, known] are found
    std::uint64_t absent = 0;  // bit k: the slot of mark k is absent from the packet
    bool has(const Slot& slot) const noexcept { return slot.condition.empty() || !(absent >> slot.mark & 1); }
};
inline constexpr std::uint32_t kMaxMarks = 63;

// Why finding a slot's place or a mark failed: the slot and reason.
struct Fault {
    Reason reason = Reason::None;
    std::uint32_t slot = 0;
    int128 value = 0;  // BadSize: the size (in its unit) or count the field gave
    bool tag = false;  // the size came from a text's own size tag
    bool counted = false;  // whether `value` is that of `slot`: an entry found past the packet never gets one
};

// Where a text slot's content lies among its bytes data[0, length): after
// its size tag, or before its first terminator (`ended`: one was found), or
// all of them.
struct Content {
    std::uint64_t first = 0;
    std::uint64_t bytes = 0;
    bool ended = false;
};
// False (TooShort, BadSize: fault.tag set) when a size tag gives content
// that is not whole bytes or runs past `length`.
bool text_content(const Slot& slot, const std::uint8_t* data, std::uint64_t length, Content& out,
                  Fault& fault) noexcept;

// The first bit of slot s, with marks found up to its anchor.
bool find_marks(const TypeProgram& type, const PacketBytes& packet, std::uint32_t upto, Marks& marks,
                Fault& fault) noexcept;

// The decoded value of a scalar slot as a number; false when it does not
// lie within the packet (Reason TooShort) or does not decode (BadValue).
bool slot_number(const TypeProgram& type, std::uint32_t slot, const PacketBytes& packet, Marks& marks,
                 Number& out, Fault& fault) noexcept;

// The raw value of numeric slot s (element k of an array) at `start` bits.
inline std::uint64_t slot_raw(const Slot& slot, const PacketBytes& packet, std::uint64_t start) noexcept {
    return recipe::read_bits(packet.data, start, slot.bits, slot.order, packet.readable - start / 8);
}

// The value of an ieee754_f128 slot at `start` bits: its 128 bits read as
// two halves by the bit rule (little-endian: the 16 bytes swapped), then
// the quad rule. The caller checks that the 128 bits lie within the packet.
inline double slot_quad(const Slot& slot, const PacketBytes& packet, std::uint64_t start) noexcept {
    const uint128 high = recipe::read_bits(packet.data, start, 64, ByteOrder::Big, packet.readable - start / 8);
    const uint128 low = recipe::read_bits(packet.data, start + 64, 64, ByteOrder::Big,
                                          packet.readable - (start + 64) / 8);
    const uint128 raw = slot.order == ByteOrder::Big
                            ? high << 64 | low
                            : uint128{__builtin_bswap64(static_cast<std::uint64_t>(low))} << 64 |
                                  __builtin_bswap64(static_cast<std::uint64_t>(high));
    return decode_ieee754_f128(raw);
}

// Where slot s lies: its first bit and its size in bits, marks found as
// needed; false (TooShort, BadSize, BadValue) when it does not lie within.
bool slot_extent(const TypeProgram& type, std::uint32_t slot, const PacketBytes& packet, Marks& marks,
                 std::uint64_t& start, std::uint64_t& bits, Fault& fault) noexcept;

// Whether the conditions hold in the packet: the one evaluator of types,
// entries present under a condition and calibration cases.
bool conditions_hold(const TypeProgram& type, const std::vector<Node>& tree, const PacketBytes& packet,
                     Marks& marks) noexcept;

// The dispatch of a program whose types are read: the direct table and
// the candidate lists, from each type's test of a key field.
void build_dispatch(Program& program);

// The index of the type of the packet in `program.types`, or -1.
std::int64_t identify(const Program& program, const PacketBytes& packet) noexcept;

// The same as a type number or kNoType. Out of line and given no object of
// the caller's, so a scan's loop keeps its values in registers.
[[gnu::noinline]] std::uint16_t type_number(const Program& program, const std::uint8_t* data, std::uint64_t length,
                                            std::uint64_t readable) noexcept;

// The same, at once where the dispatch's direct table settles it from two
// bytes most significant first (the usual APID dispatch: one load and one
// lookup). The table's place is copied in, so a loop keeps it in registers.
class TypeFinder {
public:
    explicit TypeFinder(const Program& program) noexcept : program_(&program) {
        const Dispatch& dispatch = program.dispatch;
        if (dispatch.direct.empty() || dispatch.order != ByteOrder::Big || dispatch.delta % 8 + dispatch.bits > 16) return;
        direct_ = dispatch.direct.data();
        first_ = dispatch.delta / 8;
        shift_ = static_cast<unsigned>(16 - dispatch.delta % 8 - dispatch.bits);
        mask_ = static_cast<std::uint32_t>((std::uint64_t{1} << dispatch.bits) - 1);
        // From this length on, the two bytes lie within the packet (and are
        // readable: a packet's bytes all are).
        quick_ = first_ + 2;
    }

    // With `Leading`, the dispatch field ends a 16-bit word at the packet's
    // start (the APID, or the whole first word), as `leading()` says: fewer
    // values to hold in registers.
    template <bool Leading = false>
    std::uint16_t operator()(const PacketBytes& packet) const noexcept {
        if (packet.length >= (Leading ? 2 : quick_)) [[likely]] {
            const std::uint16_t type =
                Leading ? direct_[recipe::raw_value_n<2>(packet.data, ByteOrder::Big) & mask_]
                        : direct_[(recipe::raw_value_n<2>(packet.data + first_, ByteOrder::Big) >> shift_) & mask_];
            if (type != kEvaluate) [[likely]] return type;
        }
        return type_number(*program_, packet.data, packet.length, packet.readable);
    }

    bool leading() const noexcept { return direct_ != nullptr && first_ == 0 && shift_ == 0; }

private:
    const Program* program_;
    const std::uint16_t* direct_ = nullptr;
    std::uint64_t first_ = 0;
    unsigned shift_ = 0;
    std::uint32_t mask_ = 0;
    std::uint64_t quick_ = ~std::uint64_t{0};  // never: every packet goes the long way
};

// The end in bits of the packet's entries, with every mark found.
std::uint64_t entries_end(const TypeProgram& type, const Marks& marks) noexcept;

}  // namespace fieldloom::defs
