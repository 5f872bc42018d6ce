#pragma once
// Pieces every fuzz target shares: a private working folder, a reader that
// turns the fuzzer's bytes into typed values, and a check that stops the run
// with a message (a finding, to libFuzzer and to the corpus replay alike).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Moves the process into a new empty folder under the system's temporary
// folder (removed at a normal exit): the library keeps all its files relative
// to the working folder, and a fuzzer must never write into the source tree.
// Returns the folder's absolute path.
std::string fuzz_enter_temp_dir();

// Prints "fuzz check failed: <what>" with the place and aborts.
[[noreturn]] void fuzz_fail(const char* file, int line, const std::string& what);
#define FUZZ_CHECK(condition, what)                               \
    do {                                                          \
        if (!(condition)) fuzz_fail(__FILE__, __LINE__, (what));  \
    } while (0)

// Typed values taken from the front of the fuzzer's bytes; once they run out
// every value is zero or empty, so a short input still makes a whole case.
class FuzzBytes {
public:
    FuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t left() const { return size_; }
    uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    // A number in [0, bound), bound > 0.
    uint32_t below(uint32_t bound) {
        uint32_t value = 0;
        for (uint32_t reach = 1; reach < bound && reach != 0; reach <<= 8) value = (value << 8) | byte();
        return value % bound;
    }
    bool flag() { return byte() & 1; }
    float raw_float() {
        uint8_t bytes[4] = {byte(), byte(), byte(), byte()};
        float value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    std::string text(size_t most) {
        const size_t n = most < size_ ? most : size_;
        std::string taken(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        size_ -= n;
        return taken;
    }
    // Bytes up to the next `end` byte (which is consumed), or all that are left.
    std::string text_until(char end) {
        const void* found = std::memchr(data_, end, size_);
        const size_t n = found ? static_cast<size_t>(static_cast<const uint8_t*>(found) - data_) : size_;
        std::string taken = text(n);
        if (found) byte();
        return taken;
    }
    std::string rest() { return text(size_); }

private:
    const uint8_t* data_;
    size_t size_;
};

// libFuzzer's own mutation of a buffer, for targets with a mutator of their
// own; the corpus replay never calls it.
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);
