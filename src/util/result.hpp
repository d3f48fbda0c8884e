// A small value-or-error type: the native core reports failures as values, never by throwing.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace veltrix {

// Tag that carries an error into a Result.
template <class E>
struct Err {
    E error;
};

template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Result(Err<G> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(state_); }
    const T& value() const& { assert(ok()); return std::get<0>(state_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
    const E& error() const { assert(!ok()); return std::get<1>(state_); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, E> state_;
};

// Success carries nothing; failure carries E.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class G>
    Result(Err<G> err) : error_(E(std::move(err.error))), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const E& error() const { assert(failed_); return error_; }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace veltrix
