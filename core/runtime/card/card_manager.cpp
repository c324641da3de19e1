#include "core/runtime/card/card_manager.h"

#include "core/base/digest.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/management.h"

#include <sys/random.h>

#include <algorithm>
#include <set>

namespace tolvane::runtime {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

// A key set is blocked after this many failed authentications in a row.
constexpr unsigned authenticationLimit = 10;
// What one answer of GET STATUS carries before it asks for 63 10's next call.
constexpr std::size_t statusRoom = 240;

std::string hex(std::span<const std::uint8_t> bytes)
{
    return hexText(bytes, HexCase::Upper);
}

// A BER-TLV with a one- or two-byte tag and a length of one or two bytes.
Bytes8 tlv(unsigned tag, const Bytes8& value)
{
    Bytes8 out;
    if (tag > 0xFF)
        out.push_back(static_cast<std::uint8_t>(tag >> 8));
    out.push_back(static_cast<std::uint8_t>(tag));
    if (value.size() > 0xFF)
        out.insert(out.end(), {0x82, static_cast<std::uint8_t>(value.size() >> 8)});
    else if (value.size() > 0x7F)
        out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes8 randomBytes(std::size_t count)
{
    Bytes8 bytes(count);
    for (std::size_t done = 0; done < count;) {
        const ssize_t got = getrandom(bytes.data() + done, count - done, 0);
        if (got > 0)
            done += static_cast<std::size_t>(got);
    }
    return bytes;
}

// The length-prefixed fields of INSTALL and the like, read in turn; none
// where a length runs past the data.
std::optional<std::vector<Bytes8>> fields(const Bytes8& data, std::size_t count)
{
    std::vector<Bytes8> out;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (at >= data.size())
            return std::nullopt;
        std::size_t length = data[at++];
        if (length == 0x81 && i == 4 && at < data.size()) // install parameters may take a two-byte length
            length = data[at++];
        if (length > data.size() - at)
            return std::nullopt;
        out.emplace_back(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + length));
        at += length;
    }
    return out;
}

// The value of tag `tag` among the simple TLVs of `data`, if there.
std::optional<Bytes8> simpleTag(const Bytes8& data, std::uint8_t tag)
{
    for (std::size_t at = 0; at + 2 <= data.size();) {
        const std::size_t length = data[at + 1];
        if (at + 2 + length > data.size())
            return std::nullopt;
        if (data[at] == tag)
            return Bytes8(data.begin() + static_cast<long>(at + 2), data.begin() + static_cast<long>(at + 2 + length));
        at += 2 + length;
    }
    return std::nullopt;
}

// A BER length at `at`: its value and the bytes it takes.
std::optional<std::pair<std::size_t, std::size_t>> berLength(const Bytes8& data, std::size_t at)
{
    if (at >= data.size())
        return std::nullopt;
    if (data[at] < 0x80)
        return std::pair<std::size_t, std::size_t>{data[at], 1};
    const std::size_t count = data[at] & 0x7F;
    if (count == 0 || count > 3 || at + count >= data.size())
        return std::nullopt;
    std::size_t value = 0;
    for (std::size_t i = 1; i <= count; ++i)
        value = value << 8 | data[at + i];
    return std::pair<std::size_t, std::size_t>{value, count + 1};
}

// The data of a short command, Lc checked by the caller.
Bytes8 commandData(const Bytes8& command)
{
    if (command.size() <= 5)
        return {};
    return Bytes8(command.begin() + 5, command.begin() + 5 + command[4]);
}

bool startsWith(std::span<const std::uint8_t> aid, std::span<const std::uint8_t> prefix)
{
    return prefix.size() <= aid.size() && std::equal(prefix.begin(), prefix.end(), aid.begin());
}

Bytes8 threeBytes(Bytes8 privileges)
{
    privileges.resize(3, 0x00);
    return privileges;
}

std::uint8_t keyType(gp::Protocol protocol)
{
    return protocol == gp::Protocol::Scp03 ? 0x88 : 0x80;
}

DomainState newDomain(gp::Protocol protocol, unsigned i, unsigned version, const gp::StaticKeys& keys)
{
    DomainState state;
    state.protocol = protocol;
    state.i = i;
    state.keySets.push_back({version, keys});
    return state;
}

} // namespace

