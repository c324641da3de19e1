#include "core/base/digest.h"

#include "core/base/hex.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace tolvane::digest {
namespace {

std::string hexDigest(Bytes bytes, const EVP_MD* algorithm)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), value, &length, algorithm, nullptr) != 1)
        throw std::runtime_error("The digest cannot be computed");
    return hexText(Bytes(value, length), HexCase::Lower);
}

} // namespace

std::string sha1Hex(Bytes bytes)
{
    return hexDigest(bytes, EVP_sha1());
}

std::string sha256Hex(Bytes bytes)
{
    return hexDigest(bytes, EVP_sha256());
}

} // namespace tolvane::digest
