#include "engine/unpack.hpp"

#include <array>
#include <bit>
#include <optional>
#include <vector>

#include "codecs/bcd.hpp"
#include "codecs/ieee754.hpp"
#include "codecs/message.hpp"
#include "recipe/recipe.hpp"
#include "codecs/signed_int.hpp"
#include "codecs/single_byte.hpp"
#include "codecs/utf16_32.hpp"
#include "codecs/utf8.hpp"
#include "python/compat.hpp"
#include "python/errors.hpp"
#include "python/lifetime.hpp"
#include "python/text_bridge.hpp"

namespace fieldloom::recipe {

namespace {

PyRef made(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return PyRef(object);
}

template <class T>
Expected<PyRef> value_of(Expected<T> result) {
    if (!result) return std::move(result).error();
    if constexpr (std::is_same_v<T, TextPlan>) {
        return made(text_plan_to_str(*result));
    } else {
        return made(PyLong_FromLongLong(*result));
    }
}

// The rules that cannot fail: a new value straight from the raw value.
PyObject* plain_unsigned(std::uint64_t raw, std::uint32_t) { return PyLong_FromUnsignedLongLong(raw); }

template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t) noexcept>
PyObject* plain_signed(std::uint64_t raw, std::uint32_t bits) {
    return PyLong_FromLongLong(Decode(raw, bits));
}

template <auto Decode>
PyObject* plain_float(std::uint64_t raw, std::uint32_t) {
    return PyFloat_FromDouble(static_cast<double>(Decode(raw)));
}

template <PlainFn Plain>
Expected<PyRef> unpack_plain(const FieldInput& in) {
    return made(Plain(in.raw, in.bits));
}

template <Expected<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool), bool Signed>
Expected<PyRef> unpack_bcd(const FieldInput& in) {
    return value_of(Decode(in.raw, in.bits, Signed));
}

// The quad-precision field is not decoded here: a field of up to 64 bits
// gives 0.0, a wider one is refused.
Expected<PyRef> unpack_f128(const FieldInput& in) {
    if (in.bits <= 64) return made(PyFloat_FromDouble(0.0));
    return value_error("IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
}

template <FloatFamily Family>
Expected<PyRef> unpack_unimplemented(const FieldInput&) {
    return not_implemented(float_decode_message(Family));
}

template <Expected<TextPlan> (*Decode)(ByteSpan)>
Expected<PyRef> unpack_text(const FieldInput& in) {
    return value_of(Decode(in.bytes));
}

// Indexed by Encoding.
constexpr std::array<UnpackRow, kEncodingCount> kUnpackRows{{
    {&unpack_plain<plain_unsigned>, false, &plain_unsigned},
    {&unpack_plain<plain_signed<decode_twos_complement>>, false, &plain_signed<decode_twos_complement>},
    {&unpack_plain<plain_signed<decode_ones_complement>>, false, &plain_signed<decode_ones_complement>},
    {&unpack_plain<plain_signed<decode_sign_magnitude>>, false, &plain_signed<decode_sign_magnitude>},
    {&unpack_bcd<decode_packed_bcd, false>, false},
    {&unpack_bcd<decode_packed_bcd, true>, false},
    {&unpack_bcd<decode_unpacked_bcd, false>, false},
    {&unpack_bcd<decode_unpacked_bcd, true>, false},
    {&unpack_plain<plain_float<decode_ieee754_f16>>, false, &plain_float<decode_ieee754_f16>},
    {&unpack_plain<plain_float<decode_ieee754_f32>>, false, &plain_float<decode_ieee754_f32>},
    {&unpack_plain<plain_float<decode_ieee754_f64>>, false, &plain_float<decode_ieee754_f64>},
    {&unpack_f128, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F32>, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F64>, false},
    {&unpack_unimplemented<FloatFamily::Ieee754_1985_F80>, false},
    {&unpack_unimplemented<FloatFamily::MilStd1750aF32>, false},
    {&unpack_unimplemented<FloatFamily::MilStd1750aF48>, false},
    {&unpack_unimplemented<FloatFamily::TiF32>, false},
    {&unpack_unimplemented<FloatFamily::TiF40>, false},
    {&unpack_unimplemented<FloatFamily::DecF32>, false},
    {&unpack_unimplemented<FloatFamily::DecF64>, false},
    {&unpack_unimplemented<FloatFamily::IbmF32>, false},
    {&unpack_unimplemented<FloatFamily::IbmF64>, false},
    {&unpack_text<decode_utf8>, true, nullptr, &decode_utf8, true},
    {&unpack_text<decode_utf16>, true, nullptr, &decode_utf16},
    {&unpack_text<decode_utf16be>, true, nullptr, &decode_utf16be},
    {&unpack_text<decode_utf16le>, true, nullptr, &decode_utf16le},
    {&unpack_text<decode_utf32>, true, nullptr, &decode_utf32},
    {&unpack_text<decode_utf32be>, true, nullptr, &decode_utf32be},
    {&unpack_text<decode_utf32le>, true, nullptr, &decode_utf32le},
    {&unpack_text<decode_us_ascii>, true, nullptr, &decode_us_ascii, true},
    {&unpack_text<decode_iso_8859_1>, true, nullptr, &decode_iso_8859_1, true},
    {&unpack_text<decode_iso_8859_1>, true, nullptr, &decode_iso_8859_1, true},
    {&unpack_text<decode_windows_1252>, true, nullptr, &decode_windows_1252, true},
}};

}  // namespace

