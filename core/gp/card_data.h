#pragma once

// What a card says, read: BER-TLV, the registry that GET STATUS lists, the
// card's data objects (CPLC, card recognition data, key information), and
// what each status word means in words.

#include "core/gp/crypto.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::gp {

struct Tlv {
    unsigned tag = 0; // one, two or three bytes, as written (9F70, E3, ...)
    ByteVector value;
    bool constructed() const;
};

// The TLVs of `bytes`, one level deep; nothing where they do not frame.
std::optional<std::vector<Tlv>> readTlvs(const ByteVector& bytes);
// The first TLV with `tag` among `tlvs` (not inside them).
const Tlv* findTlv(const std::vector<Tlv>& tlvs, unsigned tag);

// The largest command data a security domain takes, where its FCI says
// (6F { ..., A5 { ..., 9F65 } }); nothing where it does not, or says more
// than a length can be.
std::optional<std::size_t> readLargestCommandData(const ByteVector& fci);

// One entry of the card's registry.
struct RegistryEntry {
    enum class Kind { IssuerSecurityDomain, Application, LoadFile };
    Kind kind = Kind::Application;
    ByteVector aid;
    std::uint8_t lifeCycle = 0;
    ByteVector privileges;                                // 1 or 3 bytes; none for load files
    std::optional<std::pair<unsigned, unsigned>> version; // load files, where the card says
    std::vector<ByteVector> modules;                      // load files, where the card says
    ByteVector loadFile;                                  // applications, where the card says
    ByteVector securityDomain;                            // its security domain, where the card says
};

// The entries of one GET STATUS answer, in the TLV form (P2 02) or the
// older one (P2 00); `p1` says what was asked for. Nothing where the answer
// does not frame.
std::optional<std::vector<RegistryEntry>> readRegistry(const ByteVector& data, std::uint8_t p1, bool tlvForm);

// Life cycle states and privileges in words, as GlobalPlatform names them.
std::string lifeCycleName(RegistryEntry::Kind kind, std::uint8_t state);
std::vector<std::string> privilegeNames(const ByteVector& privileges);

// A status word in words ("conditions of use not satisfied"); empty for
// one this table does not know.
std::string statusMeaning(std::uint16_t sw);

// The card recognition data (GET DATA 0066), read: the GlobalPlatform
// version and the secure channel protocol with its i.
struct CardRecognition {
    std::string globalPlatform;            // "2.3.1", where the card says
    std::optional<std::uint8_t> scp, scpI; // "02" and "55", ...
};
std::optional<CardRecognition> readCardRecognition(const ByteVector& data);

// The CPLC fields (GET DATA 9F7F) in order, each its name and value in hex.
std::vector<std::pair<std::string, std::string>> readCplc(const ByteVector& data);

// One key of the key information template (GET DATA 00E0).
struct KeyInfo {
    unsigned id = 0, version = 0;
    std::vector<std::pair<std::uint8_t, unsigned>> components; // type, length
};
std::vector<KeyInfo> readKeyInformation(const ByteVector& data);

} // namespace tolvane::gp
