// tolvane-cli: converts CAP files to IJC files from the command line, with the
// same core and the same report as the window.

#include "cli/card_mode.h"
#include "cli/options.h"
#include "cli/simulate_mode.h"
#include "core/apdu/dap.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/base/time_zone.h"
#include "core/cap/java_card.h"
#include "core/card/management.h"
#include "core/checks/checks.h"
#include "core/convert/archive_converter.h"
#include "core/convert/input_file.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/exp/compare.h"
#include "core/exp/export_path.h"
#include "core/exp/links.h"
#include "core/output/ijc_output.h"
#include "core/report/json_report.h"
#include "core/report/load_file_report.h"
#include "core/report/report_sink.h"
#include "core/report/text_report.h"
#include "core/zip/archive.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr int exitOk = 0;
constexpr int exitConversionFailed = 1;
constexpr int exitUsage = 2;

enum class Mode {
    Archive,
    Simulate,
    Scan,
    LoadFile,
    Check,
    Dump,
    Apdu,
    ToCap,
    ToExp,
    CompareExp,
    Readers,
    List,
    Info,
    Delete,
    Send,
    PutKeys,
    LockApp,
    UnlockApp,
    CardState,
    MakeDefault,
    Install,
    CreateSd,
    Move,
    StoreData
};

// The modes that talk to a card, each as the card's code knows it and with
// the option that chooses it.
struct CardModeName {
    Mode mode;
    tolvane::cli::CardMode card;
    const char* option;
};
using tolvane::cli::CardMode;
const CardModeName cardModes[] = {{Mode::Readers, CardMode::Readers, "--readers"},
                                  {Mode::List, CardMode::List, "--list"},
                                  {Mode::Info, CardMode::Info, "--info"},
                                  {Mode::Delete, CardMode::Delete, "--delete"},
                                  {Mode::Send, CardMode::Send, "--send"},
                                  {Mode::PutKeys, CardMode::PutKeys, "--put-keys"},
                                  {Mode::LockApp, CardMode::LockApp, "--lock-app"},
                                  {Mode::UnlockApp, CardMode::UnlockApp, "--unlock-app"},
                                  {Mode::CardState, CardMode::CardState, "--card-state"},
                                  {Mode::MakeDefault, CardMode::MakeDefault, "--make-default"},
                                  {Mode::Install, CardMode::Install, "--install"},
                                  {Mode::CreateSd, CardMode::CreateSd, "--create-sd"},
                                  {Mode::Move, CardMode::Move, "--move"},
                                  {Mode::StoreData, CardMode::StoreData, "--store-data"}};

const CardModeName* cardModeOf(Mode mode)
{
    for (const auto& named : cardModes)
        if (named.mode == mode)
            return &named;
    return nullptr;
}

bool isCardMode(Mode mode)
{
    return cardModeOf(mode) != nullptr;
}

// The card modes that open a secure channel: all but --readers and --info.
const std::vector<Mode> channelModes = {Mode::List,    Mode::Delete,    Mode::Send,      Mode::PutKeys,
                                        Mode::LockApp, Mode::UnlockApp, Mode::CardState, Mode::MakeDefault,
                                        Mode::Install, Mode::CreateSd,  Mode::Move,      Mode::StoreData};

std::vector<Mode> with(std::vector<Mode> modes, std::initializer_list<Mode> more)
{
    modes.insert(modes.end(), more);
    return modes;
}

struct Request {
    Mode mode = Mode::Archive;
    bool json = false;
    bool quiet = false;
    bool types = false; // --dump --types
    std::string output; // the IJC file's path in place of the one beside the CAP file; "-": standard output
    tolvane::LoadFileOptions loadFile;
    tolvane::apdu::Options script;
    std::string dapKey;              // the DAP key's file
    std::vector<std::uint8_t> dapSd; // the security domain whose DAP it is
    std::string packagePath;         // where --to-cap puts the components
    std::vector<std::string> capFiles;
    tolvane::cli::CardRequest card; // the modes that talk to a card
    tolvane::cli::SimulateRequest simulate;
    bool keyPartGiven[3] = {};    // --key-enc, --key-mac, --key-dek
    bool newKeyPartGiven[3] = {}; // --new-key-enc, --new-key-mac, --new-key-dek
};

// The report goes to a console stream line by line (standard output, or
// standard error when the IJC file takes standard output); clearing a
// console would only lose what an earlier file reported, so clear does
// nothing. Quiet, it keeps nothing.
class ConsoleSink final : public tolvane::ReportSink {
public:
    explicit ConsoleSink(std::FILE* stream) : stream_(stream) {}
    void clear() override {}

protected:
    void writeLine(const std::string& line) override
    {
        if (stream_ == nullptr)
            return;
        std::fwrite(line.data(), 1, line.size(), stream_);
        std::fputc('\n', stream_);
    }

private:
    std::FILE* stream_;
};

// Every failed conversion gives the same status; the message says which kind.
int exitStatusFor(const tolvane::Error&)
{
    return exitConversionFailed;
}

int reportFailure(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "tolvane-cli: %s\n", tolvane::withControlsEscaped(tolvane::displayText(message)).c_str());
    return exitConversionFailed;
}

// An error's message, then each of its following lines (further refusals,
// what became of the output), each a line of its own.
int reportFailure(const tolvane::Error& error)
{
    reportFailure(error.message());
    for (const auto& line : error.followingLines())
        std::fprintf(stderr, "tolvane-cli: %s\n", tolvane::withControlsEscaped(tolvane::displayText(line)).c_str());
    return exitConversionFailed;
}