const Aid& issuerDomainAid()
{
    static const Aid aid{0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
    return aid;
}

const Aid& domainPackageAid()
{
    return card::securityDomainLoadFile();
}

const Aid& domainModuleAid()
{
    return card::securityDomainModule();
}

CardManager::CardManager(ManagedCard& card, const CardKeys& keys) : card_(card)
{
    gp::StaticKeys initial = keys.keys;
    if (initial.enc.empty())
        initial = {gp::defaultTestKey(), gp::defaultTestKey(), gp::defaultTestKey()};
    RegistryEntry isd;
    isd.kind = RegistryEntry::Kind::Domain;
    isd.aid = issuerDomainAid();
    isd.lifeCycle = life::secured;
    // Security domain, card lock, card terminate, card reset, CVM
    // management; authorized management, global delete, lock and registry,
    // final application, global service; receipt generation.
    isd.privileges = {0x9E, 0xFE, 0x80};
    isd.domain = issuerDomainAid();
    isd.state = newDomain(keys.protocol, keys.i, keys.version, initial);
    registry_.push_back(std::move(isd));
    RegistryEntry package;
    package.kind = RegistryEntry::Kind::LoadFile;
    package.aid = domainPackageAid();
    package.lifeCycle = life::loaded;
    package.domain = issuerDomainAid();
    package.major = 1;
    package.modules = {domainModuleAid()};
    package.builtIn = true;
    registry_.push_back(std::move(package));
}

RegistryEntry* CardManager::find(std::span<const std::uint8_t> aid)
{
    for (auto& entry : registry_)
        if (entry.kind != RegistryEntry::Kind::LoadFile && std::equal(entry.aid.begin(), entry.aid.end(), aid.begin(), aid.end()))
            return &entry;
    return nullptr;
}

RegistryEntry* CardManager::findLoadFile(std::span<const std::uint8_t> aid)
{
    for (auto& entry : registry_)
        if (entry.kind == RegistryEntry::Kind::LoadFile && std::equal(entry.aid.begin(), entry.aid.end(), aid.begin(), aid.end()))
            return &entry;
    return nullptr;
}

std::optional<Aid> CardManager::domainNamed(std::span<const std::uint8_t> name) const
{
    for (const bool whole : {true, false})
        for (const auto& entry : registry_)
            // As for applications, only SELECTABLE and later states select.
            if (entry.kind == RegistryEntry::Kind::Domain && entry.lifeCycle != life::installed && !name.empty() &&
                (whole ? std::equal(entry.aid.begin(), entry.aid.end(), name.begin(), name.end())
                       : startsWith(entry.aid, name)))
                return entry.aid;
    return std::nullopt;
}

std::optional<Platform::Entry> CardManager::entry(const std::vector<std::uint8_t>& aid) const
{
    for (const auto& e : registry_)
        if (e.kind != RegistryEntry::Kind::LoadFile && e.aid == aid)
            return Entry{e.lifeCycle, e.privileges, e.domain, e.kind == RegistryEntry::Kind::Domain};
    return std::nullopt;
}

void CardManager::setState(const std::vector<std::uint8_t>& aid, std::uint8_t state)
{
    if (RegistryEntry* e = find(aid)) {
        e->lifeCycle = state;
        changed_ = true;
    }
}

Response CardManager::securityCommand(const std::vector<std::uint8_t>& domain, std::span<const std::uint8_t> command,
                                      unsigned channel)
{
    Response response;
    RegistryEntry* entry = find(domain);
    const Bytes8 bytes(command.begin(), command.end());
    std::string reason;
    Answer answer{{}, 0x6985};
    if (!entry || entry->kind != RegistryEntry::Kind::Domain)
        reason = "the applet's security domain " + hex(domain) + " is not on the card";
    else if (bytes.size() >= 4 && bytes[1] == 0x50)
        answer = initializeUpdate(bytes, channel, *entry, reason);
    else if (bytes.size() >= 4 && bytes[1] == 0x82)
        answer = externalAuthenticate(bytes, channel, reason);
    response.data = std::move(answer.first);
    response.sw = answer.second;
    response.cardReason = reason;
    return response;
}

void CardManager::save(StateWriter& out) const
{
    out.u32(static_cast<std::uint32_t>(registry_.size()));
    for (const auto& entry : registry_) {
        out.u8(static_cast<std::uint8_t>(entry.kind));
        out.bytes(entry.aid);
        out.u8(entry.lifeCycle);
        out.bytes(entry.privileges);
        out.bytes(entry.domain);
        out.bytes(entry.loadFile);
        out.bytes(entry.module);
        out.u8(static_cast<std::uint8_t>(entry.major));
        out.u8(static_cast<std::uint8_t>(entry.minor));
        for (const auto* list : {&entry.modules, &entry.imports}) {
            out.u32(static_cast<std::uint32_t>(list->size()));
            for (const auto& aid : *list)
                out.bytes(aid);
        }
        out.bytes(entry.block);
        out.u8(entry.builtIn ? 1 : 0);
        out.u8(entry.state ? 1 : 0);
        if (entry.state) {
            const DomainState& state = *entry.state;
            out.u8(static_cast<std::uint8_t>(state.protocol));
            out.u8(static_cast<std::uint8_t>(state.i));
            out.u32(state.counter);
            out.u8(static_cast<std::uint8_t>(state.failures));
            out.u32(static_cast<std::uint32_t>(state.keySets.size()));
            for (const auto& set : state.keySets) {
                out.u8(static_cast<std::uint8_t>(set.version));
                out.bytes(set.keys.enc);
                out.bytes(set.keys.mac);
                out.bytes(set.keys.dek);
            }
        }
    }
    out.bytes(pin_.value);
    out.u8(pin_.format);
    out.u8(pin_.limit);
    out.u8(pin_.tries);
    out.u8(pin_.blocked ? 1 : 0);
    out.u8(historical_ ? 1 : 0);
    if (historical_)
        out.bytes(*historical_);
}

namespace {

// DES keys of 16 bytes under SCP02, AES keys of 16, 24 or 32 under SCP03.
bool keyLengthFits(gp::Protocol protocol, std::size_t length)
{
    return protocol == gp::Protocol::Scp03 ? length == 16 || length == 24 || length == 32 : length == 16;
}

// What the rest of the card manager takes for granted of its registry, checked
// once where a card file gives it: each AID of 5 to 16 bytes and named once,
// a security domain with its keys (each of a length its protocol takes) and
// no state elsewhere, every entry associated with a domain the card has, and
// an application's load file on the card.
void checkRegistry(const std::vector<RegistryEntry>& registry)
{
    const auto named = [&](const Aid& aid, RegistryEntry::Kind kind) {
        return std::any_of(registry.begin(), registry.end(),
                           [&](const RegistryEntry& entry) { return entry.aid == aid && entry.kind == kind; });
    };
    std::set<Aid> seen;
    for (const auto& entry : registry) {
        const std::string what = "the registry entry " + hexText(entry.aid, HexCase::Upper);
        if (entry.aid.size() < 5 || entry.aid.size() > 16)
            throw SnapshotError("a registry entry whose AID has " + std::to_string(entry.aid.size()) + " bytes");
        if (!seen.insert(entry.aid).second)
            throw SnapshotError(what + " is there twice");
        const bool domain = entry.kind == RegistryEntry::Kind::Domain;
        if (domain != entry.state.has_value())
            throw SnapshotError(what + (domain ? ", a security domain without its keys"
                                               : ", no security domain, with a domain's keys"));
        if (entry.state)
            for (const auto& set : entry.state->keySets)
                for (const auto* key : {&set.keys.enc, &set.keys.mac, &set.keys.dek})
                    if (!keyLengthFits(entry.state->protocol, key->size()))
                        throw SnapshotError(what + " has a key of " + std::to_string(key->size()) +
                                            " bytes in key set " + std::to_string(set.version));
        if (&entry != &registry.front() && !named(entry.domain, RegistryEntry::Kind::Domain))
            throw SnapshotError(what + " is associated with no security domain of the card");
        if (entry.kind != RegistryEntry::Kind::LoadFile && &entry != &registry.front() &&
            !named(entry.loadFile, RegistryEntry::Kind::LoadFile))
            throw SnapshotError(what + " comes from no load file of the card");
    }
}

} // namespace

void CardManager::load(StateReader& in)
{
    std::vector<RegistryEntry> registry;
    for (std::size_t n = in.count(16); n > 0; --n) {
        RegistryEntry entry;
        const std::uint8_t kind = in.u8();
        if (kind > static_cast<std::uint8_t>(RegistryEntry::Kind::Domain))
            throw SnapshotError("a registry entry of no kind the card has");
        entry.kind = static_cast<RegistryEntry::Kind>(kind);
        entry.aid = in.bytes();
        entry.lifeCycle = in.u8();
        entry.privileges = in.bytes();
        if (entry.privileges.size() != 3)
            throw SnapshotError("privileges of " + std::to_string(entry.privileges.size()) + " bytes");
        entry.domain = in.bytes();
        entry.loadFile = in.bytes();
        entry.module = in.bytes();
        entry.major = in.u8();
        entry.minor = in.u8();
        for (auto* list : {&entry.modules, &entry.imports})
            for (std::size_t m = in.count(4); m > 0; --m)
                list->push_back(in.bytes());
        entry.block = in.bytes();
        entry.builtIn = in.u8() != 0;
        if (in.u8()) {
            DomainState state;
            const std::uint8_t protocol = in.u8();
            if (protocol != 2 && protocol != 3)
                throw SnapshotError("a security domain of secure channel protocol " + std::to_string(protocol));
            state.protocol = static_cast<gp::Protocol>(protocol);
            state.i = in.u8();
            state.counter = in.u32();
            state.failures = in.u8();
            for (std::size_t k = in.count(13); k > 0; --k) {
                KeySet set;
                set.version = in.u8();
                set.keys.enc = in.bytes();
                set.keys.mac = in.bytes();
                set.keys.dek = in.bytes();
                state.keySets.push_back(std::move(set));
            }
            entry.state = std::move(state);
        }
        registry.push_back(std::move(entry));
    }
    if (registry.empty() || registry.front().aid != issuerDomainAid() || !registry.front().state)
        throw SnapshotError("a registry without the issuer security domain first");
    checkRegistry(registry);
    pin_ = {};
    pin_.value = in.bytes();
    pin_.format = in.u8();
    pin_.limit = in.u8();
    pin_.tries = in.u8();
    pin_.blocked = in.u8() != 0;
    historical_.reset();
    if (in.u8())
        historical_ = in.bytes();
    registry_ = std::move(registry);
    reset();
}

void CardManager::reset()
{
    for (auto& session : sessions_)
        session = {};
    selected_.fill(std::nullopt);
    personalizing_.fill(std::nullopt);
    pending_.reset();
    pin_.verified = pin_.submitted = false;
}

std::vector<std::uint8_t> CardManager::recognitionData(const DomainState& state) const
{
    const Bytes8 gpOid{0x2A, 0x86, 0x48, 0x86, 0xFC, 0x6B};
    const auto oid = [&](std::uint8_t arc, const Bytes8& more) { return tlv(0x06, gp::joined({gpOid, {arc}, more})); };
    const Bytes8 inner =
        gp::joined({oid(0x01, {}), tlv(0x60, oid(0x02, {0x02, 0x03, 0x01})), tlv(0x63, oid(0x03, {})),
                    tlv(0x64, oid(0x04, {static_cast<std::uint8_t>(state.protocol), static_cast<std::uint8_t>(state.i)}))});
    return tlv(0x73, inner);
}

Response CardManager::select(const Aid& domain, unsigned channel)
{
    Response response;
    sessions_[channel] = {};
    RegistryEntry* entry = find(domain);
    if (cardState() == life::terminated) {
        response.sw = 0x6A81;
        response.cardReason = "the card is TERMINATED";
        return response;
    }
    if (entry != &registry_.front() && (cardState() == life::cardLocked || (entry->lifeCycle & life::lockedBit))) {
        response.sw = 0x6999;
        response.cardReason = "security domain " + hex(domain) + " is locked";
        return response;
    }
    selected_[channel] = domain;
    const Bytes8 proprietary = gp::joined({recognitionData(*entry->state), tlv(0x9F65, {0xFF})});
    response.data = tlv(0x6F, gp::joined({tlv(0x84, domain), tlv(0xA5, proprietary)}));
    // A locked card's issuer domain answers with its FCI and the warning
    // 62 83, which says why.
    response.sw = cardState() == life::cardLocked ? 0x6283 : 0x9000;
    return response;
}

Response CardManager::process(std::span<const std::uint8_t> received, unsigned channel)
{
    changed_ = false;
    Response response;
    Bytes8 command(received.begin(), received.end());
    Session& session = sessions_[channel];
    // A command inside the session is checked and deciphered first; one
    // that fails ends the session, as a card ends it.
    const std::uint8_t ins = command[1];
    const bool opening = ins == 0x50 || ins == 0x82;
    if (session.channel && session.channel->isOpen() && !opening) {
        auto plain = session.channel->unwrap(command);
        if (const auto* why = std::get_if<std::string>(&plain)) {
            session = {};
            response.sw = 0x6982;
            response.cardReason = *why + "; the secure channel session is closed";
            return response;
        }
        command = std::get<Bytes8>(plain);
    } else if (gp::secureMessaging(command[0]) && !opening) {
        response.sw = 0x6982;
        response.cardReason = "a command with secure messaging, and no secure channel session is open";
        return response;
    }
    std::string reason;
    diagnostics_.clear();
    auto [data, sw] = dispatch(command, channel, reason);
    response.cardReason = reason;
    response.diagnostics = std::move(diagnostics_);
    if (session.channel && session.channel->isOpen() && !opening)
        data = session.channel->protect(data, sw);
    response.data = std::move(data);
    response.sw = sw;
    return response;
}

CardManager::Answer CardManager::dispatch(const Bytes8& command, unsigned channel, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = std::move(why);
        return Answer{{}, sw};
    };
    RegistryEntry* domain = selected_[channel] ? find(*selected_[channel]) : nullptr;
    if (!domain)
        return refuse(0x6999, "no security domain is selected on logical channel " + std::to_string(channel));
    const std::uint8_t cla = command[0], ins = command[1];
    if (ins == 0xCA)
        return getData(command[2], command[3], *domain, reason);
    if ((cla & 0x80) == 0)
        return refuse(0x6E00, "class " + byteHex(command[0]) + ": the security domain takes GlobalPlatform's class 80");
    const std::size_t lc = command.size() > 5 ? command[4] : 0;
    const bool lengthFits = command.size() <= 5 || command.size() == 5 + lc || command.size() == 6 + lc;
    if (!lengthFits)
        return refuse(0x6700, "Lc " + std::to_string(lc) + " and the command's length disagree");
    if (cardState() == life::terminated)
        return refuse(0x6A81, "the card is TERMINATED");
    switch (ins) {
    case 0x50:
        return initializeUpdate(command, channel, *domain, reason);
    case 0x82:
        return externalAuthenticate(command, channel, reason);
    default:
        break;
    }
    static const std::pair<std::uint8_t, const char*> managed[] = {
        {0xF2, "GET STATUS"}, {0xE6, "INSTALL"}, {0xE8, "LOAD"},       {0xE4, "DELETE"},
        {0xD8, "PUT KEY"},    {0xF0, "SET STATUS"}, {0xE2, "STORE DATA"}};
    const auto known = std::find_if(std::begin(managed), std::end(managed), [&](const auto& m) { return m.first == ins; });
    if (known == std::end(managed))
        return refuse(0x6D00, "instruction " + byteHex(ins) + ", which the security domain does not have");
    const Session& session = sessions_[channel];
    if (!session.channel || !session.channel->isOpen() || session.domain != domain->aid)
        return refuse(0x6982, std::string(known->second) + " needs a secure channel session with security domain " +
                                  hex(domain->aid));
    if (cardState() == life::cardLocked && ins != 0xF0 && ins != 0xF2)
        return refuse(0x6985, std::string(known->second) + " while the card is CARD_LOCKED");
    switch (ins) {
    case 0xF2:
        return getStatus(command, channel, reason);
    case 0xE6:
        return install(command, channel, *domain, reason);
    case 0xE8:
        return load(command, reason);
    case 0xE4:
        return remove(command, channel, reason);
    case 0xD8:
        return putKey(command, channel, *domain, reason);
    case 0xF0:
        return setStatus(command, *domain, reason);
    default:
        return storeData(command, channel, reason);
    }
}

