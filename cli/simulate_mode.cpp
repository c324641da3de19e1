#include "cli/simulate_mode.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/hex.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/report/report_sink.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/card/vpcd.h"
#include "core/runtime/debug/coverage.h"
#include "core/runtime/debug/debugger.h"
#include "core/zip/archive.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <unistd.h>

namespace tolvane::cli {
namespace {

constexpr int exitOk = 0, exitFailed = 1, exitUsage = 2;

std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int)
{
    stopRequested = true;
}

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    return hexText(bytes, HexCase::Upper);
}

nlohmann::json diagnosticJson(const runtime::Diagnostic& diagnostic)
{
    nlohmann::json frames = nlohmann::json::array();
    for (const auto& frame : diagnostic.frames) {
        nlohmann::json entry{{"class", frame.cls}, {"method", frame.method}, {"offset", frame.offset}};
        if (!frame.file.empty())
            entry["file"] = frame.file;
        if (frame.line)
            entry["line"] = frame.line;
        frames.push_back(entry);
    }
    nlohmann::json json{{"exception", diagnostic.exception.empty() ? nullptr : nlohmann::json(diagnostic.exception)},
                        {"caught", diagnostic.caught},
                        {"frames", frames},
                        {"text", diagnostic.lines()}};
    if (diagnostic.reason)
        json["reason"] = *diagnostic.reason;
    if (!diagnostic.detail.empty())
        json["detail"] = diagnostic.detail;
    if (!diagnostic.apiCall.empty())
        json["api_call"] = diagnostic.apiCall;
    return json;
}

void print(const std::string& line, std::FILE* stream = stdout)
{
    std::fprintf(stream, "%s\n", withControlsEscaped(line).c_str());
}

// One command and its answer, as text or as a JSON line.
void report(const SimulateRequest& request, const std::vector<std::uint8_t>& command, const runtime::Response& response,
            std::FILE* diagnostics)
{
    if (request.quiet)
        return;
    if (request.json) {
        nlohmann::json json{
            {"command", hex(command)},
            {"data", hex(response.data)},
            {"sw", hex({static_cast<std::uint8_t>(response.sw >> 8), static_cast<std::uint8_t>(response.sw)})},
            {"instructions", response.instructions}};
        if (!response.cardReason.empty())
            json["card_reason"] = response.cardReason;
        if (!response.diagnostics.empty()) {
            json["exception"] = diagnosticJson(response.diagnostics.front());
            nlohmann::json more = nlohmann::json::array();
            for (std::size_t i = 1; i < response.diagnostics.size(); ++i)
                more.push_back(diagnosticJson(response.diagnostics[i]));
            if (!more.empty())
                json["more_exceptions"] = more;
        }
        std::printf("%s\n", json.dump().c_str());
        return;
    }
    print("=> " + spacedHex(command));
    print("<= " + spacedHex(response.bytes()));
    if (!response.cardReason.empty())
        print("   The card answered without an applet: " + response.cardReason, diagnostics);
    for (const auto& diagnostic : response.diagnostics)
        for (const auto& line : diagnostic.lines())
            print("   " + line, diagnostics);
}

// Loads every file; throws Error.
void loadFiles(runtime::SimulatedCard& card, const SimulateRequest& request, const std::vector<std::string>& files)
{
    ZipArchive archive;
    for (const auto& path : files) {
        const InputFile input = readInput(path);
        const LoadFile file = makeLoadFile(entriesOf(input, archive), request.loadFile, input.path);
        card.load(file, input.path);
    }
}

// Installs every applet of the file loaded last (none where no file was:
// the card as it is, whose card manager takes loads); a line for each.
// Throws Error.
std::vector<std::string> installApplets(runtime::SimulatedCard& card, const SimulateRequest& request,
                                        const std::vector<std::string>& files)
{
    std::vector<std::string> lines;
    if (files.empty())
        return lines;
    const auto applets = card.lastApplets();
    if (request.instance && applets.size() != 1)
        throw Error(ErrorKind::Simulation, files.back(),
                    "--instance names the instance of one applet, and the package has " +
                        std::to_string(applets.size()));
    for (const auto& applet : applets) {
        const auto instance = request.instance.value_or(applet.aid);
        const auto registered = card.install(applet.aid, instance, request.privileges, request.parameters);
        lines.push_back("Installed " + hex(registered) + " (" + applet.packageName + ", applet " + hex(applet.aid) +
                        ")");
    }
    return lines;
}

void prepare(runtime::SimulatedCard& card, const SimulateRequest& request)
{
    loadFiles(card, request, request.files);
    for (const auto& line : installApplets(card, request, request.files))
        if (!request.quiet && !request.json)
            print(line);
}