int usageError(const std::string& message)
{
    std::fprintf(stderr,
                 "tolvane-cli: %s\nUsage: tolvane-cli [OPTION]... CAPFILE...\n"
                 "Try 'tolvane-cli --help' for more information.\n",
                 message.c_str());
    return exitUsage;
}

std::string absoluteCapPath(const std::string& argument)
{
    if (argument.empty() || argument.front() == '/')
        return argument;
    std::error_code error;
    const auto path = std::filesystem::absolute(argument, error);
    return error ? argument : path.string();
}

// The option of the table named `name` ("-q", "--quiet"), if any.
const tolvane::cli::Option* optionNamed(std::string_view name)
{
    for (const auto& option : tolvane::cli::options())
        if (name == option.longName || (option.shortName != nullptr && name == option.shortName))
            return &option;
    return nullptr;
}

using tolvane::cli::Scope;

// The modes each scope of options goes with, and how a refusal names them.
struct ScopeRule {
    Scope scope;
    std::vector<Mode> modes;
    const char* where;
};
const ScopeRule scopeRules[] = {
    {Scope::Script, {Mode::Apdu, Mode::Send}, "--apdu or --send"},
    {Scope::ScriptOrCommands, {Mode::Apdu, Mode::Send, Mode::Simulate}, "--apdu, --send or --simulate"},
    {Scope::Simulate, {Mode::Simulate}, "--simulate"},
    {Scope::Trace, with(with(channelModes, {Mode::Info}), {Mode::Simulate}),
     "a card mode but --readers, or --simulate"},
    {Scope::SecurityDomain, with(channelModes, {Mode::Apdu, Mode::Info}), "--apdu or a card mode but --readers"},
    {Scope::LoadFile,
     {Mode::LoadFile, Mode::Check, Mode::Dump, Mode::Apdu, Mode::Send, Mode::ToExp, Mode::Simulate},
     "--load-file, --check, --dump, --apdu, --send, --to-exp or --simulate"},
    {Scope::Card, with(channelModes, {Mode::Info}), "a card mode but --readers"},
    {Scope::CardKey, channelModes, "a card mode that opens a secure channel (not --readers or --info)"},
    {Scope::Delete, {Mode::Delete, Mode::CardState}, "--delete or --card-state"},
    {Scope::Install,
     {Mode::Apdu, Mode::Send, Mode::Install, Mode::CreateSd, Mode::Simulate},
     "--apdu, --send, --install, --create-sd or --simulate"},
    {Scope::PutKeys, {Mode::PutKeys}, "--put-keys"},
    {Scope::Move, {Mode::Move}, "--move"},
    {Scope::ToCap, {Mode::ToCap}, "--to-cap"},
    {Scope::Dump, {Mode::Dump}, "--dump"},
    {Scope::Verify,
     {Mode::LoadFile, Mode::Check, Mode::Dump, Mode::Apdu, Mode::Send, Mode::ToExp, Mode::ToCap, Mode::Simulate},
     "--load-file, --check, --dump, --apdu, --send, --to-exp, --to-cap or --simulate"},
};

// The modes that make and check a load file: those the load file's options go with.
bool checksLoadFiles(Mode mode)
{
    for (const auto& rule : scopeRules)
        if (rule.scope == Scope::LoadFile)
            return std::find(rule.modes.begin(), rule.modes.end(), mode) != rule.modes.end();
    return false;
}

std::optional<tolvane::gp::Diversification> diversification(const std::string& name)
{
    static const std::pair<const char*, tolvane::gp::Diversification> kinds[] = {
        {"emv", tolvane::gp::Diversification::Emv},
        {"visa2", tolvane::gp::Diversification::Visa2},
        {"kdf3", tolvane::gp::Diversification::Kdf3}};
    for (const auto& [text, kind] : kinds)
        if (name == text)
            return kind;
    return std::nullopt;
}

struct Parser {
    Request request;
    bool modeGiven = false, noDescriptor = false;
    std::string modeOption;                 // the option that chose the mode
    std::vector<std::string> expPath;       // --exp-path, in order
    std::map<Scope, std::string> lastOf;    // the last option given of each scope
    std::optional<std::string> scriptValue; // --script: a format for --apdu, a file for --simulate

    bool setMode(Mode mode)
    {
        if (modeGiven && request.mode != mode)
            return false;
        request.mode = mode;
        modeGiven = true;
        return true;
    }

