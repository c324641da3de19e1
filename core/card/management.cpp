#include "core/card/management.h"

#include "core/base/hex.h"

#include <algorithm>

namespace tolvane::card {
namespace {

std::string hex(const ByteVector& bytes)
{
    return hexText(bytes, HexCase::Upper);
}

ByteVector withLength(const ByteVector& bytes)
{
    return gp::joined({{static_cast<std::uint8_t>(bytes.size())}, bytes});
}

// A case 3 command of class 80: header, Lc, data.
ByteVector command(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const ByteVector& data)
{
    return gp::joined({{0x80, ins, p1, p2, static_cast<std::uint8_t>(data.size())}, data});
}

// Sends `apdu`; anything but 90 00 is an error naming `what`.
Response demand(Session& session, const ByteVector& apdu, const std::string& kind, const std::string& what,
                const std::string& hint = {})
{
    const Response response = session.send(apdu, kind);
    if (!response.ok())
        throw refusal(session.transport().reader(), kind + (what.empty() ? "" : " of " + what), response.sw, hint);
    return response;
}

std::string joinedHex(const std::vector<ByteVector>& values)
{
    std::string text;
    for (const auto& value : values)
        text += (text.empty() ? "" : " ") + hex(value);
    return text;
}

bool lists(const std::vector<gp::RegistryEntry>& entries, const ByteVector& aid)
{
    return std::any_of(entries.begin(), entries.end(), [&](const gp::RegistryEntry& e) { return e.aid == aid; });
}

// INSTALL's data: each field with its length, the install parameters in C9.
ByteVector installData(const ByteVector& loadFile, const ByteVector& module, const ByteVector& instance,
                       const ByteVector& privileges, const ByteVector& parameters)
{
    return gp::joined({withLength(loadFile),
                       withLength(module),
                       withLength(instance),
                       withLength(privileges),
                       withLength(parameters),
                       {0x00}});
}

} // namespace

std::string keyTypeName(gp::Protocol protocol, std::size_t length)
{
    return protocol == gp::Protocol::Scp02 ? "DES" : "AES-" + std::to_string(length * 8);
}

std::optional<std::string> keyProblem(gp::Protocol protocol, const gp::StaticKeys& keys)
{
    const std::size_t n = keys.enc.size();
    if (keys.mac.size() != n || keys.dek.size() != n)
        return "the new keys differ in length (" + std::to_string(keys.enc.size()) + ", " +
               std::to_string(keys.mac.size()) + " and " + std::to_string(keys.dek.size()) +
               " bytes): a key set's three keys are of one length";
    if (protocol == gp::Protocol::Scp02 && n != 16)
        return "an SCP02 card takes DES keys of 16 bytes, and the new keys have " + std::to_string(n);
    if (protocol == gp::Protocol::Scp03 && n != 16 && n != 24 && n != 32)
        return "an SCP03 card takes AES keys of 16, 24 or 32 bytes, and the new keys have " + std::to_string(n);
    return std::nullopt;
}

std::vector<ByteVector> checkValues(gp::Protocol protocol, const gp::StaticKeys& keys)
{
    const bool aes = protocol == gp::Protocol::Scp03;
    return {gp::checkValue(keys.enc, aes), gp::checkValue(keys.mac, aes), gp::checkValue(keys.dek, aes)};
}

ByteVector putKeyCommand(const gp::SecureChannel& channel, const KeyChange& change)
{
    const bool aes = channel.protocol() == gp::Protocol::Scp03;
    ByteVector data{static_cast<std::uint8_t>(change.version)};
    for (const ByteVector* key : {&change.keys.enc, &change.keys.mac, &change.keys.dek}) {
        const ByteVector encrypted = channel.encryptedKey(*key);
        // AES: the length of what follows, then the key's own length, as
        // the encrypted key is padded to the block.
        const ByteVector head = aes ? ByteVector{0x88, static_cast<std::uint8_t>(encrypted.size() + 1),
                                                 static_cast<std::uint8_t>(key->size())}
                                    : ByteVector{0x80, static_cast<std::uint8_t>(encrypted.size())};
        data = gp::joined({data, head, encrypted, {0x03}, gp::checkValue(*key, aes)});
    }
    const auto p1 = static_cast<std::uint8_t>(change.replace ? change.version : 0x00);
    return gp::joined({command(0xD8, p1, 0x81, data), {0x00}});
}

std::vector<ByteVector> putKeys(Session& session, const KeyChange& change)
{
    const gp::SecureChannel& channel = *session.channel();
    const std::string set = "key set " + byteHex(static_cast<std::uint8_t>(change.version));
    const Response response =
        demand(session, putKeyCommand(channel, change), "PUT KEY", set,
               change.replace ? "" : "is there a key set of that version already? (--new-key-version)");
    const std::vector<ByteVector> expected = checkValues(channel.protocol(), change.keys);
    std::vector<ByteVector> answered;
    const ByteVector& data = response.data;
    for (std::size_t at = 1; at + 3 <= data.size(); at += 3)
        answered.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                              data.begin() + static_cast<std::ptrdiff_t>(at + 3));
    if (data.size() != 10 || data[0] != change.version || answered != expected)
        throw Error(ErrorKind::Card, session.transport().reader(),
                    "the card's answer to PUT KEY of " + set + " does not agree with the keys sent: it answered " +
                        (data.empty() ? std::string("no check values") : hex(data)) + ", and version " +
                        byteHex(static_cast<std::uint8_t>(change.version)) + " with check values " +
                        joinedHex(expected) + " was expected");
    return expected;
}

