#pragma once

#include <utility>
#include <variant>

namespace zarn {

// The error of a failed call, on its way into an Expected.
template <class E>
class Unexpected {
public:
    explicit Unexpected(E error) : error_(std::move(error)) {}

    E& error() & noexcept { return error_; }
    E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};

// A value or the error that prevented it: the part of C++23's std::expected
// that the core uses, so that C++20 compilers and libraries build it.
template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> failure)
        : state_(std::in_place_index<1>, std::move(failure).error()) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    // Only with a value.
    T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    const T* operator->() const noexcept { return std::get_if<0>(&state_); }

    // Only without a value.
    E& error() & noexcept { return *std::get_if<1>(&state_); }
    const E& error() const& noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, E> state_;
};

}  // namespace zarn
