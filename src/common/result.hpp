// Caller errors travel as values: a Result holds either the value or an Error whose
// text is shown to the user exactly as it stands.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "common/internal_error.hpp"

namespace corvane {

// What kind of failure an Error reports, so the Python boundaries can raise the matching
// exception type: a caller's mistake or a numerical failure (ValueError), a factorisation
// that ran out of memory (MemoryError), or a solve stopped by an interrupt check.
enum class ErrorKind { failure, out_of_memory, interrupted };

struct Error {
    std::string text;
    ErrorKind kind = ErrorKind::failure;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(checked()); }
    const T& value() const& { return std::get<0>(checked()); }
    T&& value() && { return std::get<0>(std::move(checked())); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error>& checked() {
        if (!has_value()) throw InternalError("value taken from a failed result: " + error().text);
        return state_;
    }
    const std::variant<T, Error>& checked() const {
        if (!has_value()) throw InternalError("value taken from a failed result: " + error().text);
        return state_;
    }
    std::variant<T, Error> state_;
};

// Result of an operation that yields nothing but may fail.
struct Unit {};
using Status = Result<Unit>;

inline Error fail(std::string text) { return Error{std::move(text)}; }
inline Error fail(std::string text, ErrorKind kind) { return Error{std::move(text), kind}; }

}  // namespace corvane