const UnpackRow& unpack_row(Encoding encoding) noexcept { return kUnpackRows[static_cast<std::size_t>(encoding)]; }

CodecError field_outside(PyObject* name, FieldBytes field, std::uint64_t packet_size) {
    return value_error(build_message("Field '", utf8_of(name), "' needs a packet of at least ", field.end(),
                                     " bytes, but the packet has ", packet_size));
}

namespace {

// The value of a valid entry's field, whose bytes lie within the packet,
// handed to `store` (which takes the reference; a negative answer is a
// failure with a Python error set).
template <class Store>
[[gnu::always_inline]] inline Expected<Unit> store_field(Store&& store, const std::uint8_t* field,
                                                        const EntryValues& entry, std::uint64_t count,
                                                        std::vector<std::uint8_t>& reversed) {
    const UnpackRow& row = kUnpackRows[static_cast<std::size_t>(entry.resolved_encoding)];
    PyObject* value;
    if (row.plain != nullptr) [[likely]] {
        value = row.plain(bit_step(raw_value(field, count, entry.order), entry.bits, entry.reverse_bits), entry.bits);
        if (value == nullptr) api_call_failed();
    } else {
        auto made = field_value(field, count, entry.order, entry.bits, entry.reverse_bits, row, reversed);
        if (!made) return std::move(made).error();
        value = made->release();
    }
    if (store(value) < 0) return capture_python_error();
    return Unit{};
}

// A valid entry's field at its own offset or the cursor, checked to lie in
// the packet, its value stored; the cursor then moves past it.
template <class Store>
[[gnu::always_inline]] inline Expected<Unit> unpack_field(Store&& store, ByteSpan packet, std::uint64_t offset_bits,
                                                         std::uint64_t& cursor, const EntryValues& entry,
                                                         std::vector<std::uint8_t>& reversed) {
    const std::uint64_t position = entry.has_offset ? offset_bits + entry.offset_bits : cursor;
    const FieldBytes field = field_bytes(position, entry.bits);
    if (!field.fits(packet.size())) return field_outside(entry.name, field, packet.size());
    auto stored = store_field(store, packet.data() + field.first, entry, field.count, reversed);
    if (!stored) return stored;
    cursor = position + entry.bits;
    return Unit{};
}

// Stores under the entry's name, as a dict insertion does.
struct InsertInto {
    PyObject* result;
    PyObject* name;
    int operator()(PyObject* value) const {
        const int stored = PyDict_SetItem(result, name, value);
        Py_DECREF(value);
        return stored;
    }
};

#if FIELDLOOM_DICT_VERSION_TAGS

// Recipes are usually the same dicts in the same order, call after call.
// Once a recipe was read twice with every entry remembered, it is compiled:
// its entries' values in one array, and a dict of its names in result order
// (each mapped to None) that every result starts as a copy of, each value
// then written straight into its place: no key is looked up or inserted. A
// call uses it only while its recipe holds the same dicts at the same
// versions: then every entry is plain, as when it was compiled, and the call
// runs no Python code.
class CompiledRecipes final : public InterpreterBound {
public:
    struct Recipe {
        std::uint64_t serial = 0;  // which compilation; 0 for none
        std::uint64_t print = 0;  // fingerprint of its items
        std::vector<PyObject*> items;  // identity only
        std::vector<std::uint64_t> versions;
        std::vector<EntryValues> fields;  // objects borrowed from the items while their versions hold
        std::vector<std::uint32_t> places;  // each field's place among the names (a repeated name: its first)
        PyObject* names = nullptr;  // owned
        Py_ssize_t distinct = 0;  // names in it
    };

