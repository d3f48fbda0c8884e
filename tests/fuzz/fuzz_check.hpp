// What every fuzz target shares: a check that stops the run (libFuzzer then keeps the input
// as a crash reproducer) and a reader that takes small decisions from the input's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

// Consumes the input from the front; past its end every read gives zero or nothing.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    // Up to `count` bytes as text.
    std::string_view take(std::size_t count) {
        if (count > size_) count = size_;
        const std::string_view text(reinterpret_cast<const char*>(data_), count);
        data_ += count;
        size_ -= count;
        return text;
    }
    std::string_view rest() { return take(size_); }
    bool empty() const { return size_ == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace fuzz