// A card as --simulate makes it: its settings and first keys, kept in its
// card file where one is named (read from it where it holds one).
std::unique_ptr<runtime::SimulatedCard> makeCard(const SimulateRequest& request, const runtime::CardSettings& settings,
                                                 const std::string& cardFile)
{
    auto card = std::make_unique<runtime::SimulatedCard>(settings, request.keys);
    card->setLoadOptions(request.loadFile);
    if (!cardFile.empty()) {
        if (const auto state = runtime::readCardFile(cardFile))
            card->restoreState(*state, cardFile);
        card->keepIn(cardFile);
    }
    return card;
}


struct Figures {
    std::size_t commands = 0;
    std::uint64_t instructions = 0;
};

// A report of the run to its file, whole or not at all; false (said on
// stderr) where it cannot be written.
bool writeReport(const std::string& path, const std::string& text, const char* what)
{
    using namespace files;
    AtomicFile file;
    if (!file.begin(path, Links::WriteTarget, newFilePermissions(), Durability::Flushed) ||
        !file.write(text.data(), text.size()) || !file.commit()) {
        print(std::string("tolvane-cli: cannot write the ") + what + " " + path + ": " + lastErrorText(), stderr);
        return false;
    }
    return true;
}

// The profile's folded stacks to its file, and (with `table`) the methods
// that ran most; false (said on stderr) where the file cannot be written.
bool writeProfile(const runtime::Profile& profile, const runtime::Profile::Namer& names,
                  const SimulateRequest& request, bool table = true)
{
    std::string text;
    for (const auto& line : profile.folded(names))
        text += line + '\n';
    if (!writeReport(request.profile, text, "profile"))
        return false;
    if (request.quiet || request.json || !table)
        return true;
    const auto rows = profile.table(names);
    print("Methods that ran most (instructions in the method, with what it called, calls):");
    for (std::size_t i = 0; i < rows.size() && i < 15; ++i)
        print("  " + std::to_string(rows[i].self) + "  " + std::to_string(rows[i].total) + "  " +
              std::to_string(rows[i].calls) + "  " + rows[i].method);
    return true;
}

// LCOV for the packages with Debug, else (or for a .json file) JSON.
bool writeCoverage(const runtime::Coverage& coverage, const runtime::Vm& vm, const SimulateRequest& request)
{
    const auto bare = runtime::Coverage::withoutDebug(vm);
    std::size_t loaded = 0;
    for (const auto& package : vm.packages())
        loaded += !package->api;
    const bool json = request.coverage.ends_with(".json") || bare.size() == loaded;
    if (json)
        return writeReport(request.coverage, coverage.json(vm).dump(1) + '\n', "coverage");
    for (const auto& name : bare)
        print("tolvane-cli: " + name + " has no Debug component, and is not in the LCOV coverage (a file ending in "
                  ".json gets it by bytecode offset)",
              stderr);
    return writeReport(request.coverage, coverage.lcov(vm), "coverage");
}

// --dap: the card made at the client's launch, served until it
// disconnects.
int serveDebugger(const SimulateRequest& request)
{
    runtime::DebugLaunch defaults;
    defaults.files = request.files;
    defaults.script = request.script;
    defaults.cardFile = request.cardFile;
    runtime::DebugCardMaker maker;
    std::vector<std::string> files;
    runtime::Profile profile; // of the session's commands, the installs' too
    runtime::Profile::Namer names;
    maker.make = [&](const runtime::DebugLaunch& launch) {
        files.clear();
        for (const auto& file : launch.files) {
            // The input's layer takes full paths only; the client's may be relative.
            std::error_code error;
            const auto path = std::filesystem::absolute(file, error);
            files.push_back(file.empty() || error ? file : path.string());
        }
        auto card = makeCard(request, request.settings, launch.cardFile);
        loadFiles(*card, request, files);
        if (!request.profile.empty())
            card->setProfile(&profile);
        names = card->profileNames();
        return card;
    };
    maker.install = [&](runtime::SimulatedCard& card) { return installApplets(card, request, files); };
    // Standard output is the client's: the table of methods is not shown.
    // Written once, when the client ends the session or goes away.
    std::optional<bool> profileWritten;
    const auto keepProfile = [&] {
        if (!profileWritten && !request.profile.empty() && names)
            profileWritten = writeProfile(profile, names, request, false);
    };
    maker.ending = keepProfile;
    // A client that goes away makes writes to it fail, which ends the
    // session; it must not end the process before the profile is kept.
    std::signal(SIGPIPE, SIG_IGN);
    int in = STDIN_FILENO, out = STDOUT_FILENO;
    try {
        if (request.dapPort) {
            in = out = runtime::acceptDapClient(
                request.dapPort,
                [](unsigned port) {
                    print("tolvane-cli: the debug adapter listens on 127.0.0.1:" + std::to_string(port), stderr);
                },
                [](const std::string& refusal) { print("tolvane-cli: " + refusal, stderr); });
        }
    } catch (const Error& error) {
        print("tolvane-cli: " + displayText(error.message()), stderr);
        return exitUsage;
    }
    runtime::DapChannel channel(in, out);
    runtime::Debugger debugger(channel, maker, defaults);
    int status = debugger.serve();
    keepProfile();
    if (profileWritten == false)
        status = 1;
    if (!channel.problem().empty())
        print("tolvane-cli: " + channel.problem(), stderr);
    if (in != STDIN_FILENO)
        ::close(in);
    return status == 0 ? exitOk : exitFailed;
}

