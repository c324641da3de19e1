#include "cli/card_mode.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/operations.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/gp/card_data.h"
#include "core/pcsc/pcsc.h"
#include "core/zip/archive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <openssl/rand.h>
#include <unistd.h>

namespace tolvane::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string hex(const card::ByteVector& bytes)
{
    return hexText(bytes, HexCase::Upper);
}

void say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
}

// Every exchange on standard error: the command as sent and, where the
// channel changed it, as meant; then the answer.
void trace(const card::Exchange& exchange)
{
    std::string text = "> " + exchange.kind + ": " + hex(exchange.sent) + "\n";
    if (exchange.sent != exchange.plain)
        text += "  (plain: " + hex(exchange.plain) + ")\n";
    const std::string meaning = gp::statusMeaning(exchange.response.sw);
    text += "< " + (exchange.response.data.empty() ? std::string() : hex(exchange.response.data) + " ") +
            card::swText(exchange.response.sw) + (meaning.empty() ? "" : " (" + meaning + ")") + "\n";
    std::fputs(text.c_str(), stderr);
}

std::string protocolName(const gp::SecureChannel& channel)
{
    return channel.protocol() == gp::Protocol::Scp02 ? "SCP02" : "SCP03";
}

Json registryJson(const gp::RegistryEntry& entry)
{
    Json json = {{"aid", hex(entry.aid)}, {"state", gp::lifeCycleName(entry.kind, entry.lifeCycle)}};
    if (entry.kind != gp::RegistryEntry::Kind::LoadFile)
        json["privileges"] = gp::privilegeNames(entry.privileges);
    if (!entry.securityDomain.empty())
        json["sd"] = hex(entry.securityDomain);
    return json;
}

Json contentsJson(const std::string& reader, const card::CardContents& contents)
{
    Json json = {{"reader", reader}, {"isd", contents.isd ? registryJson(*contents.isd) : Json(nullptr)}};
    json["applications"] = Json::array();
    for (const auto& application : contents.applications)
        json["applications"].push_back(registryJson(application));
    json["load_files"] = Json::array();
    for (const auto& file : contents.loadFiles) {
        Json modules = Json::array();
        for (const auto& module : file.modules)
            modules.push_back(hex(module));
        Json entry = {{"aid", hex(file.aid)},
                      {"version", file.version ? Json(std::to_string(file.version->first) + "." +
                                                      std::to_string(file.version->second))
                                               : Json(nullptr)},
                      {"modules", std::move(modules)}};
        if (!file.securityDomain.empty())
            entry["sd"] = hex(file.securityDomain);
        json["load_files"].push_back(std::move(entry));
    }
    return json;
}

void showContents(const std::string& reader, const card::CardContents& contents)
{
    const auto privileges = [](const gp::RegistryEntry& entry) {
        std::string names;
        for (const auto& name : gp::privilegeNames(entry.privileges))
            names += (names.empty() ? "" : ", ") + name;
        return names.empty() ? std::string("none") : names;
    };
    say("Reader: " + reader);
    if (contents.isd)
        say("Issuer security domain: " + hex(contents.isd->aid) + " (" +
            gp::lifeCycleName(contents.isd->kind, contents.isd->lifeCycle) + ")");
    say("Applications and security domains: " + std::to_string(contents.applications.size()));
    const auto domain = [](const gp::RegistryEntry& entry) {
        return entry.securityDomain.empty() ? std::string() : ", in " + hex(entry.securityDomain);
    };
    for (const auto& application : contents.applications)
        say(" " + hex(application.aid) + " " + gp::lifeCycleName(application.kind, application.lifeCycle) +
            ", privileges: " + privileges(application) + domain(application));
    say("Load files: " + std::to_string(contents.loadFiles.size()));
    for (const auto& file : contents.loadFiles) {
        say(" " + hex(file.aid) +
            (file.version ? " " + std::to_string(file.version->first) + "." + std::to_string(file.version->second)
                          : std::string()) +
            " " + gp::lifeCycleName(file.kind, file.lifeCycle) + domain(file));
        for (const auto& module : file.modules)
            say("  module " + hex(module));
    }
}