CardManager::Answer CardManager::getData(std::uint8_t p1, std::uint8_t p2, RegistryEntry& domain, std::string& reason)
{
    const DomainState& state = *domain.state;
    switch (p1 << 8 | p2) {
    case 0x0066:
        return {tlv(0x66, recognitionData(state)), 0x9000};
    case 0x9F7F: {
        // Fabricator, type, operating system and its dates, then a serial
        // number: made up, and the same on every simulated card.
        Bytes8 cplc{0x54, 0x4F, 0x4C, 0x56, 0x00, 0x01, 0x62, 0x60, 0x00, 0x01, 0x62, 0x60};
        cplc.resize(42, 0x00);
        return {tlv(0x9F7F, cplc), 0x9000};
    }
    case 0x00E0: {
        Bytes8 info;
        for (const auto& set : state.keySets) {
            const std::uint8_t type = keyType(state.protocol);
            const auto length = static_cast<std::uint8_t>(set.keys.enc.size());
            for (std::uint8_t id = 1; id <= 3; ++id)
                info = gp::joined({info, tlv(0xC0, {id, static_cast<std::uint8_t>(set.version), type, length})});
        }
        return {tlv(0xE0, info), 0x9000};
    }
    case 0x0042:
        return {tlv(0x42, {0x54, 0x4F, 0x4C}), 0x9000};
    case 0x0045:
        return {tlv(0x45, {0x54, 0x4F, 0x4C, 0x56, 0x41, 0x4E, 0x45, 0x00, 0x00, 0x01}), 0x9000};
    case 0x00C1: {
        const std::uint32_t counter = state.counter;
        const Bytes8 value = state.protocol == gp::Protocol::Scp02
                                 ? Bytes8{static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter)}
                                 : Bytes8{static_cast<std::uint8_t>(counter >> 16), static_cast<std::uint8_t>(counter >> 8),
                                          static_cast<std::uint8_t>(counter)};
        return {tlv(0xC1, value), 0x9000};
    }
    default:
        reason = "GET DATA of tag " + byteHex(p1) + byteHex(p2) + ", which the security domain does not keep";
        return {{}, 0x6A88};
    }
}

