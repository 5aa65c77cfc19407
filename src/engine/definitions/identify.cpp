// Conditions on a packet's fields, the dispatch that finds most packets'
// types from one field, and finding a packet's type.
#include "engine/definitions/program.hpp"

#include <algorithm>
#include <cmath>

#include "codecs/calibration.hpp"

namespace fieldloom::defs {

namespace {

// -- comparisons -------------------------------------------------------------------------------------------------

constexpr int kUnordered = 2;

// Python's exact comparison of an int with a float: -1, 0, 1, or unordered.
int compare_mixed(int128 i, double d) noexcept {
    if (std::isnan(d)) return kUnordered;
    constexpr double kFar = 1.2676506002282294e30;  // 2^100, beyond every clamped constant
    if (d >= kFar) return -1;
    if (d <= -kFar) return 1;
    const double floor = std::floor(d);
    const auto whole = static_cast<int128>(floor);
    if (i < whole) return -1;
    if (i > whole) return 1;
    return d == floor ? 0 : -1;
}

int three_way(const Number& a, const Number& b) noexcept {
    if (!a.is_float && !b.is_float) return a.integer < b.integer ? -1 : a.integer > b.integer ? 1 : 0;
    if (a.is_float && b.is_float) {
        if (std::isnan(a.real) || std::isnan(b.real)) return kUnordered;
        return a.real < b.real ? -1 : a.real > b.real ? 1 : 0;
    }
    if (!a.is_float) return compare_mixed(a.integer, b.real);
    const int flipped = compare_mixed(b.integer, a.real);
    return flipped == kUnordered ? kUnordered : -flipped;
}

bool holds(Op op, int order) noexcept {
    if (order == kUnordered) return op == Op::Ne;
    switch (op) {
        case Op::Eq: return order == 0;
        case Op::Ne: return order != 0;
        case Op::Lt: return order < 0;
        case Op::Le: return order <= 0;
        case Op::Gt: return order > 0;
        default: return order >= 0;
    }
}

double as_double(const Number& n) noexcept { return n.is_float ? n.real : static_cast<double>(n.integer); }

bool compare(const TypeProgram& type, const Node& node, const PacketBytes& packet, Marks& marks) noexcept {
    if (node.direct) {
        const Slot& slot = type.slots[node.slot];
        const std::uint64_t total = packet.length * 8;
        if (slot.delta > total || slot.bits > total - slot.delta) return false;
        const int128 raw = slot_raw(slot, packet, slot.delta);
        return holds(node.op, raw < node.value.integer ? -1 : raw > node.value.integer ? 1 : 0);
    }
    Number value;
    Fault fault;
    if (!slot_number(type, node.slot, packet, marks, value, fault)) return false;  // it does not hold
    switch (node.transform) {
        case Transform::Truth:
            value = Number{false, value.is_float ? int128{value.real != 0.0} : int128{value.integer != 0}, 0.0};
            break;
        case Transform::InSet:
        case Transform::NotInSet: {
            const bool found = std::binary_search(node.codes.begin(), node.codes.end(), value.integer);
            value = Number{false, int128{found == (node.transform == Transform::InSet)}, 0.0};
            break;
        }
        case Transform::Polynomial:
            value = Number{true, 0, calibration::polynomial(node.xs.data(), node.xs.size(), as_double(value))};
            break;
        case Transform::Spline: {
            double out = 0.0;
            if (!calibration::spline(node.xs.data(), node.ys.data(), node.xs.size(), node.order, node.extrapolate,
                                     as_double(value), out)) {
                return false;
            }
            value = Number{true, 0, out};
            break;
        }
        default:
            break;
    }
    return holds(node.op, three_way(value, node.value));
}

bool evaluate(const TypeProgram& type, const std::vector<Node>& tree, std::size_t at, const PacketBytes& packet,
              Marks& marks) noexcept {
    const Node& node = tree[at];
    if (node.kind == NodeKind::Compare) return compare(type, node, packet, marks);
    const bool all = node.kind == NodeKind::All;
    for (std::size_t child = at + 1; child < at + node.size; child += tree[child].size) {
        if (evaluate(type, tree, child, packet, marks) != all) return !all;
    }
    return all;
}

// The equality test on an unsigned field at a fixed place among the
// conditions that all must hold, if there is one.
const Node* key_test(const TypeProgram& type) noexcept {
    if (type.conditions.empty() || type.conditions[0].kind != NodeKind::All) return nullptr;
    const std::size_t end = type.conditions[0].size;
    for (std::size_t child = 1; child < end; child += type.conditions[child].size) {
        const Node& node = type.conditions[child];
        if (node.kind == NodeKind::Compare && node.direct && node.op == Op::Eq) return &node;
    }
    return nullptr;
}

// The types that may take the packet, in the order they are tried.
const std::vector<std::uint32_t>& candidates(const Program& program, const PacketBytes& packet) noexcept {
    const Dispatch& dispatch = program.dispatch;
    const std::uint64_t total = packet.length * 8;
    if (dispatch.delta > total || dispatch.bits > total - dispatch.delta) return dispatch.lists[0];
    const std::uint64_t value = recipe::read_bits(packet.data, dispatch.delta, dispatch.bits, dispatch.order,
                                                  packet.readable - dispatch.delta / 8);
    if (!dispatch.table.empty()) return dispatch.lists[dispatch.table[value]];
    const auto found = std::lower_bound(dispatch.sorted.begin(), dispatch.sorted.end(),
                                        std::pair<std::uint64_t, std::uint32_t>{value, 0});
    return found != dispatch.sorted.end() && found->first == value ? dispatch.lists[found->second]
                                                                     : dispatch.lists[0];
}

}  // namespace

void build_dispatch(Program& program) {
    // The key: the field tested by the first type that has such a test.
    const Slot* key = nullptr;
    for (const std::uint32_t t : program.order) {
        if (const Node* node = key_test(program.types[t])) {
            key = &program.types[t].slots[node->slot];
            break;
        }
    }
    if (key == nullptr) return;
    Dispatch& dispatch = program.dispatch;
    dispatch.delta = key->delta;
    dispatch.bits = key->bits;
    dispatch.order = key->order;
    // Per value, the types that test for it; types testing no value of the key go everywhere.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> tests;
    std::vector<std::uint32_t> open;
    for (std::size_t rank = 0; rank < program.order.size(); ++rank) {
        TypeProgram& type = program.types[program.order[rank]];
        const Node* node = key_test(type);
        const bool keyed = node != nullptr && type.slots[node->slot].delta == key->delta &&
                           type.slots[node->slot].bits == key->bits && type.slots[node->slot].order == key->order;
        type.key_only = keyed && type.conditions.size() == 2;
        if (!keyed) {
            open.push_back(static_cast<std::uint32_t>(rank));
        } else if (node->value.integer >= 0 && node->value.integer <= int128{UINT64_MAX}) {
            tests.emplace_back(static_cast<std::uint64_t>(node->value.integer), static_cast<std::uint32_t>(rank));
        }  // a value the field cannot hold: the type takes no packet
    }
    std::sort(tests.begin(), tests.end());
    auto ranks_to_types = [&](std::vector<std::uint32_t> ranks) {
        std::sort(ranks.begin(), ranks.end());
        for (std::uint32_t& rank : ranks) rank = program.order[rank];
        return ranks;
    };
    dispatch.lists.push_back(ranks_to_types(open));
    for (std::size_t i = 0; i < tests.size();) {
        std::vector<std::uint32_t> ranks = open;
        std::size_t j = i;
        for (; j < tests.size() && tests[j].first == tests[i].first; ++j) ranks.push_back(tests[j].second);
        dispatch.sorted.emplace_back(tests[i].first, static_cast<std::uint32_t>(dispatch.lists.size()));
        dispatch.lists.push_back(ranks_to_types(std::move(ranks)));
        i = j;
    }
    if (dispatch.bits <= 16) {
        dispatch.table.assign(std::size_t{1} << dispatch.bits, 0);
        for (const auto& [value, list] : dispatch.sorted) {
            if (value < dispatch.table.size()) dispatch.table[value] = list;
        }
        dispatch.direct.resize(dispatch.table.size());
        for (std::size_t value = 0; value < dispatch.table.size(); ++value) {
            const std::vector<std::uint32_t>& list = dispatch.lists[dispatch.table[value]];
            dispatch.direct[value] = list.empty()                         ? kNoType
                                     : program.types[list[0]].key_only || program.types[list[0]].conditions.empty()
                                         ? static_cast<std::uint16_t>(list[0])
                                                                        : kEvaluate;
        }
    }
    dispatch.used = true;
}

bool conditions_hold(const TypeProgram& type, const std::vector<Node>& tree, const PacketBytes& packet,
                     Marks& marks) noexcept {
    return tree.empty() || evaluate(type, tree, 0, packet, marks);
}

std::int64_t identify(const Program& program, const PacketBytes& packet) noexcept {
    for (const std::uint32_t t : program.dispatch.used ? candidates(program, packet) : program.order) {
        const TypeProgram& type = program.types[t];
        Marks marks;
        marks.at[0] = 0;
        if (type.key_only || type.conditions.empty() || evaluate(type, type.conditions, 0, packet, marks)) return t;
    }
    return -1;
}

std::uint16_t type_number(const Program& program, const std::uint8_t* data, std::uint64_t length,
                          std::uint64_t readable) noexcept {
    const Dispatch& dispatch = program.dispatch;
    const PacketBytes packet{data, length, readable};
    const std::uint64_t total = length * 8;
    if (!dispatch.direct.empty() && dispatch.delta <= total && dispatch.bits <= total - dispatch.delta) {
        const std::uint64_t raw =
            recipe::read_bits(data, dispatch.delta, dispatch.bits, dispatch.order, readable - dispatch.delta / 8);
        const std::uint16_t type = dispatch.direct[raw];
        if (type != kEvaluate) return type;
    }
    const std::int64_t type = identify(program, packet);
    return type < 0 ? kNoType : static_cast<std::uint16_t>(type);
}

}  // namespace fieldloom::defs
