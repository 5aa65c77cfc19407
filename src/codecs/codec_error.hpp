// Failure values shared by every operation. Codecs return a result or a
// CodecError; nothing is thrown for bad input. The boundary (src/module)
// turns a CodecError into exactly one Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <new>

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

// Failure paths: kept cold, and a fixed text becomes a string out of line,
// so that the codecs' success paths stay small enough to inline.
[[gnu::cold]] inline CodecError value_error(std::string message) { return {ErrorKind::ValueError, std::move(message)}; }
[[gnu::cold, gnu::noinline]] inline CodecError value_error(const char* message) {
    return {ErrorKind::ValueError, message};
}

// A result or the reason there is none (std::expected is C++23; this is the
// part of it the module needs). A plain union rather than std::variant: on
// the success path of a trivially destructible result, destruction is one
// test that the compiler sees through.
template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : has_value_(true) {
        ::new (static_cast<void*>(&value_)) T(std::move(value));
    }
    Expected(CodecError error) noexcept : has_value_(false) {
        ::new (static_cast<void*>(&error_)) CodecError(std::move(error));
    }
    Expected(Expected&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : has_value_(other.has_value_) {
        if (has_value_) {
            ::new (static_cast<void*>(&value_)) T(std::move(other.value_));
        } else {
            ::new (static_cast<void*>(&error_)) CodecError(std::move(other.error_));
        }
    }
    Expected& operator=(Expected&&) = delete;
    Expected(const Expected&) = delete;
    Expected& operator=(const Expected&) = delete;
    ~Expected() {
        if (has_value_) [[likely]] {
            if constexpr (!std::is_trivially_destructible_v<T>) value_.~T();
        } else {
            error_.~CodecError();
        }
    }

    bool has_value() const noexcept { return has_value_; }
    explicit operator bool() const noexcept { return has_value_; }

    T& value() & noexcept { return value_; }
    T&& value() && noexcept { return std::move(value_); }
    const T& value() const& noexcept { return value_; }
    T& operator*() & noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

    CodecError& error() & noexcept { return error_; }
    CodecError&& error() && noexcept { return std::move(error_); }

private:
    union {
        T value_;
        CodecError error_;
    };
    bool has_value_;
};

// Operations that succeed with nothing to return.
struct Unit {};

}  // namespace fieldloom
