#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

// How the platform layer reports failure: every call that can fail returns a
// Result holding either its value or why it failed, in the system's words.
namespace tarvo::platform {

struct Failure {
    std::string text;
};

template <typename T, typename E = Failure> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, E> state_;
};

template <typename E> class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}

    explicit operator bool() const { return !error_; }
    const E& error() const { return *error_; }

  private:
    std::optional<E> error_;
};

inline Failure fail(std::string text) {
    return {std::move(text)};
}

} // namespace tarvo::platform
