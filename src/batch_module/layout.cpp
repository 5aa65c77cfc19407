// Layout: a recipe compiled once. unpack and pack are the per-packet
// functions at compiled speed; _unpack_many and _pack_many serve the Python
// layer's whole-recording methods.
#include "batch_module/layout.hpp"

#include <array>
#include <memory>
#include <string_view>

#include "engine/batch_decode.hpp"
#include "engine/batch_layout.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace fieldloom::batch {
namespace {

struct LayoutObject {
    PyObject_HEAD
    CompiledLayout* layout;
};

const CompiledLayout& compiled(PyObject* self) { return *reinterpret_cast<LayoutObject*>(self)->layout; }

template <std::size_t N>
struct Params {
    const char* function;
    std::array<std::string_view, N> names;
    std::size_t required;

    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& slots) const {
        slots.fill(nullptr);
        // The common call, all required arguments by position, needs no binding.
        if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(required) && nargs <= static_cast<Py_ssize_t>(N)) {
            for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
            return true;
        }
        return bind_arguments(Signature{function, names.data(), N, required}, args, nargs, kwnames, slots.data());
    }
};

// One argument through its conversion kind; a TypeError names the argument.
template <class Kind>
bool convert_argument(PyObject* object, std::string_view name, typename Kind::type& out) {
    if (Kind::convert(object, out)) return true;
    prefix_type_error(name);
    return false;
}

PyObject* raise_unwrapped(CodecError error) {
    raise_codec_error(std::move(error));
    return nullptr;
}

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_entry([&]() -> PyObject* {
        static constexpr Params<1> params{"Layout", {"recipe"}, 1};
        std::array<PyObject*, 1> slots{};
        // The vectorcall binder takes a flat argument array.
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        PyRef kwnames;
        std::vector<PyObject*> flat(static_cast<std::size_t>(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            if (!kwnames) return nullptr;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            Py_ssize_t position = 0;
            Py_ssize_t k = 0;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
                flat.push_back(value);
            }
        }
        if (!params.bind(flat.data(), nargs, kwnames.get(), slots)) return nullptr;
        kind::ItemRefs entries;
        if (!convert_argument<kind::Sequence>(slots[0], "recipe", entries)) return nullptr;
        auto layout = CompiledLayout::compile(entries);
        if (!layout) return raise_unwrapped(std::move(layout).error());
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        reinterpret_cast<LayoutObject*>(self.get())->layout = new CompiledLayout(std::move(*layout));
        return self.release();
    });
}

void layout_dealloc(PyObject* self) {
    delete reinterpret_cast<LayoutObject*>(self)->layout;
    Py_TYPE(self)->tp_free(self);
}

PyObject* layout_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_entry([&]() -> PyObject* {
        static constexpr Params<2> params{"unpack", {"packet", "offset_bits"}, 1};
        std::array<PyObject*, 2> slots;
        if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
        ByteSpan packet;
        if (!convert_argument<kind::Bytes>(slots[0], "packet", packet)) return nullptr;
        std::uint64_t offset_bits = 0;
        if (slots[1] != nullptr && !convert_argument<kind::U64>(slots[1], "offset_bits", offset_bits)) return nullptr;
        auto result = compiled(self).unpack(packet, offset_bits);
        if (!result) return raise_unwrapped(wrap_engine_failure(std::move(result).error()));
        return std::move(result).value().release();
    });
}

PyObject* layout_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_entry([&]() -> PyObject* {
        static constexpr Params<1> params{"pack", {"values"}, 1};
        std::array<PyObject*, 1> slots;
        if (!params.bind(args, nargs, kwnames, slots)) return nullptr;
        PyObject* values = nullptr;
        if (!convert_argument<kind::Mapping>(slots[0], "values", values)) return nullptr;
        const CompiledLayout& layout = compiled(self);
        if (layout.pack_impossible()) return PyErr_NoMemory();
        PyRef packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout.packet_size())));
        if (!packet) return nullptr;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
        std::memset(out, 0, static_cast<std::size_t>(layout.packet_size()));
        std::vector<std::uint8_t> scratch;
        auto value_of = [&](std::size_t i) -> PyObject* {
            PyObject* value = PyDict_GetItemWithError(values, layout.fields()[i].name.get());
            return Py_XNewRef(value);
        };
        auto packed = layout.pack_into(out, value_of, scratch);
        if (!packed) return raise_unwrapped(wrap_engine_failure(std::move(packed).error()));
        return packet.release();
    });
}

bool optional_u64(PyObject* object, std::string_view name, bool& present, std::uint64_t& out) {
    present = object != Py_None;
    return !present || convert_argument<kind::U64>(object, name, out);
}

