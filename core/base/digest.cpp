#include "core/base/digest.h"

#include "core/base/hex.h"

#include <openssl/evp.h>
#include <stdexcept>

namespace tolvane::digest {

std::vector<std::uint8_t> of(Algorithm algorithm, Bytes bytes)
{
    const EVP_MD* md = algorithm == Algorithm::Sha1     ? EVP_sha1()
                       : algorithm == Algorithm::Sha256 ? EVP_sha256()
                       : algorithm == Algorithm::Sha384 ? EVP_sha384()
                                                        : EVP_sha512();
    std::vector<std::uint8_t> value(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), value.data(), &length, md, nullptr) != 1)
        throw std::runtime_error("The digest cannot be computed");
    value.resize(length);
    return value;
}

std::string sha1Hex(Bytes bytes)
{
    const auto value = of(Algorithm::Sha1, bytes);
    return hexText(Bytes(value.data(), value.size()), HexCase::Lower);
}

std::string sha256Hex(Bytes bytes)
{
    const auto value = of(Algorithm::Sha256, bytes);
    return hexText(Bytes(value.data(), value.size()), HexCase::Lower);
}

} // namespace tolvane::digest