    // Takes one option and its value, checked each time it is given; what is
    // wrong with it, if anything.
    std::optional<std::string> take(const std::string& option, const std::string& value)
    {
        using tolvane::apdu::HashKind;
        const auto wrong = [&](const std::string& wanted) {
            return "option '" + option + "' takes " + wanted + ", not '" + value + "'";
        };
        const auto aid = [&]() -> std::optional<std::vector<std::uint8_t>> {
            auto bytes = tolvane::bytesFromHex(value);
            if (!bytes || bytes->size() < 5 || bytes->size() > 16)
                return std::nullopt;
            return bytes;
        };
        static const std::pair<const char*, Mode> fileModes[] = {
            {"--scan", Mode::Scan},        {"--load-file", Mode::LoadFile},
            {"--check", Mode::Check},      {"--dump", Mode::Dump},
            {"--apdu", Mode::Apdu},        {"--to-cap", Mode::ToCap},
            {"--to-exp", Mode::ToExp},     {"--compare-exp", Mode::CompareExp},
            {"--simulate", Mode::Simulate}};
        std::optional<Mode> chosen;
        for (const auto& [name, mode] : fileModes)
            if (option == name)
                chosen = mode;
        for (const auto& named : cardModes)
            if (option == named.option)
                chosen = named.mode;
        if (chosen) {
            if (!setMode(*chosen))
                return modeOption + " and " + option + " exclude one another: each chooses what the command does";
            modeOption = option;
            if (option == "--card-state") {
                const auto& states = tolvane::card::cardStates();
                const auto state =
                    std::find_if(states.begin(), states.end(), [&](const auto& s) { return value == s.name; });
                if (state == states.end())
                    return wrong("initialized, secured, locked, unlocked or terminated");
                request.card.cardState = *state;
            }
            return std::nullopt;
        }
        auto& card = request.card;
        if (option == "--key" || option == "--key-enc" || option == "--key-mac" || option == "--key-dek") {
            const auto key = tolvane::bytesFromHex(value);
            if (!key || (key->size() != 16 && key->size() != 24 && key->size() != 32))
                return "option '" + option + "' takes a key of 16, 24 or 32 bytes in hex"; // never the value
            card.defaultKey = false;
            if (option == "--key")
                card.channel.keys = {*key, *key, *key};
            else if (option == "--key-enc")
                card.channel.keys.enc = *key, request.keyPartGiven[0] = true;
            else if (option == "--key-mac")
                card.channel.keys.mac = *key, request.keyPartGiven[1] = true;
            else
                card.channel.keys.dek = *key, request.keyPartGiven[2] = true;
            return std::nullopt;
        }
        if (option == "--key-file") {
            if (const auto problem = tolvane::cli::readKeyFile(value, card.channel))
                return *problem;
            card.defaultKey = false;
            return std::nullopt;
        }
        auto& fresh = card.newKeys;
        if (option == "--new-key" || option == "--new-key-enc" || option == "--new-key-mac" ||
            option == "--new-key-dek") {
            if (option == "--new-key" && (value == "default" || value == "random")) {
                fresh.random = value == "random";
                if (value == "default") {
                    const auto key = tolvane::gp::defaultTestKey();
                    fresh.keys = {key, key, key};
                }
                return std::nullopt;
            }
            const auto key = tolvane::bytesFromHex(value);
            if (!key || (key->size() != 16 && key->size() != 24 && key->size() != 32))
                return "option '" + option + "' takes a key of 16, 24 or 32 bytes in hex" +
                       (option == "--new-key" ? ", default or random" : ""); // never the value
            if (option == "--new-key")
                fresh.keys = {*key, *key, *key};
            else if (option == "--new-key-enc")
                fresh.keys.enc = *key, request.newKeyPartGiven[0] = true;
            else if (option == "--new-key-mac")
                fresh.keys.mac = *key, request.newKeyPartGiven[1] = true;
            else
                fresh.keys.dek = *key, request.newKeyPartGiven[2] = true;
            return std::nullopt;
        }
        if (option == "--new-key-file") {
            tolvane::card::ChannelOptions read;
            if (const auto problem = tolvane::cli::readKeyFile(value, read))
                return *problem;
            if (read.keys.enc.empty() || read.keys.mac.empty() || read.keys.dek.empty())
                return "the key file " + value + " does not give all three of enc, mac and dek (or key)";
            fresh.keys = read.keys;
            return std::nullopt;
        }
        if (option == "--new-kdf") {
            const auto kind = diversification(value);
            if (!kind)
                return wrong("emv, visa2 or kdf3");
            fresh.diversification = *kind;
            return std::nullopt;
        }
        if (option == "--new-key-version") {
            const auto bytes = tolvane::bytesFromHex(value);
            if (!bytes || bytes->size() != 1 || (*bytes)[0] < 0x01 || (*bytes)[0] > 0x7F)
                return wrong("one byte in hex from 01 to 7F, such as 31");
            fresh.version = (*bytes)[0];
            return std::nullopt;
        }
        if (option == "--save-keys") {
            if (value.empty())
                return "option '--save-keys' needs a FILE";
            fresh.saveTo = value;
            return std::nullopt;
        }
        if (option == "--to") {
            const auto bytes = aid();
            if (!bytes)
                return wrong("an AID of 5 to 16 bytes in hex");
            card.moveTo = *bytes;
            return std::nullopt;
        }
        if (option == "--key-version") {
            const auto bytes = tolvane::bytesFromHex(value);
            if (!bytes || bytes->size() != 1)
                return wrong("one byte in hex, such as 30");
            card.channel.keyVersion = (*bytes)[0];
            return std::nullopt;
        }
        if (option == "--kdf") {
            const auto kind = diversification(value);
            if (!kind)
                return wrong("emv, visa2 or kdf3");
            card.channel.diversification = *kind;
            return std::nullopt;
        }
        if (option == "--scp") {
            if (value != "02" && value != "03" && value != "2" && value != "3")
                return wrong("02 or 03");
            card.channel.protocol = value.back() == '2' ? tolvane::gp::Protocol::Scp02 : tolvane::gp::Protocol::Scp03;
            return std::nullopt;
        }
        if (option == "--security") {
            if (value != "mac" && value != "enc")
                return wrong("mac or enc");
            card.channel.level =
                value == "enc" ? tolvane::gp::SecurityLevel::MacAndEncryption : tolvane::gp::SecurityLevel::Mac;
            return std::nullopt;
        }
        if (option == "--reader") {
            if (value.empty())
                return "option '--reader' needs a NAME";
            card.reader = value;
            return std::nullopt;
        }
        if (option == "--trace" || option == "--force") {
            (option == "--trace" ? card.trace : card.force) = true;
            request.simulate.settings.trace = card.trace;
            return std::nullopt;
        }
        if (option == "--sd" || option == "--instance" || option == "--dap-sd") {
            const auto bytes = aid();
            if (!bytes)
                return wrong("an AID of 5 to 16 bytes in hex");
            if (option == "--sd")
                request.script.securityDomain = *bytes;
            else if (option == "--instance")
                request.script.instance = *bytes;
            else
                request.dapSd = *bytes;
        } else if (option == "--dap-key") {
            request.dapKey = value;
        } else if (option == "--privileges") {
            const auto bytes = tolvane::bytesFromHex(value);
            if (!bytes || (bytes->size() != 1 && bytes->size() != 3))
                return wrong("1 or 3 bytes in hex");
            request.script.privileges = *bytes;
        } else if (option == "--params") {
            const auto bytes = tolvane::bytesFromHex(value);
            if (!bytes || bytes->size() > 127)
                return wrong("at most 127 bytes in hex");
            request.script.parameters = *bytes;
        } else if (option == "--block-size") {
            char* end = nullptr;
            const long size = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || size < 1 || size > 255)
                return wrong("1 to 255");
            request.script.blockSize = static_cast<unsigned>(size);
            request.card.blockSizeGiven = true;
        } else if (option == "--hash") {
            static const std::pair<const char*, HashKind> kinds[] = {{"none", HashKind::None},
                                                                     {"sha1", HashKind::Sha1},
                                                                     {"sha256", HashKind::Sha256},
                                                                     {"sha384", HashKind::Sha384},
                                                                     {"sha512", HashKind::Sha512}};
            const auto kind =
                std::find_if(std::begin(kinds), std::end(kinds), [&](const auto& k) { return value == k.first; });
            if (kind == std::end(kinds))
                return wrong("none, sha1, sha256, sha384 or sha512");
            request.script.hash = kind->second;
        } else if (option == "--script") {
            scriptValue = value; // a format or a file: the mode tells which
        } else if (option == "--vpcd") {
            const auto colon = value.rfind(':');
            const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
            char* end = nullptr;
            const long number = std::strtol(port.c_str(), &end, 10);
            if (port.empty() || *end != '\0' || number < 1 || number > 65535 || colon == 0)
                return wrong("[HOST:]PORT, such as 35963 or localhost:35963");
            request.simulate.vpcdHost = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
            request.simulate.vpcdPort = static_cast<unsigned>(number);
        } else if (option == "--budget" || option == "--memory") {
            char* end = nullptr;
            const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || *end != '\0' || number < 1000 || number > 1'000'000'000'000ULL)
                return wrong(option == "--budget" ? "a count of instructions, 1000 or more"
                                                  : "a count of bytes, 1000 or more");
            if (option == "--budget")
                request.simulate.settings.budget = number;
            else
                request.simulate.settings.persistentBytes = static_cast<std::size_t>(number);
        } else if (option == "--t0") {
            request.simulate.settings.t0 = true;
        } else if (option == "--channels") {
            if (value != "4" && value != "20")
                return wrong("4 or 20");
            request.simulate.settings.channels = value == "4" ? 4 : 20;
        } else if (option == "--card-scp") {
            // 02 or 03, with the i parameter after a colon where another is wanted.
            static const std::pair<const char*, std::pair<tolvane::gp::Protocol, unsigned>> choices[] = {
                {"02", {tolvane::gp::Protocol::Scp02, 0x55}},    {"02:15", {tolvane::gp::Protocol::Scp02, 0x15}},
                {"02:55", {tolvane::gp::Protocol::Scp02, 0x55}}, {"03", {tolvane::gp::Protocol::Scp03, 0x70}},
                {"03:00", {tolvane::gp::Protocol::Scp03, 0x00}}, {"03:10", {tolvane::gp::Protocol::Scp03, 0x10}},
                {"03:30", {tolvane::gp::Protocol::Scp03, 0x30}}, {"03:70", {tolvane::gp::Protocol::Scp03, 0x70}}};
            const auto choice = std::find_if(std::begin(choices), std::end(choices),
                                             [&](const auto& c) { return value == c.first; });
            if (choice == std::end(choices))
                return wrong("02 or 03, or with i: 02:15, 02:55, 03:00, 03:10, 03:30 or 03:70");
            request.simulate.keys.protocol = choice->second.first;
            request.simulate.keys.i = choice->second.second;
        } else if (option == "--profile") {
            if (value.empty())
                return wrong("a file for the folded stacks");
            request.simulate.profile = value;
        } else if (option == "--dap") {
            request.simulate.dap = true;
            if (!value.empty()) {
                char* end = nullptr;
                const long port = std::strtol(value.c_str(), &end, 10);
                if (*end != '\0' || port < 1 || port > 65535)
                    return wrong("a TCP port from 1 to 65535");
                request.simulate.dapPort = static_cast<unsigned>(port);
            }
        } else if (option == "--coverage") {
            if (value.empty())
                return wrong("a file for the coverage");
            request.simulate.coverage = value;
        } else if (option == "--card-file") {
            if (value.empty())
                return wrong("a file to keep the card in");
            request.simulate.cardFile = value;
        } else if (option == "--card-keys") {
            // One key for all three, as --key gives it, or ENC:MAC:DEK.
            std::vector<std::vector<std::uint8_t>> keys;
            std::size_t at = 0;
            for (bool last = false; !last;) {
                const auto colon = value.find(':', at);
                last = colon == std::string::npos;
                const auto key = tolvane::bytesFromHex(value.substr(at, last ? std::string::npos : colon - at),
                                                       tolvane::HexSpaces::Ignored);
                if (!key || (key->size() != 16 && key->size() != 24 && key->size() != 32)) {
                    keys.clear();
                    break;
                }
                keys.push_back(*key);
                at = colon + 1;
            }
            if (keys.size() == 1)
                keys = {keys[0], keys[0], keys[0]};
            if (keys.size() != 3 || keys[0].size() != keys[1].size() || keys[1].size() != keys[2].size())
                return wrong("a key of 16, 24 or 32 bytes in hex for ENC, MAC and DEK, or three as ENC:MAC:DEK, "
                             "all the same length");
            request.simulate.keys.keys = {keys[0], keys[1], keys[2]};
        } else if (option == "--replace" || option == "--load-only") {
            (option == "--replace" ? request.script.replace : request.script.loadOnly) = true;
        } else if (option == "--package") {
            const auto& path = value;
            if (path.empty() || path.front() == '/' || path.back() == '/' || path.find("//") != std::string::npos ||
                path.find("..") != std::string::npos)
                return "option '--package' takes a package path such as com/acme/wallet, not '" + path + "'";
            request.packagePath = path;
        } else if (option == "--no-descriptor") {
            noDescriptor = true;
        } else if (option == "--types") {
            request.types = true;
        } else if (option == "--no-verify") {
            request.loadFile.verify = false;
        } else if (option == "--exp-path") {
            if (value.empty())
                return "option '--exp-path' needs a folder or a JAR or ZIP file";
            expPath.push_back(value);
        } else if (option == "--target") {
            if (!tolvane::cap::isRelease(value))
                return "'" + value + "' is no Java Card version, such as 3.0.4";
            request.loadFile.target = value;
        } else if (option == "--json") {
            request.json = true;
        } else if (option == "--quiet") {
            request.quiet = true;
        } else if (option == "--output") {
            if (value.empty())
                return "option '--output' needs a FILE";
            request.output = value;
        } else {
            return "option '" + option + "' is listed but not handled"; // a fault of this program
        }
        return std::nullopt;
    }
};

