#include "core/gp/card_data.h"

#include "core/base/hex.h"

namespace tolvane::gp {

bool Tlv::constructed() const
{
    unsigned first = tag;
    while (first > 0xFF)
        first >>= 8;
    return (first & 0x20) != 0;
}

std::optional<std::vector<Tlv>> readTlvs(const ByteVector& bytes)
{
    std::vector<Tlv> tlvs;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes[at] == 0x00 || bytes[at] == 0xFF) { // padding between objects
            ++at;
            continue;
        }
        Tlv tlv;
        tlv.tag = bytes[at++];
        if ((tlv.tag & 0x1F) == 0x1F) {
            do {
                if (at >= bytes.size() || tlv.tag > 0xFFFF)
                    return std::nullopt;
                tlv.tag = tlv.tag << 8 | bytes[at];
            } while ((bytes[at++] & 0x80) != 0);
        }
        if (at >= bytes.size())
            return std::nullopt;
        std::size_t length = bytes[at++];
        if (length > 0x80) {
            const std::size_t count = length & 0x7F;
            if (count > 3 || at + count > bytes.size())
                return std::nullopt;
            length = 0;
            for (std::size_t i = 0; i < count; ++i)
                length = length << 8 | bytes[at++];
        } else if (length == 0x80) {
            return std::nullopt;
        }
        if (bytes.size() - at < length)
            return std::nullopt;
        tlv.value.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        tlvs.push_back(std::move(tlv));
    }
    return tlvs;
}

const Tlv* findTlv(const std::vector<Tlv>& tlvs, unsigned tag)
{
    for (const auto& tlv : tlvs) {
        if (tlv.tag == tag)
            return &tlv;
    }
    return nullptr;
}

std::optional<std::size_t> readLargestCommandData(const ByteVector& fci)
{
    const auto outer = readTlvs(fci);
    if (!outer || outer->size() != 1 || outer->front().tag != 0x6F)
        return std::nullopt;
    const auto inner = readTlvs(outer->front().value);
    const Tlv* a5 = inner ? findTlv(*inner, 0xA5) : nullptr;
    const auto proprietary = a5 ? readTlvs(a5->value) : std::nullopt;
    const Tlv* largest = proprietary ? findTlv(*proprietary, 0x9F65) : nullptr;
    if (largest == nullptr || largest->value.empty() || largest->value.size() > 4)
        return std::nullopt;
    std::size_t value = 0;
    for (const auto b : largest->value)
        value = value << 8 | b;
    return value;
}

namespace {

RegistryEntry::Kind kindFor(std::uint8_t p1)
{
    return p1 == 0x80   ? RegistryEntry::Kind::IssuerSecurityDomain
           : p1 == 0x40 ? RegistryEntry::Kind::Application
                        : RegistryEntry::Kind::LoadFile;
}

} // namespace