int readers(const CardRequest& request)
{
    const auto found = pcsc::listReaders();
    if (request.json) {
        Json json = Json::array();
        for (const auto& reader : found)
            json.push_back({{"reader", reader.name}, {"card", reader.cardPresent}});
        say(json.dump());
        return 0;
    }
    if (found.empty())
        std::fputs("tolvane-cli: no card reader is connected\n", stderr);
    for (const auto& reader : found)
        say(reader.name + (reader.cardPresent ? "\t(card)" : "\t(no card)"));
    return 0;
}

// The load file of each --send argument, checked as --check checks it,
// before any reader is touched.
std::vector<LoadFile> checkedLoadFiles(const CardRequest& request)
{
    std::vector<LoadFile> files;
    ZipArchive archive;
    for (const auto& argument : request.arguments) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(argument, error);
        const InputFile input = readInput(error ? argument : absolute.string());
        LoadFile file = makeLoadFile(entriesOf(input, archive), request.loadFile, input.path);
        files.push_back(std::move(file));
    }
    return files;
}

// An argument's bytes: an AID, or STORE DATA's data.
card::ByteVector bytesOf(const std::string& text)
{
    return *bytesFromHex(text); // checked when the command line was read
}

// Writes the new keys to `path` in the key file format before they reach the
// card: made new with mode 0600 (never over a file, never through a link),
// flushed to the disk, and removed again where any of that fails.
void saveKeys(const NewKeys& fresh, unsigned version, const std::string& reader)
{
    static const char* const kdfNames[] = {"", "emv", "visa2", "kdf3"};
    std::string text = "# tolvane: key set " + byteHex(static_cast<std::uint8_t>(version)) + " of the card in " +
                       reader + ", written before PUT KEY\n";
    if (fresh.diversification != gp::Diversification::None)
        text += std::string("# master keys, diversified with the card's data: open the card with --kdf ") +
                kdfNames[static_cast<int>(fresh.diversification)] + " --key-version " +
                byteHex(static_cast<std::uint8_t>(version)) + "\n";
    else
        text += "# open the card with --key-version " + byteHex(static_cast<std::uint8_t>(version)) + "\n";
    text += "enc=" + hex(fresh.keys.enc) + "\nmac=" + hex(fresh.keys.mac) + "\ndek=" + hex(fresh.keys.dek) + "\n";
    const int fd = ::open(fresh.saveTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Error(ErrorKind::CardUsage, reader,
                    "the keys cannot be saved in " + fresh.saveTo + ": " + std::strerror(errno) +
                        "; nothing was put on the card");
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    const int saved = errno;
    const bool whole = written == text.size() && ::fsync(fd) == 0;
    const int flushed = errno;
    if (::close(fd) != 0 || !whole) {
        ::unlink(fresh.saveTo.c_str());
        throw Error(ErrorKind::CardUsage, reader,
                    "the keys cannot be saved in " + fresh.saveTo + ": " +
                        std::strerror(written < text.size() ? (saved != 0 ? saved : ENOSPC) : flushed) +
                        "; nothing was put on the card");
    }
}

// Fresh keys from the system's random source, one for each of ENC, MAC, DEK.
gp::StaticKeys randomKeys(std::size_t length, const std::string& reader)
{
    gp::StaticKeys keys{card::ByteVector(length), card::ByteVector(length), card::ByteVector(length)};
    for (auto* key : {&keys.enc, &keys.mac, &keys.dek})
        if (RAND_bytes(key->data(), static_cast<int>(key->size())) != 1)
            throw Error(ErrorKind::Card, reader, "no random keys could be made; nothing was put on the card");
    return keys;
}

// --put-keys, once the session's channel is open: the new keys put, their
// check values compared, then proven by a channel of their own.
void putKeys(const CardRequest& request, card::Session& session, const std::optional<std::vector<unsigned>>& held,
             const std::string& reader, Json& json, std::vector<card::Exchange>& proof)
{
    const gp::SecureChannel& channel = *session.channel();
    const gp::Protocol protocol = channel.protocol();
    NewKeys fresh = request.newKeys;
    // Random keys as long as the session's, or as 3DES diversification takes.
    const bool des = protocol == gp::Protocol::Scp02 || fresh.diversification == gp::Diversification::Emv ||
                     fresh.diversification == gp::Diversification::Visa2;
    if (fresh.random)
        fresh.keys = randomKeys(des ? 16 : request.channel.keys.enc.size(), reader);
    card::KeyChange change;
    change.keys = gp::diversified(fresh.keys, fresh.diversification, channel.card().diversificationData);
    if (const auto problem = card::keyProblem(protocol, change.keys))
        throw Error(ErrorKind::CardUsage, reader, *problem + "; nothing was put on the card");
    const unsigned current = channel.card().keyVersion;
    change.version = fresh.version.value_or(current);
    change.replace = true;
    const auto version = [](unsigned v) { return byteHex(static_cast<std::uint8_t>(v)); };
    // The card's own list decides: a new domain lists none, and its first
    // set is added even where the session borrowed its issuer's version.
    if (held)
        change.replace = std::find(held->begin(), held->end(), change.version) != held->end();
    else
        change.replace = change.version == current; // the card lists no key information: the session's set is known
    if (!request.json && !request.quiet)
        say((change.replace ? "replacing key set " : "adding key set ") + version(change.version));
    if (!fresh.saveTo.empty())
        saveKeys(fresh, change.version, reader);
    const std::string keysNote = fresh.saveTo.empty() ? std::string("the new keys are those given on the command line")
                                                      : "the new keys were saved in " + fresh.saveTo;
    std::vector<card::ByteVector> values;
    try {
        values = card::putKeys(session, change);
    } catch (const Error& error) {
        throw Error(error.kind(), reader, error.detail() + "; " + keysNote);
    }
    std::string shown;
    for (const auto& value : values)
        shown += (shown.empty() ? "" : " ") + hex(value);
    const std::string type = card::keyTypeName(protocol, change.keys.enc.size());
    if (!request.json && !request.quiet)
        say("Put key set " + version(change.version) + " (" + type + "), check values " + shown);

    card::Session again(session.transport(), request.trace ? trace : std::function<void(const card::Exchange&)>());
    card::ChannelOptions options = request.channel;
    options.keys = fresh.keys;
    options.keyVersion = change.version;
    options.diversification = fresh.diversification;
    try {
        again.selectSecurityDomain(request.script.securityDomain);
        again.openSecureChannel(options);
    } catch (const Error& error) {
        throw Error(ErrorKind::Card, reader,
                    "the new keys did not open a secure channel: " + error.detail() + ". The card holds key set " +
                        version(change.version) + " (" + type + ", check values " + shown + "); " + keysNote);
    }
    proof = again.exchanges();
    if (!request.json && !request.quiet)
        say("verified: a secure channel opened with key set " + version(change.version));
    Json checks = Json::array();
    for (const auto& value : values)
        checks.push_back(hex(value));
    json["put_keys"] = {{"replaced", change.replace ? Json(version(change.version)) : Json(nullptr)},
                        {"version", version(change.version)},
                        {"type", type},
                        {"check_values", checks},
                        {"verified", true}};
}

// The modes that run the card: each sends its commands and says what it did.
void manage(const CardRequest& request, card::Session& session)
{
    const auto& arguments = request.arguments;
    std::vector<std::string> done;
    switch (request.mode) {
    case CardMode::LockApp:
    case CardMode::UnlockApp: {
        const bool lock = request.mode == CardMode::LockApp;
        for (const auto& aid : arguments) {
            card::setApplicationLocked(session, bytesOf(aid), lock);
            done.push_back((lock ? "Locked " : "Unlocked ") + aid);
        }
        break;
    }
    case CardMode::CardState:
        card::setCardState(session, request.script.securityDomain, request.cardState.state);
        done.push_back(std::string("The card is now ") + request.cardState.name);
        break;
    case CardMode::MakeDefault:
        card::makeDefault(session, bytesOf(arguments[0]));
        done.push_back(arguments[0] + " is now the default application");
        break;
    case CardMode::Install: {
        card::Installation installation{bytesOf(arguments[0]), bytesOf(arguments[1]),
                                        request.script.instance.value_or(card::ByteVector{}), request.script.privileges,
                                        request.script.parameters};
        card::install(session, card::listContents(session), installation);
        done.push_back("Installed " + hex(installation.instance.empty() ? installation.module : installation.instance) +
                       " from module " + arguments[1] + " of " + arguments[0]);
        break;
    }
    case CardMode::CreateSd: {
        const bool given = request.script.privileges != card::ByteVector{0x00};
        card::createSecurityDomain(session, card::listContents(session), bytesOf(arguments[0]),
                                   given ? request.script.privileges : card::ByteVector{}, request.script.parameters);
        done.push_back("Made security domain " + arguments[0]);
        break;
    }
    case CardMode::Move:
        card::extradite(session, bytesOf(arguments[0]), request.moveTo);
        done.push_back("Moved " + arguments[0] + " to " + hex(request.moveTo));
        break;
    case CardMode::StoreData: {
        std::vector<card::ByteVector> blocks;
        for (std::size_t i = 1; i < arguments.size(); ++i)
            blocks.push_back(bytesOf(arguments[i]));
        card::storeData(session, bytesOf(arguments[0]), blocks);
        done.push_back("Personalised " + arguments[0] + " with " + std::to_string(blocks.size()) + " STORE DATA " +
                       (blocks.size() == 1 ? "command" : "commands"));
        break;
    }
    default:
        break;
    }
    if (!request.json && !request.quiet)
        for (const auto& line : done)
            say(line);
}

} // namespace

