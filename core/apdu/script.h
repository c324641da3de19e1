#pragma once

// The commands a card loader sends for a load file (DELETE, INSTALL [for
// load], the LOAD blocks, INSTALL [for install and make selectable]), and the
// script that carries them to an APDU tool.

#include "core/cap/load_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::apdu {

using ByteVector = std::vector<std::uint8_t>;

enum class HashKind { None, Sha1, Sha256, Sha384, Sha512 };
enum class ScriptFormat { Scriptor, GpShell };

class DapSigner;

// A DAP: the key that signs the Load File Data Block hash, and the security
// domain whose DAP block carries the signature.
struct Dap {
    const DapSigner* signer = nullptr;
    ByteVector securityDomain;
};

struct Options {
    ByteVector securityDomain{0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
    unsigned blockSize = 247;     // leaves room for a secure channel's C-MAC
    std::optional<HashKind> hash; // none by default; SHA-256 with a DAP
    ByteVector privileges{0x00};
    ByteVector parameters; // the application parameters inside C9
    std::optional<ByteVector> instance;
    bool replace = false;
    bool loadOnly = false;
    std::optional<Dap> dap;
    ScriptFormat format = ScriptFormat::Scriptor;
};

// One command of a load, as data: what writes a script and what sends to a
// card both take the same list.
struct Command {
    const char* kind; // "delete", "install_for_load", "load" or "install_for_install"
    ByteVector bytes;
    std::string meaning; // "LOAD block 3 of 12", ...
};

struct Script {
    std::vector<Command> commands;
    HashKind hash = HashKind::None;
    ByteVector hashValue;
    std::optional<std::string> dapAlgorithm; // "rsa-pkcs1-sha1", "rsa-pss-sha256", "ecdsa-p256-sha256", ...
    ByteVector dapSecurityDomain;
    std::string text; // the script, in its format
};

// The commands for `file`, in the order a loader sends them. Throws Error
// (NotLoadable) naming `capPath` where they cannot be made: more than 256
// LOAD blocks (naming a block size that would do), a command of more than
// 255 bytes of data, `instance` for a package of several applets.
Script makeScript(const LoadFile& file, const Options& options, const std::string& capPath);

// The script of `script`'s commands in its format (scriptor or GPShell),
// with comments that say what it does.
std::string writeScript(const Script& script, const LoadFile& file, const Options& options);

// A BER-TLV length: one byte under 128, else 81, 82 or 83 and the length.
ByteVector berLength(std::size_t length);

const char* hashName(HashKind kind); // "none", "sha1", ...

} // namespace tolvane::apdu
