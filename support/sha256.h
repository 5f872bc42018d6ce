#pragma once
// SHA-256 (FIPS 180-4): the identity of a model file, the same digest CMake's
// file(SHA256) and sha256sum give, so that a model embedded at build time and
// the same model read from a file are known as one.
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    void update(const void* data, size_t size);
    // The digest as 64 lowercase hexadecimal digits; the object is spent after it.
    std::string hex();

private:
    void block(const uint8_t* bytes);

    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pending_size_ = 0;
    uint64_t total_ = 0;
};

// The digest of a regular file's bytes, or "" when it cannot be read whole.
std::string sha256_of_file(const char* path);