CardManager::Answer CardManager::initializeUpdate(const Bytes8& command, unsigned channel, RegistryEntry& domain,
                                                  std::string& reason)
{
    sessions_[channel] = {};
    if (command.size() < 13 || command[4] != 8) {
        reason = "INITIALIZE UPDATE carries the host's challenge, 8 bytes";
        return {{}, 0x6700};
    }
    DomainState& state = *domain.state;
    const unsigned version = command[2];
    const auto set = std::find_if(state.keySets.begin(), state.keySets.end(),
                                  [&](const KeySet& s) { return version == 0 || s.version == version; });
    if (set == state.keySets.end()) {
        reason = "no key set of version " + byteHex(static_cast<std::uint8_t>(version));
        return {{}, 0x6A88};
    }
    if (state.failures >= authenticationLimit) {
        reason = "the key set is blocked after " + std::to_string(authenticationLimit) + " failed authentications";
        return {{}, 0x6983};
    }
    gp::CardChannelSetup setup;
    setup.protocol = state.protocol;
    setup.i = state.i;
    setup.keyVersion = set->version;
    setup.diversificationData = {0x54, 0x4F, 0x4C, 0x56, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    setup.sdAid = domain.aid;
    setup.random = randomBytes(8);
    // The sequence counter never wraps: a session with a counter used
    // before would repeat that session's challenge, and its recording replay.
    const bool scp02 = state.protocol == gp::Protocol::Scp02;
    if ((scp02 && state.counter > 0xFFFF) || (!scp02 && (state.i & 0x10) && state.counter >= 0xFFFFFF)) {
        reason = "the key set's sequence counter is at the end of its range: the key set opens no more sessions";
        return {{}, 0x6985};
    }
    if (state.protocol == gp::Protocol::Scp03 && (state.i & 0x10)) {
        // Each pseudo-random challenge is made from a counter of its own.
        ++state.counter;
        changed_ = true;
    }
    const std::uint32_t counter = state.counter;
    setup.counter = state.protocol == gp::Protocol::Scp02
                        ? Bytes8{static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter)}
                        : Bytes8{static_cast<std::uint8_t>(counter >> 16), static_cast<std::uint8_t>(counter >> 8),
                                 static_cast<std::uint8_t>(counter)};
    const Bytes8 host(command.begin() + 5, command.begin() + 13);
    sessions_[channel].channel = std::make_unique<gp::CardChannel>(set->keys, setup, host);
    sessions_[channel].domain = domain.aid;
    return {sessions_[channel].channel->answer(), 0x9000};
}

CardManager::Answer CardManager::externalAuthenticate(const Bytes8& command, unsigned channel, std::string& reason)
{
    Session& session = sessions_[channel];
    if (!session.channel || session.channel->isOpen()) {
        session = {};
        reason = "EXTERNAL AUTHENTICATE without INITIALIZE UPDATE just before it";
        return {{}, 0x6985};
    }
    RegistryEntry* domain = find(session.domain);
    if (!domain) {
        session = {};
        reason = "the security domain of the session is gone";
        return {{}, 0x6985};
    }
    DomainState& state = *domain->state;
    const auto [outcome, why] = session.channel->authenticate(command);
    if (outcome != gp::Authentication::Open) {
        session = {};
        reason = why;
        if (outcome == gp::Authentication::Malformed)
            return {{}, static_cast<std::uint16_t>(command.size() == 21 || command.size() == 22 ? 0x6E00 : 0x6700)};
        if (outcome == gp::Authentication::LevelRefused)
            return {{}, 0x6A86};
        changed_ = true;
        ++state.failures;
        reason = why + " (" + std::to_string(state.failures) + " of " + std::to_string(authenticationLimit) +
                 " failed authentications before the key set is blocked)";
        return {{}, 0x6300};
    }
    changed_ = true;
    state.failures = 0;
    if (state.protocol == gp::Protocol::Scp02)
        ++state.counter; // past FFFF, no more sessions
    return {{}, 0x9000};
}

