#ifndef TESSALY_SHA256_H
#define TESSALY_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4) of a byte stream, fed in pieces of any size. The run
// manifest records it for the input file, so a result can be traced to the
// exact input bytes that made it.
class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    // The digest as 64 lowercase hex digits; the object is spent afterwards.
    std::string hexDigest();

    // The digest of a whole file and its size in bytes; false when the file
    // cannot be read.
    static bool ofFile(const std::string& path, std::string& hex, std::uint64_t& size);

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state;
    std::array<std::uint8_t, 64> buffer;
    std::size_t buffered = 0;
    std::uint64_t totalBytes = 0;
};

#endif