// What each card mode takes besides options: how many arguments, and
// whether they are AIDs (all of them, or all but the first few).
struct ArgumentRule {
    Mode mode;
    std::size_t least, most;
    const char* needs; // what a refusal says is needed
    bool aids = true;
};
constexpr std::size_t any = static_cast<std::size_t>(-1);
const ArgumentRule argumentRules[] = {
    {Mode::Readers, 0, 0, ""},
    {Mode::List, 0, 0, ""},
    {Mode::Info, 0, 0, ""},
    {Mode::PutKeys, 0, 0, ""},
    {Mode::CardState, 0, 0, ""},
    {Mode::Send, 1, any, "no CAP file given", false},
    {Mode::Delete, 1, any, "--delete needs the AID of what to delete"},
    {Mode::LockApp, 1, any, "--lock-app needs the AID of each application to lock"},
    {Mode::UnlockApp, 1, any, "--unlock-app needs the AID of each application to unlock"},
    {Mode::MakeDefault, 1, 1, "--make-default takes the AID of one application"},
    {Mode::Install, 2, 2, "--install takes a load file's AID and its module's AID: LOAD-FILE-AID MODULE-AID"},
    {Mode::CreateSd, 1, 1, "--create-sd takes the AID of the new security domain"},
    {Mode::Move, 1, 1, "--move takes the AID of one application or load file"},
    {Mode::StoreData, 2, any, "--store-data takes the application's AID, then the data of each STORE DATA in hex",
     false},
};