CardManager::Answer CardManager::getStatus(const Bytes8& command, unsigned channel, std::string& reason)
{
    auto& left = sessions_[channel].statusLeft;
    const std::uint8_t p1 = command[2], p2 = command[3];
    if (p2 & 0x01) {
        if (left.empty()) {
            reason = "GET STATUS asked for the next entries, and there are none left";
            return {{}, 0x6A88};
        }
    } else {
        left.clear();
        if (p1 != 0x80 && p1 != 0x40 && p1 != 0x20 && p1 != 0x10) {
            reason = "GET STATUS with P1 " + byteHex(p1) + ": 80, 40, 20 or 10";
            return {{}, 0x6A86};
        }
        if ((p2 & 0xFC) != 0) {
            reason = "GET STATUS with P2 " + byteHex(p2) + ": 00 or 02, with 01 for the next entries";
            return {{}, 0x6A86};
        }
        const Bytes8 prefix = simpleTag(commandData(command), 0x4F).value_or(Bytes8{});
        const bool tlvForm = (p2 & 0x02) != 0;
        for (const auto& entry : registry_) {
            const bool isd = &entry == &registry_.front();
            const bool wanted = p1 == 0x80 ? isd
                                : p1 == 0x40 ? !isd && entry.kind != RegistryEntry::Kind::LoadFile
                                             : entry.kind == RegistryEntry::Kind::LoadFile;
            if (!wanted || !startsWith(entry.aid, prefix))
                continue;
            Bytes8 out;
            const bool loadFile = entry.kind == RegistryEntry::Kind::LoadFile;
            if (tlvForm) {
                out = gp::joined({tlv(0x4F, entry.aid), tlv(0x9F70, {entry.lifeCycle})});
                if (!loadFile)
                    out = gp::joined({out, tlv(0xC5, entry.privileges)});
                if (entry.kind == RegistryEntry::Kind::Application)
                    out = gp::joined({out, tlv(0xC4, entry.loadFile)});
                if (loadFile)
                    out = gp::joined({out, tlv(0xCE, {static_cast<std::uint8_t>(entry.major),
                                                      static_cast<std::uint8_t>(entry.minor)})});
                out = gp::joined({out, tlv(0xCC, entry.domain)});
                if (p1 == 0x10)
                    for (const auto& module : entry.modules)
                        out = gp::joined({out, tlv(0x84, module)});
                out = tlv(0xE3, out);
            } else {
                out.push_back(static_cast<std::uint8_t>(entry.aid.size()));
                out.insert(out.end(), entry.aid.begin(), entry.aid.end());
                out.push_back(entry.lifeCycle);
                out.push_back(loadFile ? 0x00 : entry.privileges[0]);
                if (p1 == 0x10) {
                    out.push_back(static_cast<std::uint8_t>(entry.modules.size()));
                    for (const auto& module : entry.modules) {
                        out.push_back(static_cast<std::uint8_t>(module.size()));
                        out.insert(out.end(), module.begin(), module.end());
                    }
                }
            }
            left.push_back(std::move(out));
        }
        if (left.empty()) {
            reason = "GET STATUS: nothing of that kind" + (prefix.empty() ? std::string() : " with AID " + hex(prefix)) +
                     " is on the card";
            return {{}, 0x6A88};
        }
    }
    Bytes8 answer;
    std::size_t taken = 0;
    // An entry longer than the room goes whole, alone, in a part of its own.
    while (taken < left.size() && (taken == 0 || answer.size() + left[taken].size() <= statusRoom)) {
        answer.insert(answer.end(), left[taken].begin(), left[taken].end());
        ++taken;
    }
    left.erase(left.begin(), left.begin() + static_cast<long>(taken));
    return {answer, left.empty() ? std::uint16_t{0x9000} : std::uint16_t{0x6310}};
}

// INSTALL, by what P1 asks for. Each refusal's reason begins "INSTALL".
CardManager::Answer CardManager::install(const Bytes8& command, unsigned channel, RegistryEntry& domainEntry,
                                         std::string& reason)
{
    const std::uint8_t p1 = command[2];
    const Bytes8 data = commandData(command);
    const Aid domain = domainEntry.aid; // the entry may move as the registry grows
    Answer answer;
    switch (p1) {
    case 0x02:
        answer = installForLoad(data, domain, reason);
        break;
    case 0x10:
        answer = extradite(data, reason);
        break;
    case 0x20:
        answer = beginPersonalization(data, channel, domain, reason);
        break;
    case 0x40:
        answer = updateRegistry(data, reason);
        break;
    default:
        if ((p1 & ~0x0E) != 0 || !(p1 & 0x0C)) {
            reason = "with P1 " + byteHex(p1) + ", which names no INSTALL this card serves";
            answer = {{}, 0x6A86};
        } else {
            answer = installAndMakeSelectable(data, p1, domain, reason);
        }
    }
    if (!reason.empty())
        reason = "INSTALL " + reason;
    return answer;
}

CardManager::Answer CardManager::installForLoad(const Bytes8& data, const Aid& domain, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "[for load]: " + std::move(why);
        return Answer{{}, sw};
    };
    const auto parts = fields(data, 5);
    if (!parts)
        return refuse(0x6A80, "fields that run past its data");
    const Bytes8& aid = (*parts)[0];
    if (aid.size() < 5 || aid.size() > 16)
        return refuse(0x6A80, "a load file AID of " + std::to_string(aid.size()) + " bytes (5 to 16)");
    if (findLoadFile(aid))
        return refuse(0x6985, "the card holds load file " + hex(aid) + " already");
    const Aid loadDomain = (*parts)[1].empty() ? domain : (*parts)[1];
    const RegistryEntry* target = find(loadDomain);
    if (!target || target->kind != RegistryEntry::Kind::Domain)
        return refuse(0x6A88, "no security domain " + hex(loadDomain) + " to load under");
    pending_ = PendingLoad{aid, loadDomain, (*parts)[2], 0, {}};
    return {{0x00}, 0x9000};
}

