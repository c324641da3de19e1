#pragma once

#include "core/base/bytes.h"

#include <string>

namespace tolvane::digest {

// Lower-case hexadecimal digests, computed by OpenSSL's libcrypto.
std::string sha1Hex(Bytes bytes);
std::string sha256Hex(Bytes bytes);

} // namespace tolvane::digest
