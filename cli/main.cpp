// tolvane-cli: converts CAP files to IJC files from the command line, with the
// same core and the same report as the window.

#include "core/base/error.h"
#include "core/convert/archive_converter.h"
#include "core/convert/scan_converter.h"
#include "core/report/json_report.h"
#include "core/report/report_sink.h"
#include "core/report/text_report.h"
#include "core/zip/archive.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int exitOk = 0;
constexpr int exitConversionFailed = 1;
constexpr int exitUsage = 2;

const char* const usage = "Usage: tolvane-cli [OPTION]... CAPFILE...\n";

const char* const help = "Usage: tolvane-cli [OPTION]... CAPFILE...\n"
                         "Convert each CAP file to an IJC file beside it (the same name, ending in .ijc).\n"
                         "\n"
                         "The conversion report goes to standard output; an error goes to standard\n"
                         "error and the next CAP file is converted all the same.\n"
                         "\n"
                         "Options:\n"
                         "  --scan      walk the CAP file's local headers instead of reading it as a ZIP\n"
                         "              archive; for CAP files whose entries are all stored\n"
                         "  --json      write one JSON object per CAP file (JSON Lines) instead of the\n"
                         "              text report\n"
                         "  --help      show this help and exit\n"
                         "  --version   show the version and exit\n"
                         "  --          treat every later argument as a CAP file\n"
                         "\n"
                         "Exit status: 0 if every file converted, 1 if any conversion failed,\n"
                         "2 for a usage error.\n";

// The report goes to standard output line by line; clearing a console would
// only lose what an earlier file reported, so clear does nothing.
class ConsoleSink final : public tolvane::ReportSink {
public:
    void clear() override {}
    void appendLine(const std::string& line) override
    {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
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
    std::fprintf(stderr, "tolvane-cli: %s\n%sTry 'tolvane-cli --help' for more information.\n", message.c_str(), usage);
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

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> capFiles;
    bool scanLocalHeaders = false;
    bool json = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            capFiles.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            std::fputs(help, stdout);
            return exitOk;
        } else if (argument == "--version") {
            std::printf("tolvane-cli %s\n", TOLVANE_VERSION);
            return exitOk;
        } else if (argument == "--scan") {
            scanLocalHeaders = true;
        } else if (argument == "--json") {
            json = true;
        } else {
            return usageError("unknown option '" + argument + "'");
        }
    }
    if (capFiles.empty())
        return usageError("no CAP file given");

    ConsoleSink sink;
    std::unique_ptr<tolvane::CapObserver> report;
    if (json)
        report = std::make_unique<tolvane::JsonReport>(sink);
    else
        report = std::make_unique<tolvane::TextReport>(sink);
    tolvane::ZipArchive archive;
    int status = exitOk;
    for (const auto& argument : capFiles) {
        const auto capPath = absoluteCapPath(argument);
        try {
            if (!scanLocalHeaders) {
                tolvane::convertThroughArchive(capPath, *report, archive);
            } else if (tolvane::convertByScanning(capPath, *report) == tolvane::ScanOutcome::WrongFormat) {
                // The window shows only the report line for a file the scan
                // cannot walk; a script needs to hear that nothing was converted.
                const tolvane::Error wrongFormat(tolvane::ErrorKind::WrongFormat, capPath);
                reportFailure(wrongFormat.message());
                status = exitStatusFor(wrongFormat);
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