CardManager::Answer CardManager::extradite(const Bytes8& data, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "[for extradition]: " + std::move(why);
        return Answer{{}, sw};
    };
    const auto parts = fields(data, 3);
    if (!parts)
        return refuse(0x6A80, "fields that run past its data");
    const RegistryEntry* to = find((*parts)[0]);
    RegistryEntry* what = find((*parts)[2]) ? find((*parts)[2]) : findLoadFile((*parts)[2]);
    if (!to || to->kind != RegistryEntry::Kind::Domain)
        return refuse(0x6A88, "no security domain " + hex((*parts)[0]));
    if (!what || what == &registry_.front())
        return refuse(0x6A88, "nothing to move named " + hex((*parts)[2]));
    what->domain = to->aid;
    changed_ = true;
    return {{0x00}, 0x9000};
}

CardManager::Answer CardManager::beginPersonalization(const Bytes8& data, unsigned channel, const Aid& domain,
                                                      std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "[for personalization]: " + std::move(why);
        return Answer{{}, sw};
    };
    const auto parts = fields(data, 3);
    if (!parts)
        return refuse(0x6A80, "fields that run past its data");
    const RegistryEntry* application = find((*parts)[2]);
    if (!application || application->kind != RegistryEntry::Kind::Application)
        return refuse(0x6A88, "no application " + hex((*parts)[2]));
    if (application->domain != domain)
        return refuse(0x6985, hex((*parts)[2]) + " is associated with another security domain, " +
                                  hex(application->domain));
    personalizing_[channel] = application->aid;
    return {{0x00}, 0x9000};
}

// The application's new privileges, and its new security domain where one
// is named.
CardManager::Answer CardManager::updateRegistry(const Bytes8& data, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "[for registry update]: " + std::move(why);
        return Answer{{}, sw};
    };
    const auto parts = fields(data, 4);
    if (!parts)
        return refuse(0x6A80, "fields that run past its data");
    RegistryEntry* application = find((*parts)[2]);
    if (!application || application == &registry_.front())
        return refuse(0x6A88, "no application " + hex((*parts)[2]));
    const Bytes8& domain = (*parts)[0];
    if (!domain.empty()) {
        const RegistryEntry* to = find(domain);
        if (!to || to->kind != RegistryEntry::Kind::Domain)
            return refuse(0x6A88, "no security domain " + hex(domain));
        application->domain = domain;
    }
    if (!(*parts)[3].empty())
        application->privileges = threeBytes((*parts)[3]);
    changed_ = true;
    return {{0x00}, 0x9000};
}

// INSTALL [for install], [for make selectable], or both.
CardManager::Answer CardManager::installAndMakeSelectable(const Bytes8& data, std::uint8_t p1, const Aid& domain,
                                                          std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = (p1 & 0x04 ? "[for install]: " : "") + std::move(why);
        return Answer{{}, sw};
    };
    const auto parts = fields(data, 5);
    if (!parts)
        return refuse(0x6A80, "fields that run past its data");
    const Bytes8 &loadFileAid = (*parts)[0], &module = (*parts)[1], &instance = (*parts)[2];
    const Bytes8 privileges = threeBytes((*parts)[3].empty() ? Bytes8{0x00} : (*parts)[3]);
    const Bytes8& parameters = (*parts)[4];
    if (!(p1 & 0x04)) { // make selectable alone
        RegistryEntry* entry = find(instance);
        if (!entry || entry->kind == RegistryEntry::Kind::LoadFile)
            return refuse(0x6A88, "[for make selectable]: no application " + hex(instance));
        // An application selectable already takes the privileges alone, as
        // a loader sends them to make it the default one.
        if (entry->lifeCycle == life::installed)
            entry->lifeCycle = life::selectable;
        entry->privileges[0] |= privileges[0];
        changed_ = true;
        return {{0x00}, 0x9000};
    }
    const RegistryEntry* file = findLoadFile(loadFileAid);
    if (!file)
        return refuse(0x6A88, "no load file " + hex(loadFileAid) + " on the card");
    if (std::find(file->modules.begin(), file->modules.end(), module) == file->modules.end())
        return refuse(0x6A88, "load file " + hex(loadFileAid) + " has no module " + hex(module));
    if (instance.empty() || instance.size() > 16)
        return refuse(0x6A80, "an instance AID of " + std::to_string(instance.size()) + " bytes (5 to 16)");
    if (find(instance))
        return refuse(0x6985, "the card holds " + hex(instance) + " already");
    const bool selectable = (p1 & 0x08) != 0;
    if (file->builtIn) {
        // A supplementary security domain: its own key set, the default
        // test key, under the protocol its parameters name (81 scp i), else
        // the issuer domain's.
        if (!(privileges[0] & 0x80))
            return refuse(0x6A80, "the security domain module makes security domains: privileges " + hex(privileges) +
                                      " lack the security domain privilege (80)");
        const DomainState& isd = *registry_.front().state;
        gp::Protocol protocol = isd.protocol;
        unsigned i = isd.i;
        if (const auto scp = simpleTag(parameters, 0x81); scp && scp->size() == 2 && (scp->at(0) == 2 || scp->at(0) == 3)) {
            protocol = static_cast<gp::Protocol>(scp->at(0));
            i = scp->at(1);
        }
        const Bytes8 key = gp::defaultTestKey();
        RegistryEntry sd;
        sd.kind = RegistryEntry::Kind::Domain;
        sd.aid = instance;
        sd.lifeCycle = selectable ? life::personalized : life::installed;
        sd.privileges = privileges;
        sd.domain = domain;
        sd.loadFile = loadFileAid;
        sd.module = module;
        sd.state = newDomain(protocol, i, 0x01, {key, key, key});
        registry_.push_back(std::move(sd));
        changed_ = true;
        return {{0x00}, 0x9000};
    }
    // The applet's own parameters are what C9 holds.
    const Bytes8 appletParameters = simpleTag(parameters, 0xC9).value_or(Bytes8{});
    try {
        card_.installApplet(module, instance, privileges, appletParameters, domain, selectable);
    } catch (const Error& error) {
        std::string why = error.message();
        for (const auto& line : error.followingLines())
            why += "\n" + line;
        return refuse(0x6A80, why);
    }
    changed_ = true;
    return {{0x00}, 0x9000};
}

CardManager::Answer CardManager::storeData(const Bytes8& command, unsigned channel, std::string& reason)
{
    if (!personalizing_[channel]) {
        reason = "STORE DATA without INSTALL [for personalization] before it: the security domain keeps no data";
        return {{}, 0x6985};
    }
    const Aid application = *personalizing_[channel];
    if (command[2] & 0x80) // the last block
        personalizing_[channel].reset();
    Response answer = card_.personalize(application, command);
    reason = answer.cardReason;
    diagnostics_ = std::move(answer.diagnostics);
    changed_ = true;
    return {answer.data, answer.sw};
}