std::optional<std::vector<unsigned>> keyVersions(Session& session)
{
    const Response response = session.send({0x80, 0xCA, 0x00, 0xE0, 0x00}, "GET DATA");
    if (!response.ok())
        return std::nullopt;
    std::vector<unsigned> versions;
    for (const auto& key : gp::readKeyInformation(response.data))
        if (std::find(versions.begin(), versions.end(), key.version) == versions.end())
            versions.push_back(key.version);
    return versions;
}

void setApplicationLocked(Session& session, const ByteVector& aid, bool locked)
{
    demand(session, command(0xF0, 0x40, locked ? 0x80 : 0x00, aid), "SET STATUS", hex(aid));
}

const std::vector<CardStateName>& cardStates()
{
    static const std::vector<CardStateName> states = {{"initialized", CardState::Initialized, 0x07, true},
                                                      {"secured", CardState::Secured, 0x0F, true},
                                                      {"locked", CardState::Locked, 0x7F, false},
                                                      {"unlocked", CardState::Unlocked, 0x0F, false},
                                                      {"terminated", CardState::Terminated, 0xFF, true}};
    return states;
}

void setCardState(Session& session, const ByteVector& sd, CardState state)
{
    const auto& states = cardStates();
    const auto named =
        std::find_if(states.begin(), states.end(), [&](const CardStateName& s) { return s.state == state; });
    demand(session, command(0xF0, 0x80, named->value, sd), "SET STATUS", std::string("the card to ") + named->name);
}

void makeDefault(Session& session, const ByteVector& aid)
{
    // The card reset privilege (byte 1, bit 3): selected when the card starts.
    demand(session, command(0xE6, 0x08, 0x00, installData({}, {}, aid, {0x04}, {})), "INSTALL [for make selectable]",
           hex(aid));
}

void install(Session& session, const CardContents& card, const Installation& installation)
{
    const auto file = std::find_if(card.loadFiles.begin(), card.loadFiles.end(),
                                   [&](const gp::RegistryEntry& e) { return e.aid == installation.loadFile; });
    const std::string reader = session.transport().reader();
    if (file == card.loadFiles.end())
        throw Error(ErrorKind::Card, reader,
                    "the card lists no load file " + hex(installation.loadFile) + "; nothing was installed");
    // Older cards list load files without their modules: there the card judges.
    if (!file->modules.empty() &&
        std::find(file->modules.begin(), file->modules.end(), installation.module) == file->modules.end())
        throw Error(ErrorKind::Card, reader,
                    "the load file " + hex(installation.loadFile) + " has no module " + hex(installation.module) +
                        " (it has " + joinedHex(file->modules) + "); nothing was installed");
    const ByteVector instance = installation.instance.empty() ? installation.module : installation.instance;
    if (lists(card.applications, instance))
        throw Error(ErrorKind::Card, reader,
                    "the card already holds " + hex(instance) + "; --instance names another; nothing was installed");
    demand(session,
           command(0xE6, 0x0C, 0x00,
                   installData(installation.loadFile, installation.module, instance, installation.privileges,
                               gp::joined({{0xC9}, withLength(installation.parameters)}))),
           "INSTALL [for install and make selectable]", hex(instance));
}

