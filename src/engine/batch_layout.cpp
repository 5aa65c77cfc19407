#include "engine/batch_layout.hpp"

#include <algorithm>

#include "python/compat.hpp"
#include "python/errors.hpp"

namespace fieldloom::batch {

namespace {

constexpr std::uint64_t kMaxPacketBytes = static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - 64;

PyRef new_ref(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return PyRef(object);
}

}  // namespace

Expected<CompiledLayout> CompiledLayout::compile(const kind::ItemRefs& entries) {
    CompiledLayout layout;
    layout.fields_.reserve(entries.size());
    std::uint64_t cursor = 0;
    std::uint64_t total_bits = 0;  // as packing's sizing pass counts it
    for (PyObject* item : entries) {
        recipe::RecipeEntry entry;
        if (auto read = recipe::read_recipe_entry(item, entry); !read) return wrap_engine_failure(std::move(read).error());
        auto order = recipe::entry_byte_order(entry);
        if (!order) return wrap_engine_failure(std::move(order).error());
        auto encoding = recipe::entry_encoding(entry, recipe::Direction::Unpack);
        if (!encoding) return wrap_engine_failure(std::move(encoding).error());

        CompiledField field;
        field.name = PyRef::borrow(entry.name);
        field.encoding_text = PyRef::borrow(entry.encoding);
        field.byte_order_text = PyRef::borrow(entry.byte_order);
        field.bits = entry.bits;
        field.reverse_bits = entry.reverse_bits;
        field.has_offset = entry.has_offset;
        field.offset_bits = entry.offset_bits;
        field.position = entry.has_offset ? entry.offset_bits : cursor;
        field.bytes = recipe::field_bytes(field.position, entry.bits);
        field.order = *order;
        field.encoding = *encoding;
        field.unpack = &recipe::unpack_row(*encoding);
        field.pack = recipe::pack_row(*encoding);
        field.pack_numeric = recipe::numeric_pack_row(*encoding);
        cursor = field.position + entry.bits;

        const std::uint64_t start = entry.has_offset ? entry.offset_bits : total_bits;
        std::uint64_t end = 0;
        if (__builtin_add_overflow(start, std::uint64_t{entry.bits}, &end)) {
            layout.pack_impossible_ = true;
        } else {
            total_bits = std::max(total_bits, end);
        }
        layout.fields_.push_back(std::move(field));
    }
    layout.packet_size_ = total_bits / 8 + (total_bits % 8 != 0);
    if (layout.packet_size_ > kMaxPacketBytes) layout.pack_impossible_ = true;

    // A later field of a name takes the column; the column keeps the place
    // of the name's first field, as the per-packet dict keeps its key's.
    PyRef seen = new_ref(PyDict_New());
    for (std::size_t i = 0; i < layout.fields_.size(); ++i) {
        PyObject* name = layout.fields_[i].name.get();
        PyObject* known = PyDict_GetItemWithError(seen.get(), name);
        if (known == nullptr) {
            if (PyErr_Occurred() != nullptr) api_call_failed();
            PyRef index = new_ref(PyLong_FromSize_t(layout.column_names_.size()));
            if (PyDict_SetItem(seen.get(), name, index.get()) < 0) api_call_failed();
            layout.column_names_.push_back(name);
        }
    }
    layout.keys_ = new_ref(PyDict_New());
    for (PyObject* name : layout.column_names_) {
        if (PyDict_SetItem(layout.keys_.get(), name, Py_None) < 0) api_call_failed();
    }
    for (std::size_t i = layout.fields_.size(); i-- > 0;) {
        PyObject* index = PyDict_GetItemWithError(seen.get(), layout.fields_[i].name.get());
        if (index == nullptr) api_call_failed();
        if (index == Py_None) continue;  // a later field already owns the column
        layout.fields_[i].column = static_cast<int>(PyLong_AsLong(index));
        if (PyDict_SetItem(seen.get(), layout.fields_[i].name.get(), Py_None) < 0) api_call_failed();
    }
    return layout;
}

Expected<PyRef> CompiledLayout::unpack(ByteSpan packet, std::uint64_t offset_bits) const {
    // Every key is already in place, in the order the per-packet dict gets
    // them; each field only replaces its value.
    PyRef result(PyDict_Copy(keys_.get()));
    if (!result) api_call_failed();
    // A copy of a dict of str keys has the plain layout, so each name's value
    // goes straight into its place, with no lookup; insertion otherwise.
    const auto places = compat::DictValueSlots::of(result.get(), static_cast<Py_ssize_t>(column_names_.size()));
    std::vector<std::uint8_t> reversed;  // little-endian text fields only
    for (const CompiledField& field : fields_) {
        const recipe::FieldBytes bytes = recipe::field_bytes(offset_bits + field.position, field.bits);
        if (!bytes.fits(packet.size())) return recipe::field_outside(field.name.get(), bytes, packet.size());
        const std::uint8_t* data = packet.data() + bytes.first;
        PyRef value;
        if (field.unpack->plain != nullptr) {
            const std::uint64_t raw = recipe::bit_step(recipe::raw_value(data, bytes.count, field.order), field.bits,
                                                       field.reverse_bits);
            value = new_ref(field.unpack->plain(raw, field.bits));
        } else {
            auto decoded = recipe::field_value(data, bytes.count, field.order, field.bits, field.reverse_bits,
                                               *field.unpack, reversed);
            if (!decoded) return std::move(decoded).error();
            value = std::move(decoded).value();
        }
        if (places) {
            if (field.column < 0) continue;  // a later field of the name gives its value
            PyObject*& place = places[static_cast<std::size_t>(field.column)];
            Py_DECREF(place);  // None
            place = value.release();
        } else if (PyDict_SetItem(result.get(), field.name.get(), value.get()) < 0) {
            return capture_python_error();
        }
    }
    return result;
}

PyRef CompiledLayout::recipe_copy() const {
    PyRef list = new_ref(PyList_New(static_cast<Py_ssize_t>(fields_.size())));
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const CompiledField& field = fields_[i];
        PyRef bits = new_ref(PyLong_FromUnsignedLong(field.bits));
        PyRef entry = new_ref(Py_BuildValue("{sOsOsOsOsO}", "name", field.name.get(), "encoding",
                                            field.encoding_text.get(), "bits", bits.get(), "byte_order",
                                            field.byte_order_text.get(), "reverse_bits",
                                            field.reverse_bits ? Py_True : Py_False));
        if (field.has_offset) {
            PyRef offset = new_ref(PyLong_FromUnsignedLongLong(field.offset_bits));
            if (PyDict_SetItemString(entry.get(), "offset_bits", offset.get()) < 0) api_call_failed();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

}  // namespace fieldloom::batch