std::optional<std::string> cardArgumentsProblem(const Request& request)
{
    const auto& arguments = request.capFiles;
    const auto rule = std::find_if(std::begin(argumentRules), std::end(argumentRules),
                                   [&](const ArgumentRule& r) { return r.mode == request.mode; });
    const char* named = cardModeOf(request.mode)->option;
    if (rule->most == 0 && !arguments.empty())
        return std::string(named) + " takes no file or AID, and '" + arguments.front() + "' was given";
    if (arguments.size() < rule->least || arguments.size() > rule->most)
        return std::string(rule->needs) + (arguments.empty()
                                               ? std::string()
                                               : ", and " + std::to_string(arguments.size()) +
                                                     (arguments.size() == 1 ? " was given" : " were given"));
    const auto isAid = [](const std::string& text) {
        const auto bytes = tolvane::bytesFromHex(text);
        return bytes && bytes->size() >= 5 && bytes->size() <= 16;
    };
    if (rule->aids) {
        for (const auto& argument : arguments)
            if (!isAid(argument))
                return std::string(named) + " takes AIDs of 5 to 16 bytes in hex, not '" + argument + "'";
    } else if (request.mode == Mode::StoreData) {
        if (!isAid(arguments.front()))
            return "--store-data takes the application's AID first, of 5 to 16 bytes in hex, not '" +
                   arguments.front() + "'";
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const auto data = tolvane::bytesFromHex(arguments[i]);
            if (!data || data->empty() || data->size() > 255)
                return "--store-data takes the data of each STORE DATA as 1 to 255 bytes in hex, not '" + arguments[i] +
                       "'";
        }
    }
    return std::nullopt;
}