const ByteVector& securityDomainLoadFile()
{
    static const ByteVector aid{0xA0, 0x00, 0x00, 0x01, 0x51, 0x53, 0x50};
    return aid;
}

const ByteVector& securityDomainModule()
{
    static const ByteVector aid{0xA0, 0x00, 0x00, 0x01, 0x51, 0x53, 0x50, 0x41};
    return aid;
}

void createSecurityDomain(Session& session, const CardContents& card, const ByteVector& aid,
                          const ByteVector& privileges, const ByteVector& parameters)
{
    if (!lists(card.loadFiles, securityDomainLoadFile()))
        throw Error(ErrorKind::Card, session.transport().reader(),
                    "the card lists no security domain load file (" + hex(securityDomainLoadFile()) +
                        "); nothing was installed");
    ByteVector granted = privileges.empty() ? ByteVector{0x00} : privileges;
    granted[0] |= 0x80;
    const gp::SecureChannel& channel = *session.channel();
    // The new domain's secure channel: the protocol and i of the session's.
    // SCP02's answer to INITIALIZE UPDATE does not give its i: the card
    // recognition data does, and where the card gives none, 55, the common
    // one, stands for it.
    auto i = static_cast<std::uint8_t>(channel.card().i);
    if (channel.protocol() == gp::Protocol::Scp02) {
        i = 0x55;
        const Response response = session.send({0x80, 0xCA, 0x00, 0x66, 0x00}, "GET DATA");
        if (const auto recognition = response.ok() ? gp::readCardRecognition(response.data) : std::nullopt;
            recognition && recognition->scp == 0x02 && recognition->scpI)
            i = *recognition->scpI;
    }
    const ByteVector scp{0x81, 0x02, static_cast<std::uint8_t>(channel.protocol()), i};
    install(session, card,
            {securityDomainLoadFile(), securityDomainModule(), aid, granted, gp::joined({scp, parameters})});
}

void extradite(Session& session, const ByteVector& aid, const ByteVector& to)
{
    demand(session, command(0xE6, 0x10, 0x00, installData(to, {}, aid, {}, {})), "INSTALL [for extradition]",
           hex(aid) + " to " + hex(to));
}

void storeData(Session& session, const ByteVector& aid, const std::vector<ByteVector>& blocks)
{
    const unsigned fits = largestBlock(session);
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (blocks[i].size() > fits)
            throw Error(ErrorKind::CardUsage, session.transport().reader(),
                        "STORE DATA block " + std::to_string(i + 1) + " has " + std::to_string(blocks[i].size()) +
                            " bytes, and a command of this card at this security level carries " +
                            std::to_string(fits) + "; nothing was sent");
    if (blocks.size() > 256)
        throw Error(ErrorKind::CardUsage, session.transport().reader(),
                    "STORE DATA counts at most 256 blocks, and " + std::to_string(blocks.size()) + " were given");
    demand(session, command(0xE6, 0x20, 0x00, installData({}, {}, aid, {}, {})), "INSTALL [for personalization]",
           hex(aid));
    for (std::size_t i = 0; i < blocks.size(); ++i)
        demand(session, command(0xE2, i + 1 == blocks.size() ? 0x80 : 0x00, static_cast<std::uint8_t>(i), blocks[i]),
               "STORE DATA", "block " + std::to_string(i + 1) + " of " + std::to_string(blocks.size()));
}

} // namespace tolvane::card