CardManager::Answer CardManager::load(const Bytes8& command, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        pending_.reset();
        reason = "LOAD: " + std::move(why);
        return Answer{{}, sw};
    };
    if (!pending_)
        return refuse(0x6985, "no INSTALL [for load] before it");
    const std::uint8_t p1 = command[2], p2 = command[3];
    if (p2 != pending_->nextBlock)
        return refuse(0x6A86, "block " + std::to_string(p2) + " where block " + std::to_string(pending_->nextBlock) +
                                  " was next; the load is abandoned");
    if (p1 != 0x00 && p1 != 0x80)
        return refuse(0x6A86, "P1 " + byteHex(p1) + ": 00 for more blocks, 80 for the last");
    if (command.size() > 5)
        pending_->bytes.insert(pending_->bytes.end(), command.begin() + 5, command.begin() + 5 + command[4]);
    ++pending_->nextBlock;
    if (p1 == 0x00)
        return {{}, 0x9000};
    // The last block: any DAP blocks (E2), then the Load File Data Block (C4).
    const Bytes8& stream = pending_->bytes;
    std::size_t at = 0;
    while (at < stream.size() && stream[at] == 0xE2) {
        const auto length = berLength(stream, at + 1);
        if (!length || at + 1 + length->second + length->first > stream.size())
            return refuse(0x6A80, "a DAP block whose length runs past the load");
        at += 1 + length->second + length->first;
    }
    if (at >= stream.size() || stream[at] != 0xC4)
        return refuse(0x6A80, "no Load File Data Block (tag C4) in what was loaded");
    const auto length = berLength(stream, at + 1);
    if (!length || at + 1 + length->second + length->first != stream.size())
        return refuse(0x6A80, "the Load File Data Block's length (tag C4) and the bytes loaded disagree");
    const Bytes8 block(stream.begin() + static_cast<long>(at + 1 + length->second), stream.end());
    const Bytes8& hash = pending_->hash;
    if (!hash.empty()) {
        const auto algorithm = hash.size() == 20   ? digest::Algorithm::Sha1
                               : hash.size() == 32 ? digest::Algorithm::Sha256
                               : hash.size() == 48 ? digest::Algorithm::Sha384
                                                   : digest::Algorithm::Sha512;
        if (hash.size() != 20 && hash.size() != 32 && hash.size() != 48 && hash.size() != 64)
            return refuse(0x6A80, "a load file hash of " + std::to_string(hash.size()) + " bytes");
        if (digest::of(algorithm, block) != hash)
            return refuse(0x6A80, "the Load File Data Block's hash is not the one INSTALL [for load] gave");
    }
    const PendingLoad loaded = std::move(*pending_);
    pending_.reset();
    try {
        card_.linkBlock(block, loaded.aid, loaded.domain);
    } catch (const Error& error) {
        std::string why = error.message();
        for (const auto& line : error.followingLines())
            why += "\n" + line;
        // An import the card lacks is 64 38, as cards answer it; anything else the linker refuses, 6A 80.
        const bool missing = why.find("which is not on the card") != std::string::npos;
        return refuse(missing ? 0x6438 : 0x6A80, why);
    }
    changed_ = true;
    return {{0x00}, 0x9000};
}

CardManager::Answer CardManager::remove(const Bytes8& command, unsigned channel, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "DELETE: " + std::move(why);
        return Answer{{}, sw};
    };
    const Bytes8 data = commandData(command);
    const auto aid = simpleTag(data, 0x4F);
    if (!aid || aid->empty())
        return refuse(0x6A80, "no AID (tag 4F) to delete");
    const bool related = (command[3] & 0x80) != 0;
    // An application may share its load file's AID: with related objects
    // asked for, the load file is meant.
    RegistryEntry* entry = related && findLoadFile(*aid) ? findLoadFile(*aid) : find(*aid);
    if (!entry)
        entry = findLoadFile(*aid);
    if (!entry || entry->builtIn)
        return refuse(0x6A88, "nothing on the card has AID " + hex(*aid));
    if (entry == &registry_.front())
        return refuse(0x6985, "the issuer security domain is not deleted");
    // What goes with it: a load file's applications where related objects
    // are asked for, a security domain's associated applications never.
    const bool deletingLoadFile = entry->kind == RegistryEntry::Kind::LoadFile;
    std::vector<Aid> going;
    if (entry->kind == RegistryEntry::Kind::LoadFile) {
        for (const auto& other : registry_)
            if (other.kind == RegistryEntry::Kind::LoadFile && &other != entry &&
                std::find(other.imports.begin(), other.imports.end(), *aid) != other.imports.end())
                return refuse(0x6985, "load file " + hex(other.aid) + " imports " + hex(*aid));
        for (const auto& other : registry_)
            if (other.kind != RegistryEntry::Kind::LoadFile && other.loadFile == *aid) {
                if (!related)
                    return refuse(0x6985, "application " + hex(other.aid) + " of load file " + hex(*aid) +
                                              " is on the card (P2 80 deletes it too)");
                going.push_back(other.aid);
            }
    } else {
        if (entry->kind == RegistryEntry::Kind::Domain)
            for (const auto& other : registry_)
                if (&other != entry && other.domain == *aid)
                    return refuse(0x6985, hex(other.aid) + " is associated with security domain " + hex(*aid));
        going.push_back(*aid);
    }
    for (const auto& instance : going) {
        if (card_.selectedElsewhere(instance, channel))
            return refuse(0x6985, "application " + hex(instance) + " is selected on another logical channel");
        for (unsigned other = 0; other < selected_.size(); ++other)
            if (other != channel && selected_[other] == instance)
                return refuse(0x6985, "security domain " + hex(instance) + " is selected on another logical channel");
    }
    // Refused, nothing changes: what still reaches the package's objects is
    // found before any application goes.
    if (deletingLoadFile && !card_.packageRemovable(*aid, going))
        return refuse(0x6985, "objects of load file " + hex(*aid) + " are still in use");
    for (const auto& instance : going) {
        const auto at = std::find_if(registry_.begin(), registry_.end(), [&](const RegistryEntry& e) {
            return e.aid == instance && e.kind != RegistryEntry::Kind::LoadFile;
        });
        if (at->kind == RegistryEntry::Kind::Application)
            card_.removeInstance(instance);
        registry_.erase(at);
    }
    changed_ = true;
    if (const RegistryEntry* file = deletingLoadFile ? findLoadFile(*aid) : nullptr) {
        if (!card_.removePackage(*aid))
            return refuse(0x6985, "objects of load file " + hex(*aid) + " are still in use");
        registry_.erase(registry_.begin() + (file - registry_.data()));
    }
    return {{0x00}, 0x9000};
}