// Runs the script's lines; the exit status.
int runScript(runtime::SimulatedCard& card, const SimulateRequest& request, std::istream& in, Figures& figures)
{
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (line == "reset") {
            card.reset();
            if (!request.quiet)
                request.json ? print(nlohmann::json{{"reset", true}, {"atr", hex(card.atr())}}.dump())
                             : print("reset: " + spacedHex(card.atr()));
            continue;
        }
        const auto command = bytesFromHex(line, HexSpaces::Ignored);
        if (!command || command->size() < 4) {
            std::fflush(stdout);
            print("tolvane-cli: " + (request.script.empty() ? std::string("standard input") : request.script) +
                      ", line " + std::to_string(number) + ": '" + line + "' is no command APDU in hex",
                  stderr);
            return exitUsage;
        }
        const auto response = card.transmit(*command);
        ++figures.commands;
        figures.instructions += response.instructions;
        report(request, *command, response, stdout);
    }
    return exitOk;
}

} // namespace

int runSimulation(const SimulateRequest& request)
{
    // The script is opened first: a file that cannot be read is a mistake
    // in the command, told before anything is loaded.
    std::ifstream script;
    if (!request.script.empty()) {
        script.open(request.script);
        if (!script) {
            print("tolvane-cli: cannot read the script " + request.script, stderr);
            return exitUsage;
        }
    }
    if (request.dap)
        return serveDebugger(request);
    runtime::CardSettings settings = request.settings;
    if (request.vpcdPort)
        settings.stop = &stopRequested; // a signal ends the command running too
    std::unique_ptr<runtime::SimulatedCard> made;
    runtime::Coverage coverage;
    try {
        // A card file that is refused is left as it was, and nothing runs.
        made = makeCard(request, settings, request.cardFile);
        if (!request.coverage.empty())
            made->setTracer(&coverage); // installs too: a constructor's lines are the applet's
        prepare(*made, request);
    } catch (const Error& error) {
        std::fflush(stdout);
        print("tolvane-cli: " + displayText(error.message()), stderr);
        for (const auto& line : error.followingLines())
            print("tolvane-cli: " + line, stderr);
        return exitFailed;
    }
    runtime::SimulatedCard& card = *made;
    runtime::Profile profile;
    if (!request.profile.empty())
        card.setProfile(&profile); // the commands', not the installs'
    if (request.vpcdPort) {
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        runtime::VpcdObserver observer;
        observer.exchanged = [&](const std::vector<std::uint8_t>& command, const runtime::Response& response) {
            report(request, command, response, stderr);
            std::fflush(stdout);
        };
        observer.event = [&](const std::string& event) {
            if (!request.quiet)
                print("tolvane-cli: " + event, stderr);
        };
        try {
            runtime::serveVpcd(card, request.vpcdHost, request.vpcdPort, stopRequested, observer);
        } catch (const Error& error) {
            // A host that cannot be found is the command line's mistake; a
            // card file that cannot be written after a command is the card's.
            print("tolvane-cli: " + displayText(error.message()), stderr);
            return error.kind() == ErrorKind::Simulation ? exitFailed : exitUsage;
        }
        // Stopped: the profile of every command served.
        if (!request.profile.empty() && !writeProfile(profile, card.profileNames(), request))
            return exitFailed;
        if (!request.coverage.empty() && !writeCoverage(coverage, card.vm(), request))
            return exitFailed;
        return exitOk;
    }
    Figures figures;
    const auto started = std::chrono::steady_clock::now();
    int status = exitOk;
    try {
        if (request.script.empty())
            status = runScript(card, request, std::cin, figures);
        else
            status = runScript(card, request, script, figures);
    } catch (const Error& error) {
        std::fflush(stdout);
        print("tolvane-cli: " + displayText(error.message()), stderr);
        return exitFailed;
    }
    if (status != exitOk)
        return status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!request.quiet) {
        if (request.json)
            print(nlohmann::json{
                {"commands", figures.commands}, {"instructions", figures.instructions}, {"seconds", seconds}}
                      .dump());
        else
            print(std::to_string(figures.commands) + " commands, " + std::to_string(figures.instructions) +
                  " instructions in " + std::to_string(seconds) + " s");
    }
    if (!request.profile.empty() && !writeProfile(profile, card.profileNames(), request))
        status = exitFailed;
    if (!request.coverage.empty() && !writeCoverage(coverage, card.vm(), request))
        status = exitFailed;
    std::fflush(stdout);
    return status;
}

} // namespace tolvane::cli