// The new keys of --put-keys: given once, whole, and saved where they
// would otherwise be lost.
std::optional<std::string> newKeysProblem(const Request& request)
{
    const auto& fresh = request.card.newKeys;
    const int parts = request.newKeyPartGiven[0] + request.newKeyPartGiven[1] + request.newKeyPartGiven[2];
    if (parts != 0 && parts != 3)
        return "--new-key-enc, --new-key-mac and --new-key-dek go together";
    if (request.mode != Mode::PutKeys)
        return std::nullopt;
    if (!fresh.random && fresh.keys.enc.empty())
        return "--put-keys needs the new keys: --new-key, --new-key-enc with --new-key-mac and --new-key-dek, or "
               "--new-key-file";
    if (fresh.random && !fresh.keys.enc.empty())
        return "--new-key random makes the keys, and other new keys were given too";
    if (fresh.random && fresh.saveTo.empty())
        return "--new-key random needs --save-keys FILE: keys made here and never written down would lock the "
               "card out for good";
    // EMV and VISA2 diversify with 3DES: their master keys have 16 bytes.
    const auto des = [](tolvane::gp::Diversification how) {
        return how == tolvane::gp::Diversification::Emv || how == tolvane::gp::Diversification::Visa2;
    };
    const auto& keys = fresh.keys;
    if (des(fresh.diversification) && !fresh.random &&
        (keys.enc.size() != 16 || keys.mac.size() != 16 || keys.dek.size() != 16))
        return "--new-kdf emv and visa2 diversify master keys of 16 bytes, and the new keys are not";
    if (!fresh.saveTo.empty()) {
        std::error_code error;
        if (std::filesystem::symlink_status(fresh.saveTo, error).type() != std::filesystem::file_type::not_found)
            return "--save-keys never writes over a file, and " + fresh.saveTo + " exists; nothing was sent";
        const auto folder = std::filesystem::path(fresh.saveTo).parent_path();
        if (!folder.empty() && !std::filesystem::is_directory(folder, error))
            return "--save-keys names a file in " + folder.string() + ", which is no folder; nothing was sent";
    }
    return std::nullopt;
}