CardManager::Answer CardManager::putKey(const Bytes8& command, unsigned channel, RegistryEntry& domain,
                                        std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "PUT KEY: " + std::move(why);
        return Answer{{}, sw};
    };
    DomainState& state = *domain.state;
    const gp::CardChannel& session = *sessions_[channel].channel;
    const std::uint8_t p1 = command[2], p2 = command[3];
    if ((p2 & 0x7F) != 0x01 || !(p2 & 0x80))
        return refuse(0x6A86, "P2 " + byteHex(p2) + ": this card takes the three keys at once (81)");
    const Bytes8 data = commandData(command);
    if (data.empty())
        return refuse(0x6A80, "no data");
    const unsigned version = data[0];
    if (version == 0 || version > 0x7F)
        return refuse(0x6A80, "key version " + byteHex(static_cast<std::uint8_t>(version)) + " (01 to 7F)");
    const bool aes = state.protocol == gp::Protocol::Scp03;
    std::vector<Bytes8> keys, checks;
    std::size_t at = 1;
    for (int k = 0; k < 3; ++k) {
        if (at + 2 > data.size())
            return refuse(0x6A80, "three keys, and the data holds " + std::to_string(k));
        const std::uint8_t type = data[at];
        if (type != keyType(state.protocol))
            return refuse(0x6A80, "key type " + byteHex(type) + " in a domain whose keys are " +
                                      (aes ? "AES (88)" : "DES (80)"));
        const std::size_t length = data[at + 1];
        if (at + 2 + length + 1 > data.size())
            return refuse(0x6A80, "a key whose length runs past the data");
        std::size_t keyLength = length;
        Bytes8 encrypted(data.begin() + static_cast<long>(at + 2), data.begin() + static_cast<long>(at + 2 + length));
        if (aes) {
            if (encrypted.empty())
                return refuse(0x6A80, "an AES key without its length");
            keyLength = encrypted.front();
            encrypted.erase(encrypted.begin());
        }
        if (!keyLengthFits(state.protocol, keyLength) || encrypted.size() % (aes ? 16 : 8) != 0 ||
            encrypted.size() < keyLength)
            return refuse(0x6A80, "a key of " + std::to_string(keyLength) + " bytes");
        Bytes8 key = session.decryptKey(encrypted);
        key.resize(keyLength);
        at += 2 + length;
        const std::size_t checkLength = data[at++];
        if (at + checkLength > data.size())
            return refuse(0x6A80, "a check value that runs past the data");
        const Bytes8 check(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + checkLength));
        at += checkLength;
        if (checkLength != 0 && check != gp::checkValue(key, aes))
            return refuse(0x6A80, "key " + std::to_string(k + 1) + "'s check value is not that of the key sent");
        keys.push_back(key);
        checks.push_back(gp::checkValue(key, aes));
    }
    if (keys[0].size() != keys[1].size() || keys[1].size() != keys[2].size())
        return refuse(0x6A80, "keys of different lengths in one key set");
    const auto existing = [&](unsigned v) {
        return std::find_if(state.keySets.begin(), state.keySets.end(), [&](const KeySet& s) { return s.version == v; });
    };
    if (p1 == 0x00) {
        if (existing(version) != state.keySets.end())
            return refuse(0x6A80, "a key set of version " + byteHex(static_cast<std::uint8_t>(version)) +
                                      " is there already (P1 names the version to replace)");
        state.keySets.push_back({version, {keys[0], keys[1], keys[2]}});
    } else {
        const auto replaced = existing(p1);
        if (replaced == state.keySets.end())
            return refuse(0x6A88, "no key set of version " + byteHex(p1) + " to replace");
        if (version != p1 && existing(version) != state.keySets.end())
            return refuse(0x6A80, "a key set of version " + byteHex(static_cast<std::uint8_t>(version)) +
                                      " is there already");
        *replaced = {version, {keys[0], keys[1], keys[2]}};
    }
    changed_ = true;
    return {gp::joined({{static_cast<std::uint8_t>(version)}, checks[0], checks[1], checks[2]}), 0x9000};
}

CardManager::Answer CardManager::setStatus(const Bytes8& command, RegistryEntry& domain, std::string& reason)
{
    const auto refuse = [&](std::uint16_t sw, std::string why) {
        reason = "SET STATUS: " + std::move(why);
        return Answer{{}, sw};
    };
    const std::uint8_t p1 = command[2], p2 = command[3];
    const Bytes8 data = commandData(command);
    if (p1 == 0x80) {
        if (&domain != &registry_.front())
            return refuse(0x6985, "the card's life cycle is the issuer security domain's to change");
        const std::uint8_t from = cardState();
        const bool allowed = p2 == life::terminated || (from == life::opReady && p2 == life::initialized) ||
                             (from == life::initialized && p2 == life::secured) ||
                             (from == life::secured && p2 == life::cardLocked) ||
                             (from == life::cardLocked && p2 == life::secured);
        if (!allowed)
            return refuse(0x6985, "the card cannot go from " + byteHex(from) + " to " + byteHex(p2));
        setCardState(p2);
        changed_ = true;
        return {{}, 0x9000};
    }
    if (p1 != 0x40 && p1 != 0x60)
        return refuse(0x6A86, "P1 " + byteHex(p1) + ": 80 the card, 40 an application, 60 a domain and its own");
    RegistryEntry* entry = find(data);
    if (!entry || entry->kind == RegistryEntry::Kind::LoadFile)
        return refuse(0x6A88, "no application or security domain " + hex(data));
    if (entry == &registry_.front())
        return refuse(0x6985, "the issuer security domain's state is the card's");
    const auto apply = [&](RegistryEntry& target) -> std::optional<std::string> {
        if (p2 & life::lockedBit) {
            target.lifeCycle |= life::lockedBit;
        } else if (p2 == 0x00) {
            target.lifeCycle &= static_cast<std::uint8_t>(~life::lockedBit);
        } else {
            if ((p2 & 0x07) != 0x07 || (target.lifeCycle & life::lockedBit) || target.lifeCycle == life::installed)
                return "application state " + byteHex(p2) + " for " + hex(target.aid) + " in state " +
                       byteHex(target.lifeCycle);
            target.lifeCycle = p2;
        }
        return std::nullopt;
    };
    if (const auto problem = apply(*entry))
        return refuse(0x6985, *problem);
    if (p1 == 0x60)
        for (auto& other : registry_)
            if (&other != entry && other.domain == entry->aid && other.kind != RegistryEntry::Kind::LoadFile)
                apply(other);
    changed_ = true;
    return {{}, 0x9000};
}

} // namespace tolvane::runtime