    // The compiled recipe that `recipe` still is, or nullptr. Reads only
    // the items' addresses and version tags.
    const Recipe* find(const kind::ItemRefs& recipe) noexcept {
        if (recipe.size() == 0) return nullptr;
        const std::uint64_t print = fingerprint(recipe);
        const std::size_t set = set_of(print);
        for (std::size_t way = 0; way < kWays; ++way) {
            const Recipe& slot = slots_[set * kWays + way];
            if (slot.serial != 0 && slot.print == print && holds(slot, recipe)) {
                recent_[set] = static_cast<std::uint8_t>(way);
                return &slot;
            }
        }
        return nullptr;
    }

    // Whether the recipe's items are the compiled ones, unchanged.
    static bool holds(const Recipe& slot, const kind::ItemRefs& recipe) noexcept {
        if (slot.items.size() != recipe.size()) return false;
        for (std::size_t i = 0; i < recipe.size(); ++i) {
            PyObject* item = recipe[i];
            if (item != slot.items[i] || !PyDict_Check(item) || compat::dict_version_tag(item) != slot.versions[i]) {
                return false;
            }
        }
        return true;
    }

    // After a call that found every entry of `recipe` remembered: compiles
    // it when this happened to the same items lately.
    void compile_after(const kind::ItemRefs& recipe);

private:
    // Two ways, so that two recipes used in turn keep their places.
    static constexpr std::size_t kSets = 8;
    static constexpr std::size_t kWays = 2;
    // Fields: the entry cache's size. A larger recipe seldom has every entry
    // remembered, and its compiled form would be large.
    static constexpr std::size_t kLargest = 4096;

    static std::uint64_t fingerprint(const kind::ItemRefs& recipe) noexcept {
        std::uint64_t hash = recipe.size();
        for (PyObject* item : recipe) {
            hash = (hash ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item))) * 0x9E3779B97F4A7C15ULL;
        }
        return hash;
    }
    static std::size_t set_of(std::uint64_t print) noexcept { return static_cast<std::size_t>(print >> 61); }

    // The objects went with the ended interpreter: forgotten, never released.
    void forget() noexcept override {
        for (Recipe& slot : slots_) slot = Recipe{};
        seen_ = {};
        recent_ = {};
    }

    std::array<Recipe, kSets * kWays> slots_{};
    // Per set, the fingerprints of the last recipes read with every entry
    // remembered, and the way last used.
    std::array<std::array<std::uint64_t, kWays>, kSets> seen_{};
    std::array<std::uint8_t, kSets> recent_{};
    std::uint64_t serial_ = 0;
};

void CompiledRecipes::compile_after(const kind::ItemRefs& recipe) {
    if (recipe.size() == 0 || recipe.size() > kLargest) return;
    const std::uint64_t print = fingerprint(recipe);
    const std::size_t set = set_of(print);
    auto& seen = seen_[set];
    if (seen[0] != print && seen[1] != print) {
        seen[1] = seen[0];
        seen[0] = print;
        return;
    }
    // Creating the dict may run the collector, and so any Python code: the
    // entries are looked up only after it.
    PyRef names(PyDict_New());
    if (!names) api_call_failed();
    Recipe compiled;
    compiled.print = print;
    compiled.items.assign(recipe.begin(), recipe.end());
    compiled.versions.reserve(recipe.size());
    compiled.fields.reserve(recipe.size());
    compiled.places.reserve(recipe.size());
    for (PyObject* item : recipe) {
        const EntryValues* known = remembered_entry(item);
        if (known == nullptr) return;
        compiled.versions.push_back(compat::dict_version_tag(item));
        compiled.fields.push_back(*known);
        // Exact strs only: neither the insertion nor the comparisons run
        // Python code.
        const Py_ssize_t before = PyDict_GET_SIZE(names.get());
        if (PyDict_SetItem(names.get(), known->name, Py_None) < 0) api_call_failed();
        std::uint32_t place = static_cast<std::uint32_t>(before);
        if (PyDict_GET_SIZE(names.get()) == before) {
            std::size_t earlier = 0;
            while (PyUnicode_Compare(compiled.fields[earlier].name, known->name) != 0) ++earlier;
            place = compiled.places[earlier];
        }
        compiled.places.push_back(place);
    }
    compiled.distinct = PyDict_GET_SIZE(names.get());
    if (!compat::DictValueSlots::of(names.get(), compiled.distinct)) return;
    compiled.names = names.release();
    compiled.serial = ++serial_;
    // The same items' older form, else an empty way, else the one not used last.
    std::size_t way = 0;
    while (way < kWays && slots_[set * kWays + way].print != print) ++way;
    if (way == kWays) {
        way = 0;
        while (way < kWays && slots_[set * kWays + way].serial != 0) ++way;
    }
    if (way == kWays) way = (recent_[set] + 1) % kWays;
    Recipe& slot = slots_[set * kWays + way];
    PyObject* old_names = slot.names;
    slot = std::move(compiled);
    recent_[set] = static_cast<std::uint8_t>(way);
    Py_XDECREF(old_names);
}

