#include "core/report/load_file_report.h"

#include "core/apdu/script.h"
#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/report/dump.h"
#include "core/report/report_sink.h"
#include "core/report/text_report.h"

namespace tolvane {
namespace {

std::string version(unsigned major, unsigned minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace

void LoadFileReport::begin(const ConversionStart& start)
{
    start_ = start;
    sink_.clear();
}

void LoadFileReport::reading()
{
    sink_.appendLine(report::fileLine(start_.capPath));
}

// A refused load file is never reported whole: every refusal is, and the
// warnings with them.
void LoadFileReport::checked(const LoadFile& file)
{
    if (file.refusals.empty())
        return;
    for (const auto& refusal : file.refusals)
        sink_.appendLine(" Refused: " + refusalText(refusal, start_.capPath));
    for (const auto& warning : file.warnings)
        sink_.appendLine(" Warning: " + warning);
}

void LoadFileReport::loadFile(const LoadFile& file)
{
    if (file.fromComponents) {
        std::string offsets;
        for (const auto& component : file.components)
            offsets += (offsets.empty() ? "" : ", ") + component.name + " at " + std::to_string(*component.offset);
        sink_.appendLine(" Input: an IJC file or load file, not a CAP file; " + offsets);
    }
    sink_.appendLine(" CAP format: " + version(file.capMajor, file.capMinor));
    sink_.appendLine(report::aidLine(file.packageAid));
    sink_.appendLine(report::packageNameLine(file.packageName));
    sink_.appendLine(" Package version: " + version(file.packageMajor, file.packageMinor));
    for (const auto& applet : file.applets)
        sink_.appendLine(" Applet AID: " + applet);
    for (const auto& package : file.imports)
        sink_.appendLine(" Import: " + package.aid + " " + version(package.major, package.minor) +
                         (package.name ? " " + *package.name : std::string()));
    sink_.appendLine(" Requires: Java Card " + file.requiresJavaCard.value_or("(unknown)") + ", GlobalPlatform " +
                     file.requiresGlobalPlatform.value_or("(unknown)"));
    sink_.appendLine("Load file components:");
    sink_.appendLine(report::ruleLine());
    for (const auto& component : file.components)
        sink_.appendLine(report::componentLine(component.tag, component.name, component.bytes.size()));
    sink_.appendLine(report::ruleLine());
    sink_.appendLine(" Total load file: " + std::to_string(file.bytes.size()) + " bytes");
    sink_.appendLine(std::string(" Descriptor: ") + (file.descriptorKept ? "kept" : "left out"));
    for (const auto& left : file.leftOut)
        sink_.appendLine(" Left out: " + left.entry + " (" + left.reason + ")");
    for (const auto& warning : file.warnings)
        sink_.appendLine(" Warning: " + warning);
    sink_.appendLine(" Load File Data Block SHA-1: " + file.sha1);
    sink_.appendLine(" Load File Data Block SHA-256: " + file.sha256);
    if (start_.ijcPath.empty())
        sink_.appendLine(" Checked only: no file written");
    if (dump_)
        for (const auto& line : dumpLines(file, types_))
            sink_.appendLine(line);
}

void LoadFileReport::script(const apdu::Script& script)
{
    std::size_t blocks = 0;
    for (const auto& command : script.commands)
        blocks += std::string(command.kind) == "load";
    sink_.appendLine(" APDU script: " + std::to_string(script.commands.size()) + " commands, " +
                     std::to_string(blocks) + " LOAD blocks, hash " + apdu::hashName(script.hash));
    if (script.dapAlgorithm)
        sink_.appendLine(" DAP: " + *script.dapAlgorithm + " for " + hexText(script.dapSecurityDomain, HexCase::Upper));
    sink_.appendLine(" Script: " + start_.ijcPath);
}

void LoadFileReport::capFile(const std::string& folder, bool fromAid)
{
    sink_.appendLine(" CAP file: " + start_.ijcPath + ", components under " + folder +
                     (fromAid ? " (made from the package AID: CAP 2.1 names no package; --package names one)" : ""));
}

void LoadFileReport::end(const Outcome& outcome)
{
    if (!outcome.error) {
        sink_.appendLine(report::emptyLine());
        sink_.appendLine(report::closingLine());
    }
}

} // namespace tolvane
