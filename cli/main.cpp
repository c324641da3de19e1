// tolvane-cli: converts CAP files to IJC files from the command line, with the
// same core and the same report as the window.

#include "cli/options.h"
#include "core/base/error.h"
#include "core/base/time_zone.h"
#include "core/cap/java_card.h"
#include "core/convert/archive_converter.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/report/json_report.h"
#include "core/report/load_file_report.h"
#include "core/report/report_sink.h"
#include "core/report/text_report.h"
#include "core/zip/archive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr int exitOk = 0;
constexpr int exitConversionFailed = 1;
constexpr int exitUsage = 2;

enum class Mode { Archive, Scan, LoadFile, Check, Dump };

struct Request {
    Mode mode = Mode::Archive;
    bool json = false;
    bool quiet = false;
    std::string output; // the IJC file's path in place of the one beside the CAP file; "-": standard output
    tolvane::LoadFileOptions loadFile;
    std::vector<std::string> capFiles;
};

// The report goes to a console stream line by line (standard output, or
// standard error when the IJC file takes standard output); clearing a
// console would only lose what an earlier file reported, so clear does
// nothing. Quiet, it keeps nothing.
class ConsoleSink final : public tolvane::ReportSink {
public:
    explicit ConsoleSink(std::FILE* stream) : stream_(stream) {}
    void clear() override {}
    void appendLine(const std::string& line) override
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

// The request the arguments make, or the exit status when they make none.
std::variant<Request, int> parse(int argc, char** argv)
{
    Request request;
    bool optionsEnded = false, modeGiven = false, noDescriptor = false;
    std::string loadFileOption; // the last option that needs a load file's mode
    const auto setMode = [&](Mode mode) {
        if (modeGiven && request.mode != mode)
            return false;
        request.mode = mode;
        modeGiven = true;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            request.capFiles.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(tolvane::cli::helpText().c_str(), stdout);
            return exitOk;
        } else if (argument == "--version") {
            std::printf("tolvane-cli %s\n", TOLVANE_VERSION);
            return exitOk;
        } else if (argument == "--scan" || argument == "--load-file" || argument == "--check" || argument == "--dump") {
            const Mode mode = argument == "--scan"    ? Mode::Scan
                              : argument == "--check" ? Mode::Check
                              : argument == "--dump"  ? Mode::Dump
                                                      : Mode::LoadFile;
            if (!setMode(mode))
                return usageError("--scan, --load-file, --check and --dump exclude one another");
        } else if (argument == "--no-descriptor") {
            noDescriptor = true;
        } else if (argument == "--no-verify") {
            request.loadFile.verify = false;
            loadFileOption = argument;
        } else if (argument == "--target") {
            if (i + 1 >= argc)
                return usageError("option '--target' needs a Java Card VERSION");
            request.loadFile.target = argv[++i];
            loadFileOption = argument;
            if (!tolvane::cap::isRelease(request.loadFile.target))
                return usageError("'" + request.loadFile.target + "' is no Java Card version, such as 3.0.4");
        } else if (argument == "--json") {
            request.json = true;
        } else if (argument == "-q" || argument == "--quiet") {
            request.quiet = true;
        } else if (argument == "-o" || argument == "--output") {
            if (i + 1 >= argc)
                return usageError("option '" + argument + "' needs a FILE");
            request.output = argv[++i];
            if (request.output.empty())
                return usageError("option '" + argument + "' needs a FILE");
        } else if (argument.rfind("--output=", 0) == 0) {
            request.output = argument.substr(9);
            if (request.output.empty())
                return usageError("option '--output' needs a FILE");
        } else {
            return usageError("unknown option '" + argument + "'");
        }
    }
    const bool loadMode = request.mode == Mode::LoadFile || request.mode == Mode::Check || request.mode == Mode::Dump;
    if (noDescriptor && !loadMode)
        return usageError("--no-descriptor goes with --load-file, --check or --dump");
    if (!loadFileOption.empty() && !loadMode)
        return usageError(loadFileOption + " goes with --load-file, --check or --dump");
    request.loadFile.keepDescriptor = !noDescriptor;
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
        return std::make_unique<tolvane::JsonReport>(sink, dump);
    if (request.mode == Mode::LoadFile || request.mode == Mode::Check || dump)
        return std::make_unique<tolvane::LoadFileReport>(sink, dump);
    return std::make_unique<tolvane::TextReport>(sink);
}

} // namespace

int main(int argc, char** argv)
{
    tolvane::nameTheLocalTimeZone();
    const auto parsed = parse(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Request& request = std::get<Request>(parsed);

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
            case Mode::LoadFile:
            case Mode::Check:
            case Mode::Dump:
                tolvane::convertToLoadFile(capPath, request.loadFile,
                                           request.mode == Mode::LoadFile ? tolvane::LoadFileAction::Write
                                                                          : tolvane::LoadFileAction::Check,
                                           *report, archive, outputPath(request.output));
                break;
            }
        } catch (const tolvane::Error& error) {
            reportFailure(error.message());
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
