// A broken invariant that only a fault elsewhere in the library can cause. It is thrown,
// never returned, and the Python boundary turns it into the dedicated exception type.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Boolean check with a fixed message, e.g. "assertion failed: row < rows".
inline void internal_check(bool condition, const char* message) {
    if (!condition) throw InternalError(message);
}

[[noreturn]] void throw_not_equal(const std::string& left, const std::string& right);

// Equality check that names both sides, left first.
template <class A, class B>
inline void check_equal(const A& left, const B& right) {
    if (!(left == right)) throw_not_equal(std::to_string(left), std::to_string(right));
}
inline void check_equal_pair(std::size_t l0, std::size_t l1, std::size_t r0, std::size_t r1) {
    if (l0 != r0 || l1 != r1) {
        throw_not_equal("(" + std::to_string(l0) + ", " + std::to_string(l1) + ")",
                        "(" + std::to_string(r0) + ", " + std::to_string(r1) + ")");
    }
}

[[noreturn]] void throw_index_error(std::size_t index, std::size_t length);

// Bounds-checked element access for reads whose index comes from the caller's data.
template <class T>
inline const T& at(const std::vector<T>& v, std::size_t i) {
    if (i >= v.size()) throw_index_error(i, v.size());
    return v[i];
}
template <class T>
inline T& at(std::vector<T>& v, std::size_t i) {
    if (i >= v.size()) throw_index_error(i, v.size());
    return v[i];
}

}  // namespace corvane
