#pragma once
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace platform {

// The error side of a Result, to construct one that failed: `return platform::Failure(error);`.
template <class E>
class Failure {
public:
    explicit Failure(E error) : error(std::move(error)) {}
    E error;
};

// The value an operation produced, or the error that kept it from producing one; the shape of
// std::expected (which g++ 12 lacks in C++20).
template <class T, class E>
class Result {
public:
    // Like std::expected: a default value, when T has one.
    Result() requires std::is_default_constructible_v<T> : state_(std::in_place_index<0>) {}
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    // The value; asking a failed result for it is a programming error and throws std::logic_error.
    T& value() & { return std::get<0>(checked(state_)); }
    const T& value() const& { return std::get<0>(checked(state_)); }
    T&& value() && { return std::get<0>(std::move(checked(state_))); }
    // The error; only a failed result has one.
    const E& error() const { return std::get<1>(state_); }

private:
    template <class State>
    static State& checked(State& state) {
        if (state.index() != 0) throw std::logic_error("the result holds an error, not a value");
        return state;
    }

    std::variant<T, E> state_;
};

}  // namespace platform