std::optional<std::string> readKeyFile(const std::string& path, card::ChannelOptions& channel)
{
    std::ifstream in(path);
    if (!in) {
        // A key typed where its file was meant is never echoed.
        if (const auto key = bytesFromHex(path, HexSpaces::Ignored);
            key && (key->size() == 16 || key->size() == 24 || key->size() == 32))
            return std::string("the argument of --key-file is no file that can be read, and looks like a key: a key "
                               "goes in --key, or in a file that --key-file names");
        return "the key file " + path + " cannot be read";
    }
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        const auto equals = line.find('=');
        const std::string where = "line " + std::to_string(number) + " of the key file " + path;
        if (equals == std::string::npos)
            return where + " is no enc=, mac=, dek= or key= line";
        std::string name = line.substr(first, equals - first);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        const auto key = bytesFromHex(line.substr(equals + 1), HexSpaces::Ignored);
        if (!key || (key->size() != 16 && key->size() != 24 && key->size() != 32))
            return where + " holds no key of 16, 24 or 32 bytes in hex";
        if (name == "enc")
            channel.keys.enc = *key;
        else if (name == "mac")
            channel.keys.mac = *key;
        else if (name == "dek")
            channel.keys.dek = *key;
        else if (name == "key")
            channel.keys = {*key, *key, *key};
        else
            return where + " names no key (enc, mac, dek or key)";
    }
    return std::nullopt;
}

