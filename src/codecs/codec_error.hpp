// Failure values shared by every operation. Codecs return a result or a
// CodecError; nothing is thrown for bad input. The boundary (src/module)
// turns a CodecError into exactly one Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace fieldloom {

__extension__ typedef unsigned __int128 uint128;

// Each kind selects the built-in Python exception class of the same name.
enum class ErrorKind : std::uint8_t {
    KeyError,
    ValueError,
    NotImplementedError,
    TypeError,
    OverflowError,
    SystemError,
    // An interpreter exception taken out of the error indicator. Only the
    // recipe engine and the boundary make these; the payload is opaque here
    // so the scalar codecs stay free of the interpreter.
    Captured,
};

// Opaque holder of an interpreter exception (type, value, traceback). It is
// defined by the boundary, which is the only place that creates or drops one.
struct CapturedException;
void release_captured(CapturedException* captured) noexcept;

class CodecError {
public:
    CodecError(ErrorKind kind, std::string message) noexcept
        : kind_(kind), message_(std::move(message)) {}

    explicit CodecError(CapturedException* captured) noexcept
        : kind_(ErrorKind::Captured), captured_(captured) {}

    CodecError(CodecError&& other) noexcept
        : kind_(other.kind_), message_(std::move(other.message_)),
          captured_(std::exchange(other.captured_, nullptr)) {}

    CodecError& operator=(CodecError&& other) noexcept {
        if (this != &other) {
            reset();
            kind_ = other.kind_;
            message_ = std::move(other.message_);
            captured_ = std::exchange(other.captured_, nullptr);
        }
        return *this;
    }

    CodecError(const CodecError&) = delete;
    CodecError& operator=(const CodecError&) = delete;

    ~CodecError() { reset(); }

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    // Hands the captured exception to the caller, who then owns it.
    CapturedException* take_captured() noexcept { return std::exchange(captured_, nullptr); }

private:
    void reset() noexcept {
        if (captured_ != nullptr) release_captured(std::exchange(captured_, nullptr));
    }

    ErrorKind kind_;
    std::string message_;
    CapturedException* captured_ = nullptr;
};

inline CodecError value_error(std::string message) { return {ErrorKind::ValueError, std::move(message)}; }

// A result or the reason there is none (std::expected is C++23; this is the
// part of it the module needs).
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(CodecError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & noexcept { return *std::get_if<0>(&state_); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    const T& value() const& noexcept { return *std::get_if<0>(&state_); }
    T& operator*() & noexcept { return value(); }
    T* operator->() noexcept { return &value(); }

    CodecError& error() & noexcept { return *std::get_if<1>(&state_); }
    CodecError&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, CodecError> state_;
};

// Operations that succeed with nothing to return.
struct Unit {};

}  // namespace fieldloom