CompiledRecipes g_compiled;

// The recipe's result by its compiled form; nothing when it is not (or no
// longer) compiled.
std::optional<Expected<PyRef>> run_compiled(ByteSpan packet, std::uint64_t offset_bits, const kind::ItemRefs& recipe,
                                            std::vector<std::uint8_t>& reversed) {
    const auto* compiled = g_compiled.find(recipe);
    if (compiled == nullptr) return std::nullopt;
    const std::uint64_t serial = compiled->serial;
    // Copying may run the collector, and so any Python code, which may
    // change the recipe's dicts or compile another recipe in this place:
    // the names are held meanwhile, and the recipe checked again after.
    const PyRef names(Py_NewRef(compiled->names));
    PyRef result(PyDict_Copy(names.get()));
    if (!result) api_call_failed();
    if (compiled->serial != serial || !CompiledRecipes::holds(*compiled, recipe)) return std::nullopt;
    const auto values = compat::DictValueSlots::of(result.get(), compiled->distinct);
    if (!values) return std::nullopt;

    std::uint64_t cursor = offset_bits;
    const std::uint32_t* place = compiled->places.data();
    for (const EntryValues& known : compiled->fields) {
        PyObject*& slot = values[*place++];
        const auto into_place = [&slot](PyObject* value) {
            Py_DECREF(slot);  // None, or the value of the same name earlier
            slot = value;
            return 0;
        };
        auto stored = unpack_field(into_place, packet, offset_bits, cursor, known, reversed);
        if (!stored) return Expected<PyRef>(std::move(stored).error());
    }
    return Expected<PyRef>(std::move(result));
}

#endif

}  // namespace

Expected<PyRef> process_recipe(ByteSpan packet, std::uint64_t offset_bits, const kind::ItemRefs& recipe) {
    std::vector<std::uint8_t> reversed;  // little-endian text fields only
#if FIELDLOOM_DICT_VERSION_TAGS
    if (auto compiled = run_compiled(packet, offset_bits, recipe, reversed)) return std::move(*compiled);
#endif
    // Sized once for the whole recipe, so the dict never grows while filling.
    PyRef result(compat::new_presized_dict(static_cast<Py_ssize_t>(recipe.size())));
    if (!result) api_call_failed();
    std::uint64_t cursor = offset_bits;
    bool every_entry_remembered = true;

    for (PyObject* item : recipe) {
        // A remembered entry is used in place: nothing from here to its
        // value's storing runs Python code, so its borrowed objects hold.
        if (const EntryValues* known = remembered_entry(item)) [[likely]] {
            auto stored = unpack_field(InsertInto{result.get(), known->name}, packet, offset_bits, cursor, *known,
                                       reversed);
            if (!stored) return std::move(stored).error();
            continue;
        }
        every_entry_remembered = false;
        RecipeEntry entry;
        if (auto read = read_recipe_entry(item, entry); !read) return std::move(read).error();

        const std::uint64_t position = entry.has_offset ? offset_bits + entry.offset_bits : cursor;
        const FieldBytes field = field_bytes(position, entry.bits);
        if (!field.fits(packet.size())) return field_outside(entry.name, field, packet.size());
        auto order = entry_byte_order(entry);
        if (!order) return std::move(order).error();
        auto encoding = entry_encoding(entry, Direction::Unpack);
        if (!encoding) return std::move(encoding).error();
        entry.order = *order;
        entry.resolved_encoding = *encoding;
        auto stored = store_field(InsertInto{result.get(), entry.name}, packet.data() + field.first, entry,
                                  field.count, reversed);
        if (!stored) return std::move(stored).error();
        cursor = position + entry.bits;
    }
#if FIELDLOOM_DICT_VERSION_TAGS
    if (every_entry_remembered) g_compiled.compile_after(recipe);
#else
    (void)every_entry_remembered;
#endif
    return result;
}

Expected<PyRef> unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, kind::ItemRefs recipe) {
    auto result = process_recipe(packet, offset_bits, recipe);
    if (!result) return wrap_engine_failure(std::move(result).error());
    return result;
}

}  // namespace fieldloom::recipe
