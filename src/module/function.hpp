// One module function generated from one table row: its name, its text
// signature, the conversion kind of each parameter and its operation. The
// entry point binds, converts, calls and converts back; nothing here is
// written per function.
#pragma once

#include "python/python.hpp"

#include <array>
#include <cstddef>
#include <functional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "module/results.hpp"

namespace fieldloom {

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&literal)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// "value, bits, signed=False" -> names, count and number of required ones.
template <FixedString Params>
struct ParameterList {
    static constexpr std::size_t count = [] {
        std::size_t n = Params.view().empty() ? 0 : 1;
        for (char c : Params.view()) n += c == ',';
        return n;
    }();

    static constexpr std::array<std::string_view, count> names = [] {
        std::array<std::string_view, count> out{};
        std::string_view rest = Params.view();
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t comma = rest.find(", ");
            std::string_view item = rest.substr(0, comma);
            out[i] = item.substr(0, item.find('='));
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        }
        return out;
    }();

    static constexpr std::size_t required = [] {
        std::size_t n = 0;
        std::string_view rest = Params.view();
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t comma = rest.find(", ");
            if (rest.substr(0, comma).find('=') == std::string_view::npos) n = i + 1;
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        }
        return n;
    }();
};

// "name(params)\n--\n\n": the interpreter reads the signature from it.
template <FixedString Name, FixedString Params>
struct TextSignature {
    static constexpr std::size_t size = Name.view().size() + Params.view().size() + 7;
    static constexpr std::array<char, size + 1> text = [] {
        std::array<char, size + 1> out{};
        std::size_t at = 0;
        for (char c : Name.view()) out[at++] = c;
        out[at++] = '(';
        for (char c : Params.view()) out[at++] = c;
        for (char c : std::string_view(")\n--\n\n")) out[at++] = c;
        out[at] = '\0';
        return out;
    }();
};

template <FixedString Name, FixedString Params, auto Op, class... Kinds>
struct Function {
    using Parameters = ParameterList<Params>;
    static_assert(Parameters::count == sizeof...(Kinds), "one conversion kind per parameter");

    static constexpr Signature signature{Name.text, Parameters::names.data(), Parameters::count,
                                         Parameters::required};

    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded_entry([&]() __attribute__((always_inline)) -> PyObject* {
            // The common calls: every parameter by position, or the required
            // ones. The arguments are the slots; there is nothing to bind.
            if (kwnames == nullptr) [[likely]] {
                if (nargs == static_cast<Py_ssize_t>(Parameters::count)) [[likely]]
                    return convert_and_call<Given::All>(args, Indices{});
                if constexpr (Parameters::required < Parameters::count) {
                    if (nargs == static_cast<Py_ssize_t>(Parameters::required))
                        return convert_and_call<Given::Required>(args, Indices{});
                }
            }
            PyObject* slots[sizeof...(Kinds)] = {};
            if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
            return convert_and_call<Given::Bound>(slots, Indices{});
        });
    }

    static PyMethodDef method() {
        return PyMethodDef{Name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry)),
                           METH_FASTCALL | METH_KEYWORDS, TextSignature<Name, Params>::text.data()};
    }

private:
    using Indices = std::index_sequence_for<Kinds...>;

    // Which slots hold an argument: all of them, the required ones (the
    // rest keep their defaults), or those that binding filled.
    enum class Given { All, Required, Bound };

    template <Given Slots, std::size_t... I>
    static PyObject* convert_and_call(PyObject* const* slots, std::index_sequence<I...>) {
        std::tuple<typename Kinds::type...> values{};
        // Parameter order; the first failure stops the rest.
        bool converted = (convert_one<Slots, I, Kinds>(slots, std::get<I>(values)) && ...);
        if (!converted) [[unlikely]] return nullptr;
        return result_to_python(std::invoke(Op, std::move(std::get<I>(values))...));
    }

    template <Given Slots, std::size_t I, class Kind>
    static bool convert_one(PyObject* const* slots, typename Kind::type& out) {
        if constexpr (Slots == Given::Required && I >= Parameters::required) {
            return true;  // not given: keeps its default
        } else {
            if constexpr (Slots == Given::Bound) {
                if (slots[I] == nullptr) return true;  // an empty optional slot keeps its default
            }
            if (Kind::convert(slots[I], out)) [[likely]] return true;
            prefix_type_error(Parameters::names[I]);
            return false;
        }
    }
};

template <class... Functions>
struct FunctionTable {
    static constexpr std::size_t size = sizeof...(Functions);
    // The interpreter keeps pointers into these for the life of the process.
    static inline std::array<PyMethodDef, size> methods{Functions::method()...};
};

}  // namespace fieldloom
