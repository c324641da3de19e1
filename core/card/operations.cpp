#include "core/card/operations.h"

#include "core/base/error.h"
#include "core/base/hex.h"

#include <algorithm>

namespace tolvane::card {
namespace {

std::string hex(const ByteVector& bytes)
{
    return hexText(bytes, HexCase::Upper);
}

// More parts of one GET STATUS answer than any card's registry needs.
constexpr unsigned mostStatusParts = 256;

// The entries GET STATUS lists for `p1`; nothing where the card has none
// or does not take this P1.
std::optional<std::vector<gp::RegistryEntry>> status(Session& session, std::uint8_t p1)
{
    for (const bool tlvForm : {true, false}) {
        std::vector<gp::RegistryEntry> entries;
        std::uint8_t p2 = tlvForm ? 0x02 : 0x00;
        std::size_t bytes = 0;
        for (unsigned part = 0;; ++part) {
            // A card that answers 63 10 without end would be asked without end.
            if (part == mostStatusParts || bytes > Session::largestAnswer)
                throw Error(ErrorKind::Card, session.transport().reader(),
                            "the card's answer to GET STATUS does not end: after " + std::to_string(part) +
                                " parts and " + std::to_string(bytes) +
                                " bytes it still has more (63 10), more than any card's registry; it was read "
                                "no further");
            const Response response = session.send({0x80, 0xF2, p1, p2, 0x02, 0x4F, 0x00, 0x00}, "GET STATUS");
            if (response.sw == 0x6A88)
                return entries;
            if (response.sw == 0x6A86 && tlvForm && entries.empty())
                break; // an older card: ask in the older form
            if (response.sw == 0x6A86 || response.sw == 0x6A80)
                return std::nullopt;
            if (!response.ok() && response.sw != 0x6310) {
                const std::string meaning = gp::statusMeaning(response.sw);
                throw Error(ErrorKind::Card, session.transport().reader(),
                            "the card refused GET STATUS: " + swText(response.sw) +
                                (meaning.empty() ? "" : " (" + meaning + ")"));
            }
            const auto read = gp::readRegistry(response.data, p1, tlvForm);
            if (!read)
                throw Error(ErrorKind::Card, session.transport().reader(),
                            "the card's answer to GET STATUS cannot be read");
            entries.insert(entries.end(), read->begin(), read->end());
            bytes += response.data.size();
            if (response.sw != 0x6310)
                return entries;
            p2 |= 0x01; // the next part
        }
    }
    return std::nullopt;
}

std::string version(const std::pair<unsigned, unsigned>& v)
{
    return std::to_string(v.first) + "." + std::to_string(v.second);
}

} // namespace

CardContents listContents(Session& session)
{
    CardContents card;
    if (const auto isd = status(session, 0x80); isd && !isd->empty())
        card.isd = isd->front();
    card.applications = status(session, 0x40).value_or(std::vector<gp::RegistryEntry>{});
    auto files = status(session, 0x10);
    if (!files)
        files = status(session, 0x20);
    card.loadFiles = files.value_or(std::vector<gp::RegistryEntry>{});
    return card;
}

std::vector<ByteVector> dependentsOf(const CardContents& card, const ByteVector& aid)
{
    const auto file = std::find_if(card.loadFiles.begin(), card.loadFiles.end(),
                                   [&](const gp::RegistryEntry& entry) { return entry.aid == aid; });
    std::vector<ByteVector> dependents;
    for (const auto& application : card.applications) {
        const bool module = file != card.loadFiles.end() && std::find(file->modules.begin(), file->modules.end(),
                                                                      application.aid) != file->modules.end();
        if (application.aid != aid && (application.loadFile == aid || module))
            dependents.push_back(application.aid);
    }
    return dependents;
}

void checkBeforeLoad(const LoadFile& file, const CardContents& card)
{
    for (const auto& imported : file.imports)
        for (const auto& listed : card.loadFiles) {
            if (hex(listed.aid) != imported.aid || !listed.version)
                continue;
            const auto needed = std::pair<unsigned, unsigned>{imported.major, imported.minor};
            const auto has = *listed.version;
            // A package's minor versions are compatible upwards within one major version.
            if (has.first != needed.first || has.second < needed.second)
                throw Error(ErrorKind::NotLoadable, "",
                            imported.name.value_or(imported.aid) + " " + version(needed) + " needed; the card has " +
                                version(has) + ". Nothing was sent to load it");
        }
}

void deleteObjects(Session& session, const std::vector<ByteVector>& aids, bool force)
{
    for (const auto& aid : aids) {
        const ByteVector command =
            gp::joined({{0x80, 0xE4, 0x00, static_cast<std::uint8_t>(force ? 0x80 : 0x00),
                         static_cast<std::uint8_t>(aid.size() + 2), 0x4F, static_cast<std::uint8_t>(aid.size())},
                        aid,
                        {0x00}});
        const Response response = session.send(command, "DELETE");
        if (response.ok())
            continue;
        const std::string reader = session.transport().reader();
        if (response.sw == 0x6A88)
            throw Error(ErrorKind::Card, reader,
                        "the card holds nothing with the AID " + hex(aid) + " (DELETE: 6A 88)");
        if (response.sw == 0x6985 && !force) {
            // What depends on it, asked only now that it matters; a card
            // that cannot list it still gets the refusal said.
            std::vector<ByteVector> dependents;
            try {
                dependents = dependentsOf(listContents(session), aid);
            } catch (const Error&) {
            }
            std::string named;
            for (const auto& d : dependents)
                named += (named.empty() ? "" : ", ") + hex(d);
            throw Error(ErrorKind::Card, reader,
                        "the card refused DELETE of " + hex(aid) + ": 69 85 (conditions of use not satisfied): " +
                            (named.empty() ? std::string("something on the card depends on it")
                                           : "the card holds " + named + ", which depend" +
                                                 (dependents.size() == 1 ? "s" : "") + " on it") +
                            "; --force deletes it with what depends on it");
        }
        const std::string meaning = gp::statusMeaning(response.sw);
        throw Error(ErrorKind::Card, reader,
                    "the card refused DELETE of " + hex(aid) + ": " + swText(response.sw) +
                        (meaning.empty() ? "" : " (" + meaning + ")"));
    }
}

std::string commandName(const std::string& kind)
{
    if (kind == "delete")
        return "DELETE";
    if (kind == "install_for_load")
        return "INSTALL [for load]";
    if (kind == "load")
        return "LOAD";
    if (kind == "install_for_install")
        return "INSTALL [for install and make selectable]";
    return kind;
}

void sendScript(Session& session, const apdu::Script& script, const LoadProgress& progress)
{
    const auto blocks =
        static_cast<std::size_t>(std::count_if(script.commands.begin(), script.commands.end(),
                                               [](const apdu::Command& c) { return std::string(c.kind) == "load"; }));
    std::size_t block = 0;
    for (const auto& command : script.commands) {
        const std::string kind = command.kind;
        std::string name = commandName(kind);
        std::string hint;
        if (kind == "load") {
            if (progress.cancelled && progress.cancelled())
                throw Error(ErrorKind::Card, session.transport().reader(),
                            "the load was cancelled after " + std::to_string(block) + " of " + std::to_string(blocks) +
                                " LOAD blocks; the card discards an unfinished load");
            if (progress.block)
                progress.block(block, blocks);
            name = command.meaning; // "LOAD block 3 of 12"
            ++block;
        } else if (kind == "install_for_load") {
            hint = "the package may already be there: --replace deletes it first";
        }
        const Response response = session.send(command.bytes, name);
        // --replace's DELETE of a package the card does not hold has nothing
        // to replace: the load goes on.
        if (response.ok() || (kind == "delete" && response.sw == 0x6A88))
            continue;
        if (kind != "install_for_load" || response.sw != 0x6985)
            hint = response.sw == 0x6438 ? "a package it imports is not on the card"
                   : response.sw == 0x6A80 && kind == "load"
                       ? "the card's Java Card may not take this load file (--target checks for a release)"
                       : std::string();
        const std::string meaning = gp::statusMeaning(response.sw);
        throw Error(ErrorKind::Card, session.transport().reader(),
                    "the card refused " + name + ": " + swText(response.sw) +
                        (meaning.empty() ? "" : " (" + meaning + ")") + (hint.empty() ? "" : "; " + hint));
    }
    if (progress.block && blocks > 0)
        progress.block(blocks, blocks);
}

unsigned largestBlock(const Session& session)
{
    const gp::SecureChannel* channel = session.channel();
    const bool encrypts = channel != nullptr && channel->encrypts();
    const std::size_t padding = encrypts ? (channel->protocol() == gp::Protocol::Scp03 ? 16 : 8) : 1;
    const std::size_t largest = std::min<std::size_t>(255, session.largestCommandData().value_or(255));
    // Room for the MAC, then whole cipher blocks of which the padding takes
    // at least one byte.
    if (largest < 8 + padding)
        return 0;
    std::size_t data = largest - 8;
    if (encrypts)
        data = data / padding * padding - 1;
    return static_cast<unsigned>(data);
}

CardInfo readInfo(Session& session)
{
    CardInfo info;
    info.atr = session.transport().atr();
    const auto get = [&](std::uint8_t p1, std::uint8_t p2) -> std::optional<ByteVector> {
        const Response response = session.send({0x80, 0xCA, p1, p2, 0x00}, "GET DATA");
        if (!response.ok())
            return std::nullopt;
        return response.data;
    };
    if (const auto data = get(0x00, 0x66))
        info.recognition = gp::readCardRecognition(*data);
    if (const auto data = get(0x9F, 0x7F))
        info.cplc = gp::readCplc(*data);
    if (const auto data = get(0x00, 0xE0)) {
        info.keys = gp::readKeyInformation(*data);
        info.keysListed = true;
    }
    return info;
}

} // namespace tolvane::card
