#pragma once

#include "core/base/bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::digest {

enum class Algorithm { Sha1, Sha256, Sha384, Sha512 };

// The digest of `bytes`, computed by OpenSSL's libcrypto: every digest of
// the program is made here.
std::vector<std::uint8_t> of(Algorithm algorithm, Bytes bytes);

// Lower-case hexadecimal digests.
std::string sha1Hex(Bytes bytes);
std::string sha256Hex(Bytes bytes);

} // namespace tolvane::digest
