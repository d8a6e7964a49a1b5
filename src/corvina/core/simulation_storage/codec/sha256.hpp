// SHA-256 (FIPS 180-4) over a byte string, for the simulation ID's fast path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace css {

void sha256(const unsigned char* data, size_t len, unsigned char out[32]);

}  // namespace css
