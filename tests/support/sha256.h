// SHA-256 (FIPS 180-4) of a byte block, as 64 lowercase hex digits. Used by
// the tests that pin encoded output to the byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_util {

std::string sha256_hex(const uint8_t* data, size_t size);

}  // namespace test_util