std::optional<std::vector<RegistryEntry>> readRegistry(const ByteVector& data, std::uint8_t p1, bool tlvForm)
{
    std::vector<RegistryEntry> entries;
    const auto kind = kindFor(p1);
    if (tlvForm) {
        const auto outer = readTlvs(data);
        if (!outer)
            return std::nullopt;
        for (const auto& e3 : *outer) {
            if (e3.tag != 0xE3)
                return std::nullopt;
            const auto inner = readTlvs(e3.value);
            if (!inner)
                return std::nullopt;
            RegistryEntry entry;
            entry.kind = kind;
            for (const auto& tlv : *inner) {
                if (tlv.tag == 0x4F)
                    entry.aid = tlv.value;
                else if (tlv.tag == 0x9F70 && !tlv.value.empty())
                    entry.lifeCycle = tlv.value[0];
                else if (tlv.tag == 0xC5)
                    entry.privileges = tlv.value;
                else if (tlv.tag == 0xC4)
                    entry.loadFile = tlv.value;
                else if (tlv.tag == 0xCC)
                    entry.securityDomain = tlv.value;
                else if (tlv.tag == 0xCE && tlv.value.size() >= 2)
                    entry.version = std::pair<unsigned, unsigned>{tlv.value[0], tlv.value[1]};
                else if (tlv.tag == 0x84)
                    entry.modules.push_back(tlv.value);
            }
            if (entry.aid.empty())
                return std::nullopt;
            entries.push_back(std::move(entry));
        }
        return entries;
    }
    std::size_t at = 0;
    const auto take = [&](std::size_t count) -> std::optional<ByteVector> {
        if (data.size() - at < count)
            return std::nullopt;
        ByteVector out(data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(at + count));
        at += count;
        return out;
    };
    while (at < data.size()) {
        RegistryEntry entry;
        entry.kind = kind;
        const auto length = take(1);
        const auto aid = length ? take((*length)[0]) : std::nullopt;
        const auto state = aid ? take(1) : std::nullopt;
        const auto privileges = state ? take(1) : std::nullopt;
        if (!privileges)
            return std::nullopt;
        entry.aid = *aid;
        entry.lifeCycle = (*state)[0];
        if (kind != RegistryEntry::Kind::LoadFile)
            entry.privileges = *privileges;
        if (p1 == 0x10) {
            const auto count = take(1);
            if (!count)
                return std::nullopt;
            for (unsigned i = 0; i < (*count)[0]; ++i) {
                const auto moduleLength = take(1);
                const auto module = moduleLength ? take((*moduleLength)[0]) : std::nullopt;
                if (!module)
                    return std::nullopt;
                entry.modules.push_back(*module);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string lifeCycleName(RegistryEntry::Kind kind, std::uint8_t state)
{
    switch (kind) {
    case RegistryEntry::Kind::IssuerSecurityDomain:
        switch (state) {
        case 0x01:
            return "OP_READY";
        case 0x07:
            return "INITIALIZED";
        case 0x0F:
            return "SECURED";
        case 0x7F:
            return "CARD_LOCKED";
        case 0xFF:
            return "TERMINATED";
        }
        break;
    case RegistryEntry::Kind::LoadFile:
        if (state == 0x01)
            return "LOADED";
        break;
    case RegistryEntry::Kind::Application:
        if (state == 0x03)
            return "INSTALLED";
        if ((state & 0x83) == 0x83)
            return "LOCKED";
        if (state == 0x07)
            return "SELECTABLE";
        if (state == 0x0F)
            return "PERSONALIZED"; // a security domain: SECURED
        if ((state & 0x07) == 0x07)
            return "SELECTABLE (application state " + byteHex(state) + ")";
        break;
    }
    return "state " + byteHex(state);
}

std::vector<std::string> privilegeNames(const ByteVector& privileges)
{
    static const char* const first[8] = {"SecurityDomain", "DAPVerification",        "DelegatedManagement",
                                         "CardLock",       "CardTerminate",          "CardReset",
                                         "CVMManagement",  "MandatedDAPVerification"};
    static const char* const second[8] = {"TrustedPath", "AuthorizedManagement", "TokenVerification", "GlobalDelete",
                                          "GlobalLock",  "GlobalRegistry",       "FinalApplication",  "GlobalService"};
    static const char* const third[8] = {"ReceiptGeneration",
                                         "CipheredLoadFileDataBlock",
                                         "ContactlessActivation",
                                         "ContactlessSelfActivation",
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr};
    std::vector<std::string> names;
    const char* const* tables[3] = {first, second, third};
    for (std::size_t b = 0; b < privileges.size() && b < 3; ++b)
        for (int bit = 0; bit < 8; ++bit)
            if ((privileges[b] & (0x80 >> bit)) != 0 && tables[b][bit] != nullptr)
                names.emplace_back(tables[b][bit]);
    return names;
}

std::string statusMeaning(std::uint16_t sw)
{
    if ((sw & 0xFF00) == 0x6100)
        return std::to_string(sw & 0xFF) + " more bytes to fetch";
    if ((sw & 0xFF00) == 0x6C00)
        return "wrong Le; the card has " + std::to_string(sw & 0xFF) + " bytes";
    switch (sw) {
    case 0x9000:
        return "done";
    case 0x6283:
        return "the selected application is locked";
    case 0x6310:
        return "more data";
    case 0x6300:
        return "authentication failed";
    case 0x6438:
        return "an imported package is missing";
    case 0x6581:
        return "memory failure";
    case 0x6700:
        return "wrong length";
    case 0x6982:
        return "security status not satisfied";
    case 0x6983:
        return "the key is locked";
    case 0x6985:
        return "conditions of use not satisfied";
    case 0x6A80:
        return "wrong data";
    case 0x6A82:
        return "not found";
    case 0x6A84:
        return "not enough memory";
    case 0x6A86:
        return "wrong P1 P2";
    case 0x6A88:
        return "referenced data not found";
    case 0x6D00:
        return "instruction not supported";
    case 0x6E00:
        return "class not supported";
    case 0x9485:
        return "a key's check value does not match the key";
    }
    return {};
}

std::optional<CardRecognition> readCardRecognition(const ByteVector& data)
{
    auto tlvs = readTlvs(data);
    // 66 { 73 { 06 OID, 60 {06 GP version OID}, 64 {06 SCP OID}, ... } }
    for (int depth = 0; depth < 2 && tlvs && tlvs->size() == 1 && tlvs->front().constructed(); ++depth)
        tlvs = readTlvs(tlvs->front().value);
    if (!tlvs)
        return std::nullopt;
    CardRecognition card;
    for (const auto& tlv : *tlvs) {
        const auto inner = readTlvs(tlv.value);
        if (!inner || inner->empty() || inner->front().tag != 0x06)
            continue;
        const ByteVector& oid = inner->front().value;
        // 2A864886FC6B 02 v.v.v (GlobalPlatform version), 04 scp i
        if (tlv.tag == 0x60 && oid.size() >= 8) {
            for (std::size_t i = 7; i < oid.size(); ++i)
                card.globalPlatform += (card.globalPlatform.empty() ? "" : ".") + std::to_string(oid[i]);
        } else if (tlv.tag == 0x64 && oid.size() >= 9) {
            card.scp = oid[7];
            card.scpI = oid[8];
        }
    }
    return card;
}

std::vector<std::pair<std::string, std::string>> readCplc(const ByteVector& data)
{
    static const std::pair<const char*, std::size_t> fields[] = {
        {"IC fabricator", 2},
        {"IC type", 2},
        {"Operating system ID", 2},
        {"Operating system release date", 2},
        {"Operating system release level", 2},
        {"IC fabrication date", 2},
        {"IC serial number", 4},
        {"IC batch identifier", 2},
        {"IC module fabricator", 2},
        {"IC module packaging date", 2},
        {"ICC manufacturer", 2},
        {"IC embedding date", 2},
        {"IC pre-personalizer", 2},
        {"IC pre-personalization date", 2},
        {"IC pre-personalization equipment identifier", 4},
        {"IC personalizer", 2},
        {"IC personalization date", 2},
        {"IC personalization equipment identifier", 4},
    };
    ByteVector body = data;
    if (const auto tlvs = readTlvs(data); tlvs && tlvs->size() == 1 && tlvs->front().tag == 0x9F7F)
        body = tlvs->front().value;
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t at = 0;
    for (const auto& [name, size] : fields) {
        if (body.size() - at < size)
            break;
        out.emplace_back(name, hexText(tolvane::Bytes(body.data() + at, size), HexCase::Upper));
        at += size;
    }
    return out;
}

std::vector<KeyInfo> readKeyInformation(const ByteVector& data)
{
    std::vector<KeyInfo> keys;
    auto tlvs = readTlvs(data);
    if (tlvs && tlvs->size() == 1 && tlvs->front().tag == 0xE0)
        tlvs = readTlvs(tlvs->front().value);
    if (!tlvs)
        return keys;
    for (const auto& tlv : *tlvs) {
        if (tlv.tag != 0xC0 || tlv.value.size() < 2)
            continue;
        KeyInfo key{tlv.value[0], tlv.value[1], {}};
        for (std::size_t i = 2; i + 1 < tlv.value.size(); i += 2)
            key.components.emplace_back(tlv.value[i], tlv.value[i + 1]);
        keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace tolvane::gp