namespace {

// What a run had reached when it failed: the reader, and the session whose
// last command the card answered.
struct Reached {
    std::optional<std::string> reader;
    std::optional<std::pair<std::string, unsigned>> answered; // the last command's kind and status word
};

// The one JSON object of a run that failed: the error, and the last command
// with the card's status word where a card answered.
Json failureJson(const Reached& reached, const std::string& error)
{
    Json json = {{"ok", false},
                 {"error", displayText(error)},
                 {"reader", reached.reader ? Json(*reached.reader) : Json(nullptr)},
                 {"command", nullptr},
                 {"sw", nullptr}};
    if (reached.answered) {
        const auto& [kind, sw] = *reached.answered;
        json["command"] = kind;
        json["sw"] = byteHex(static_cast<std::uint8_t>(sw >> 8)) + byteHex(static_cast<std::uint8_t>(sw));
    }
    return json;
}

int runOnCard(const CardRequest& request, Reached& reached)
{
    if (request.mode == CardMode::Readers)
        return readers(request);
    std::vector<LoadFile> files;
    if (request.mode == CardMode::Send)
        files = checkedLoadFiles(request); // a refusal sends nothing
    const std::string reader = pcsc::chooseReader(pcsc::listReaders(), request.reader);
    reached.reader = reader;
    const auto transport = pcsc::connect(reader, [&](const std::string& notice) {
        if (!request.quiet)
            std::fputs(("tolvane-cli: " + notice + "\n").c_str(), stderr);
    });
    std::function<void(const card::Exchange&)> observe;
    if (request.trace)
        observe = trace;
    card::Session session(*transport, [&](const card::Exchange& exchange) {
        reached.answered = {exchange.kind, exchange.response.sw};
        if (observe)
            observe(exchange);
    });
    Json json = {{"reader", reader}, {"atr", hex(transport->atr())}};
    session.selectSecurityDomain(request.script.securityDomain);
    if (session.cardLocked() && !request.quiet)
        std::fputs("tolvane-cli: the card is locked (SELECT: 62 83); --card-state unlocked unlocks it\n", stderr);

    if (request.mode == CardMode::Info) {
        const card::CardInfo info = card::readInfo(session);
        if (request.json) {
            Json cplc = Json::object();
            for (const auto& [name, value] : info.cplc)
                cplc[name] = value;
            Json keys = Json::array();
            for (const auto& key : info.keys) {
                Json components = Json::array();
                for (const auto& [type, length] : key.components)
                    components.push_back({{"type", byteHex(type)}, {"length", length}});
                keys.push_back({{"id", key.id}, {"version", key.version}, {"components", std::move(components)}});
            }
            json["global_platform"] = info.recognition ? Json(info.recognition->globalPlatform) : Json(nullptr);
            json["cplc"] = cplc;
            json["keys"] = keys;
            say(json.dump());
            return 0;
        }
        say("Reader: " + reader);
        say("ATR: " + hex(info.atr));
        if (info.recognition) {
            say("GlobalPlatform: " + (info.recognition->globalPlatform.empty() ? std::string("not said")
                                                                               : info.recognition->globalPlatform));
            if (info.recognition->scp)
                say("Secure channel: SCP" + byteHex(*info.recognition->scp) + " i=" + byteHex(*info.recognition->scpI));
        }
        for (const auto& [name, value] : info.cplc)
            say("CPLC " + name + ": " + value);
        for (const auto& key : info.keys) {
            std::string parts;
            for (const auto& [type, length] : key.components)
                parts += " type " + byteHex(type) + " of " + std::to_string(length) + " bytes";
            say("Key " + std::to_string(key.id) + " version " + byteHex(static_cast<std::uint8_t>(key.version)) + ":" +
                parts);
        }
        if (info.keysListed && info.keys.empty())
            say("Key sets: none");
        return 0;
    }

    // The key sets the card holds, read in the clear as --info reads them,
    // decide whether --put-keys replaces or adds.
    std::optional<std::vector<unsigned>> held;
    if (request.mode == CardMode::PutKeys)
        held = card::keyVersions(session);
    if (request.defaultKey && !request.quiet)
        std::fputs("tolvane-cli: no key given: using the default test key 40..4F\n", stderr);
    session.openSecureChannel(request.channel);
    const gp::SecureChannel& channel = *session.channel();
    json["secure_channel"] = {{"protocol", protocolName(channel)},
                              {"i", byteHex(static_cast<std::uint8_t>(channel.card().i))},
                              {"key_version", byteHex(static_cast<std::uint8_t>(channel.card().keyVersion))},
                              {"security", channel.encrypts() ? "enc" : "mac"}};
    std::vector<card::Exchange> proof; // --put-keys: the session that proves the new keys
    const auto finish = [&]() {
        if (request.json) {
            Json commands = Json::array();
            for (const std::vector<card::Exchange>* exchanges : {&session.exchanges(), &std::as_const(proof)})
                for (const auto& exchange : *exchanges)
                    commands.push_back(
                        {{"kind", exchange.kind},
                         {"sw", byteHex(exchange.response.sw >> 8) + byteHex(exchange.response.sw & 0xFF)}});
            json["commands"] = commands;
            say(json.dump());
        }
        return 0;
    };

    if (request.mode == CardMode::List) {
        const card::CardContents contents = card::listContents(session);
        if (request.json) {
            say(contentsJson(reader, contents).dump());
            return 0;
        }
        showContents(reader, contents);
        return 0;
    }

    if (request.mode == CardMode::Delete) {
        std::vector<card::ByteVector> aids;
        for (const auto& argument : request.arguments)
            aids.push_back(*bytesFromHex(argument));
        card::deleteObjects(session, aids, request.force);
        if (!request.json && !request.quiet)
            for (const auto& argument : request.arguments)
                say("Deleted " + argument + (request.force ? " and what depended on it" : ""));
        return finish();
    }

    if (request.mode == CardMode::PutKeys) {
        putKeys(request, session, held, reader, json, proof);
        return finish();
    }
    if (request.mode != CardMode::Send) {
        manage(request, session);
        return finish();
    }

    // --send: the pre-flight, then each file's commands.
    const card::CardContents contents = card::listContents(session);
    apdu::Options options = request.script;
    const unsigned fits = card::largestBlock(session);
    if (request.blockSizeGiven && options.blockSize > fits)
        throw Error(ErrorKind::CardUsage, reader,
                    "--block-size " + std::to_string(options.blockSize) +
                        " does not fit this card's commands at this "
                        "security level; " +
                        std::to_string(fits) + " or less does");
    if (!request.blockSizeGiven)
        options.blockSize = fits;
    for (std::size_t i = 0; i < files.size(); ++i) {
        card::checkBeforeLoad(files[i], contents);
        const apdu::Script script = apdu::makeScript(files[i], options, request.arguments[i]);
        card::LoadProgress progress;
        if (!request.quiet && !request.json && isatty(STDERR_FILENO) != 0)
            progress.block = [](std::size_t block, std::size_t blocks) {
                std::fprintf(stderr, "\rLOAD block %zu of %zu%s", block, blocks, block == blocks ? "\n" : "");
            };
        card::sendScript(session, script, progress);
        if (!request.json && !request.quiet) {
            say("Loaded " + files[i].packageAid + " (" + std::to_string(files[i].bytes.size()) + " bytes) into " +
                hex(options.securityDomain) + " through " + reader);
            if (!options.loadOnly)
                for (const auto& applet : files[i].applets)
                    say("Installed " + (options.instance ? hex(*options.instance) : applet));
        }
    }
    return finish();
}

} // namespace

int runCardMode(const CardRequest& request)
{
    Reached reached;
    try {
        return runOnCard(request, reached);
    } catch (const std::exception& error) {
        // A pipeline that reads one object per run gets one, failed too.
        if (request.json && request.mode != CardMode::Readers)
            say(failureJson(reached, error.what()).dump());
        throw;
    }
}

} // namespace tolvane::cli