// _unpack_many(buffer, stride, offsets, lengths, count, skip, threads, utf8_text): the
// Python layer has checked and normalised every argument but the buffer.
PyObject* layout_unpack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 8) {
            PyErr_SetString(PyExc_TypeError, "_unpack_many() takes 8 positional arguments");
            return nullptr;
        }
        Recording recording;
        recording.buffer = args[0];
        bool has_stride = false;
        if (!optional_u64(args[1], "stride", has_stride, recording.stride)) return nullptr;
        recording.offsets = args[2] == Py_None ? nullptr : args[2];
        recording.lengths = args[3] == Py_None ? nullptr : args[3];
        if (!optional_u64(args[4], "count", recording.has_count, recording.count)) return nullptr;
        recording.skip = PyObject_IsTrue(args[5]) == 1;
        if (!convert_argument<kind::U64>(args[6], "threads", recording.threads)) return nullptr;
        recording.utf8_text = PyObject_IsTrue(args[7]) == 1;
        return unpack_many(compiled(self), recording);
    });
}

// _pack_many(columns, count, stride): one sequence (or None) per field.
PyObject* layout_pack_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded_entry([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "_pack_many() takes 3 positional arguments");
            return nullptr;
        }
        std::uint64_t count = 0;
        std::uint64_t stride = 0;
        if (!convert_argument<kind::U64>(args[1], "count", count)) return nullptr;
        if (!convert_argument<kind::U64>(args[2], "stride", stride)) return nullptr;
        return pack_many(compiled(self), args[0], count, stride);
    });
}

PyObject* get_recipe(PyObject* self, void*) {
    return guarded_entry([&]() -> PyObject* { return compiled(self).recipe_copy().release(); });
}

PyObject* get_columns(PyObject* self, void*) {
    return guarded_entry([&]() -> PyObject* {
        const auto& names = compiled(self).column_names();
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
        }
        return tuple.release();
    });
}

PyObject* get_packet_size(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(compiled(self).packet_size());
}

// NumPy type codes of the columns, in column order.
PyObject* get_dtype_codes(PyObject* self, void*) {
    return guarded_entry([&]() -> PyObject* {
        const CompiledLayout& layout = compiled(self);
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(layout.column_names().size())));
        if (!tuple) return nullptr;
        for (const CompiledField& field : layout.fields()) {
            if (field.column < 0) continue;
            PyObject* code = PyUnicode_FromString(column_dtype(field.encoding, field.bits));
            if (code == nullptr) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), field.column, code);
        }
        return tuple.release();
    });
}

// (name, first byte, bits, encoding, byte order, reverse_bits) per field.
PyObject* get_fields(PyObject* self, void*) {
    return guarded_entry([&]() -> PyObject* {
        const auto& fields = compiled(self).fields();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const CompiledField& field = fields[i];
            PyObject* row = Py_BuildValue("(OKkOOO)", field.name.get(),
                                          static_cast<unsigned long long>(field.position / 8),
                                          static_cast<unsigned long>(field.bits), field.encoding_text.get(),
                                          field.byte_order_text.get(), field.reverse_bits ? Py_True : Py_False);
            if (row == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
        }
        return list.release();
    });
}

PyMethodDef g_layout_methods[] = {
    {"unpack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&layout_unpack)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, /, packet, offset_bits=0)\n--\n\n"
     "The fields of one packet: equal to unpack_parameters(packet, offset_bits, recipe)."},
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&layout_pack)), METH_FASTCALL | METH_KEYWORDS,
     "pack($self, /, values)\n--\n\nOne packet: equal to pack_parameters(recipe, values)."},
    {"_unpack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&layout_unpack_many)), METH_FASTCALL,
     nullptr},
    {"_pack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&layout_pack_many)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_layout_getset[] = {
    {"recipe", &get_recipe, nullptr, "Copies of the entries as read, one dict each.", nullptr},
    {"columns", &get_columns, nullptr, "Distinct field names in recipe order.", nullptr},
    {"packet_size", &get_packet_size, nullptr, "Bytes of every packet that pack produces.", nullptr},
    {"_dtype_codes", &get_dtype_codes, nullptr, nullptr, nullptr},
    {"_fields", &get_fields, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject g_layout_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "fieldloom_batch._native.Layout";
    type.tp_basicsize = sizeof(LayoutObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "A recipe compiled once.";
    type.tp_new = &layout_new;
    type.tp_dealloc = &layout_dealloc;
    type.tp_methods = g_layout_methods;
    type.tp_getset = g_layout_getset;
    return type;
}();

}  // namespace

PyTypeObject* layout_type() {
    if (PyType_Ready(&g_layout_type) < 0) return nullptr;
    return &g_layout_type;
}

}  // namespace fieldloom::batch