// The request the arguments make, or the exit status when they make none.
// Which options there are, and which take a value, comes from the one table
// that also makes the help, the manual page and the completion.
std::variant<Request, int> parse(int argc, char** argv)
{
    Parser parser;
    Request& request = parser.request;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            request.capFiles.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = argument.rfind("--", 0) == 0 ? argument.find('=') : std::string::npos;
        const std::string name = argument.substr(0, equals);
        const tolvane::cli::Option* option = optionNamed(name);
        if (option == nullptr)
            return usageError("unknown option '" + name + "'");
        const std::string longName = option->longName;
        if (longName == "--help") {
            std::fputs(tolvane::cli::helpText().c_str(), stdout);
            return exitOk;
        }
        if (longName == "--version") {
            std::printf("tolvane-cli %s\n", TOLVANE_VERSION);
            return exitOk;
        }
        std::string value;
        const bool optional = option->value == tolvane::cli::Value::Optional;
        if (option->argument == nullptr) {
            if (equals != std::string::npos)
                return usageError("option '" + longName + "' takes no value");
        } else if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (optional) {
            // A value that may be left out: taken only where the next
            // argument is one (a number), never a CAP file.
            if (i + 1 < argc && *argv[i + 1] != '\0' &&
                std::string(argv[i + 1]).find_first_not_of("0123456789") == std::string::npos)
                value = argv[++i];
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return usageError("option '" + name + "' needs " + (std::string(option->argument) == "AID" ? "an " : "a ") +
                              option->argument);
        }
        if (const auto problem = parser.take(longName, value))
            return usageError(*problem);
        if (option->scope != Scope::Any)
            parser.lastOf[option->scope] = longName;
    }
    for (const auto& rule : scopeRules) {
        const auto given = parser.lastOf.find(rule.scope);
        if (given != parser.lastOf.end() &&
            std::find(rule.modes.begin(), rule.modes.end(), request.mode) == rule.modes.end())
            return usageError(given->second + " goes with " + rule.where);
    }
    if (parser.scriptValue && request.mode == Mode::Simulate) {
        request.simulate.script = *parser.scriptValue;
    } else if (parser.scriptValue) {
        if (request.mode == Mode::Send && *parser.scriptValue != "scriptor")
            return usageError("--script goes with --apdu");
        if (*parser.scriptValue != "scriptor" && *parser.scriptValue != "gpshell")
            return usageError("option '--script' takes scriptor or gpshell with --apdu, not '" + *parser.scriptValue +
                              "'");
        request.script.format = *parser.scriptValue == "gpshell" ? tolvane::apdu::ScriptFormat::GpShell
                                                                 : tolvane::apdu::ScriptFormat::Scriptor;
    }
    const int parts = request.keyPartGiven[0] + request.keyPartGiven[1] + request.keyPartGiven[2];
    if (parts != 0 && parts != 3)
        return usageError("--key-enc, --key-mac and --key-dek go together");
    if (request.mode == Mode::Send && request.card.blockSizeGiven) {
        const bool encrypts = request.card.channel.level == tolvane::gp::SecurityLevel::MacAndEncryption;
        const unsigned largest = encrypts ? 239 : 247;
        if (request.script.blockSize > largest)
            return usageError("--block-size " + std::to_string(request.script.blockSize) + " does not fit a command " +
                              (encrypts ? "encrypted and MACed" : "with its C-MAC") + "; " + std::to_string(largest) +
                              " or less does");
    }
    if (!request.dapKey.empty() && request.dapSd.empty())
        return usageError("--dap-key needs --dap-sd, the security domain whose DAP it is");
    if (request.dapKey.empty() && !request.dapSd.empty())
        return usageError("--dap-sd needs --dap-key, the key that signs the DAP");
    if (!request.dapKey.empty() && request.script.hash == tolvane::apdu::HashKind::None)
        return usageError("--hash none cannot go with --dap-key: a DAP signs the Load File Data Block hash");
    request.loadFile.keepDescriptor = !parser.noDescriptor;
    if (checksLoadFiles(request.mode)) {
        // Without --exp-path, the export files of the SDK that JC_HOME names,
        // as the SDK's own tools find them; one line says so.
        if (parser.expPath.empty())
            if (const auto sdk = tolvane::exp::ExportPath::fromEnvironment()) {
                parser.expPath.push_back(*sdk);
                if (!request.quiet)
                    std::fprintf(stderr, "tolvane-cli: export files from %s (JC_HOME)\n",
                                 tolvane::withControlsEscaped(*sdk).c_str());
            }
        if (!parser.expPath.empty())
            request.loadFile.exports = std::make_shared<const tolvane::exp::ExportPath>(parser.expPath);
    }
    if (isCardMode(request.mode)) {
        if (!request.output.empty())
            return usageError("a card mode writes no file, so --output has nothing to write");
        if (const auto problem = cardArgumentsProblem(request))
            return usageError(*problem);
        if (const auto problem = newKeysProblem(request))
            return usageError(*problem);
        const auto& channel = request.card.channel;
        if ((channel.diversification == tolvane::gp::Diversification::Emv ||
             channel.diversification == tolvane::gp::Diversification::Visa2) &&
            !request.card.defaultKey &&
            (channel.keys.enc.size() != 16 || channel.keys.mac.size() != 16 || channel.keys.dek.size() != 16))
            return usageError("--kdf emv and visa2 diversify master keys of 16 bytes, and the keys given are not");
        if (request.mode == Mode::CreateSd && request.script.instance)
            return usageError("--create-sd names the security domain's AID itself: --instance has nothing to name");
        if (request.mode == Mode::CardState && request.card.cardState.irreversible && !request.card.force)
            return usageError(std::string("--card-state ") + request.card.cardState.name +
                              " cannot be undone, and needs --force; nothing was sent");
        if (request.mode == Mode::Move && request.card.moveTo.empty())
            return usageError("--move needs --to, the security domain to move to");
        return request;
    }
    if (request.mode == Mode::CompareExp) {
        if (request.capFiles.size() != 2 || !request.output.empty() || request.json)
            return usageError("--compare-exp takes two export files, OLD.exp and NEW.exp, and no other option");
        return request;
    }
    // A simulated card may start empty: its card manager takes loads.
    if (request.mode == Mode::Simulate) {
        if (!request.output.empty())
            return usageError("--simulate writes no file, so --output has nothing to write");
        if (request.simulate.vpcdPort && !request.simulate.script.empty())
            return usageError("--vpcd takes its commands from pcscd, so --script has nothing to give");
        if (request.simulate.dap && request.simulate.vpcdPort)
            return usageError("--dap takes its commands from the debugger's console and script, and --vpcd from pcscd: "
                              "choose one");
        if (request.simulate.dap && !request.simulate.coverage.empty())
            return usageError("--coverage and --dap each watch every instruction: choose one");
        if (request.simulate.dap && request.json)
            return usageError("--dap speaks JSON to its client already: --json has nothing to change");
        auto& simulate = request.simulate;
        if (simulate.keys.protocol == tolvane::gp::Protocol::Scp02 && !simulate.keys.keys.enc.empty() &&
            simulate.keys.keys.enc.size() != 16)
            return usageError("--card-scp 02 takes DES keys of 16 bytes, and --card-keys gives " +
                              std::to_string(simulate.keys.keys.enc.size()));
        for (const auto& file : request.capFiles)
            simulate.files.push_back(absoluteCapPath(file));
        simulate.loadFile = request.loadFile;
        simulate.instance = request.script.instance;
        simulate.privileges = request.script.privileges;
        simulate.parameters = request.script.parameters;
        simulate.json = request.json;
        simulate.quiet = request.quiet;
        return request;
    }
    if (request.capFiles.empty())
        return usageError("no CAP file given");
    if (!request.output.empty() && request.capFiles.size() > 1)
        return usageError("--output takes one CAP file, and " + std::to_string(request.capFiles.size()) +
                          " were given");
    if (!request.output.empty() && (request.mode == Mode::Check || request.mode == Mode::Dump))
        return usageError("--check and --dump write nothing, so --output has nothing to write");
    return request;
}

// The IJC path that --output gives, made absolute like a CAP path; "-" and
// nothing stay as they are.
std::string outputPath(const std::string& output)
{
    return output == "-" ? output : absoluteCapPath(output);
}

std::unique_ptr<tolvane::CapObserver> reportFor(const Request& request, tolvane::ReportSink& sink)
{
    const bool dump = request.mode == Mode::Dump;
    if (request.json)
        return std::make_unique<tolvane::JsonReport>(sink, dump, request.mode == Mode::Apdu);
    if (request.mode == Mode::LoadFile || request.mode == Mode::Check || dump || request.mode == Mode::Apdu ||
        request.mode == Mode::ToCap)
        return std::make_unique<tolvane::LoadFileReport>(sink, dump, request.types);
    return std::make_unique<tolvane::TextReport>(sink);
}

// The modes that talk to a card; what the card refuses exits 1, what it
// makes impossible to ask (a block size it cannot take) 2.
int runCard(Request& request)
{
    auto& card = request.card;
    card.mode = cardModeOf(request.mode)->card;
    card.json = request.json;
    card.quiet = request.quiet;
    card.script = request.script;
    card.loadFile = request.loadFile;
    card.arguments = request.capFiles;
    if (card.defaultKey) {
        const auto key = tolvane::gp::defaultTestKey();
        card.channel.keys = {key, key, key};
    }
    try {
        const int status = tolvane::cli::runCardMode(card);
        std::fflush(stdout);
        return status;
    } catch (const tolvane::Error& error) {
        if (error.kind() == tolvane::ErrorKind::CardUsage) {
            std::fflush(stdout);
            std::fprintf(stderr, "tolvane-cli: %s\n",
                         tolvane::withControlsEscaped(tolvane::displayText(error.message())).c_str());
            return exitUsage;
        }
        return reportFailure(error);
    } catch (const std::exception& error) {
        return reportFailure(error.what());
    }
}

// --to-exp: the package's export file, beside its CAP file as NAME.exp, or
// where -o says; the CAP file is checked as --check checks it first.
void writeExportFileOf(const std::string& capPath, const Request& request, tolvane::ZipArchive& archive)
{
    const auto written = tolvane::convertToExportFile(capPath, request.loadFile, archive, outputPath(request.output));
    if (!request.quiet)
        std::fprintf(written.path == "-" ? stderr : stdout, "%s\n",
                     tolvane::withControlsEscaped("Export file: " + written.path + " (" + written.package + ", " +
                                                  std::to_string(written.classes) + " classes, " +
                                                  std::to_string(written.bytes) + " bytes)")
                         .c_str());
}

// --compare-exp: each way NEW breaks what OLD offers, on a line; exit 1
// where there is one.
int compareExports(const std::string& older, const std::string& newer, bool quiet)
{
    try {
        const auto read = [](const std::string& path) {
            return tolvane::exp::readExportFile(tolvane::exp::exportFileBytes(path), path);
        };
        const auto was = read(older), is = read(newer);
        const auto breaks = tolvane::exp::replacementBreaks(was, is);
        for (const auto& line : breaks)
            std::printf("%s\n", tolvane::withControlsEscaped(line).c_str());
        if (breaks.empty() && !quiet)
            std::printf("%s\n", tolvane::withControlsEscaped(newer + " (" + is.package.text() + ") may replace " +
                                                             older + " (" + was.package.text() + ")")
                                    .c_str());
        std::fflush(stdout);
        return breaks.empty() ? exitOk : exitConversionFailed;
    } catch (const tolvane::Error& error) {
        return reportFailure(error);
    }
}

} // namespace

int main(int argc, char** argv)
{
    tolvane::nameTheLocalTimeZone();
    auto parsed = parse(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    Request& request = std::get<Request>(parsed);
    // The DAP key is read once, before any CAP file: a key that cannot sign
    // is a mistake in the command, not in a CAP file.
    std::optional<tolvane::apdu::DapSigner> signer;
    if (!request.dapKey.empty()) {
        try {
            signer = tolvane::apdu::DapSigner::load(request.dapKey);
        } catch (const tolvane::Error& error) {
            return usageError(tolvane::displayText(error.message()));
        }
        request.script.dap = tolvane::apdu::Dap{&*signer, request.dapSd};
    }
    if (isCardMode(request.mode))
        return runCard(request);
    if (request.mode == Mode::CompareExp)
        return compareExports(request.capFiles[0], request.capFiles[1], request.quiet);
    if (request.mode == Mode::Simulate)
        return tolvane::cli::runSimulation(request.simulate);

    // With the IJC file on standard output, the report goes to standard error.
    std::FILE* reportStream = request.quiet ? nullptr : request.output == "-" ? stderr : stdout;
    ConsoleSink sink(reportStream);
    const auto report = reportFor(request, sink);
    tolvane::ZipArchive archive;
    int status = exitOk;
    for (const auto& argument : request.capFiles) {
        const auto capPath = absoluteCapPath(argument);
        try {
            switch (request.mode) {
            case Mode::Archive:
                tolvane::convertThroughArchive(capPath, *report, archive, outputPath(request.output));
                break;
            case Mode::Scan:
                if (tolvane::convertByScanning(capPath, *report, outputPath(request.output)) ==
                    tolvane::ScanOutcome::WrongFormat) {
                    // The window shows only the report line for a file the scan
                    // cannot walk; a script needs to hear that nothing was converted.
                    const tolvane::Error wrongFormat(tolvane::ErrorKind::WrongFormat, capPath);
                    reportFailure(wrongFormat.message());
                    status = exitStatusFor(wrongFormat);
                }
                break;
            case Mode::ToCap:
                tolvane::convertToCapFile(capPath, request.loadFile, request.packagePath, *report, archive,
                                          outputPath(request.output));
                break;
            case Mode::Apdu:
                tolvane::convertToApduScript(capPath, request.loadFile, request.script, *report, archive,
                                             outputPath(request.output));
                break;
            case Mode::LoadFile:
            case Mode::Check:
            case Mode::Dump:
                tolvane::convertToLoadFile(capPath, request.loadFile,
                                           request.mode == Mode::LoadFile ? tolvane::LoadFileAction::Write
                                                                          : tolvane::LoadFileAction::Check,
                                           *report, archive, outputPath(request.output));
                break;
            case Mode::ToExp:
                writeExportFileOf(capPath, request, archive);
                break;
            default:
                break; // the card modes, run by runCard before this loop
            }
        } catch (const tolvane::Error& error) {
            reportFailure(error);
            status = exitStatusFor(error);
        } catch (const std::exception& error) {
            status = reportFailure(error.what());
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "tolvane-cli: cannot write the report to standard output: %s\n", std::strerror(errno));
        return exitConversionFailed;
    }
    return status;
}
