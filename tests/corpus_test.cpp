// Every real CAP file of the shared corpus converts, and its IJC file equals
// what an independent ZIP reader gives.

#include "core/convert/archive_converter.h"
#include "core/base/paths.h"
#include "core/report/report_sink.h"
#include "core/convert/scan_converter.h"
#include "core/zip/archive.h"
#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace tolvane {
namespace {

using namespace testing;

std::vector<std::filesystem::path> corpusCapFiles()
{
    std::vector<std::filesystem::path> result;
    const auto dir = corpusDir() / "cap";
    if (!std::filesystem::is_directory(dir))
        return result;
    for (const auto& item : std::filesystem::directory_iterator(dir))
        if (item.is_regular_file() && upperAscii(extensionOf(item.path().string())) == ".CAP")
            result.push_back(item.path());
    std::sort(result.begin(), result.end());
    return result;
}

TEST(Corpus, EveryCapFileConvertsAsAnIndependentReaderSeesIt)
{
    const auto capFiles = corpusCapFiles();
    if (capFiles.empty())
        GTEST_SKIP() << "no corpus at " << corpusDir();

    TempDir dir;
    ZipArchive archive;
    for (const auto& source : capFiles) {
        SCOPED_TRACE(source.filename().string());
        // The corpus is read-only: each file is converted from a copy.
        const auto cap = dir.file("input.cap");
        writeFile(cap, readFile(source.string()));
        LineHolder report;
        try {
            convertThroughArchive(cap, report, archive);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
            continue;
        }
        const auto ijc = readFile(dir.file("input.ijc"));
        expectConsistentReport(report.lines(), ijc);

        const auto reference = dir.file("reference.ijc");
        const std::string command = "python3 '" TOLVANE_REFERENCE_SCRIPT "' '" + cap + "' '" + reference + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(ijc, readFile(reference));
    }
}

// Converts a copy of `source` with `convert` and gives the report and the IJC.
template <typename Convert>
std::pair<std::vector<std::string>, ByteVector> convertCopy(const std::filesystem::path& source, const TempDir& dir,
                                                            const std::string& name, Convert convert)
{
    const auto cap = dir.file(name + ".cap");
    writeFile(cap, readFile(source.string()));
    LineHolder report;
    convert(cap, report);
    return {report.lines(), readFile(dir.file(name + ".ijc"))};
}

TEST(Corpus, ScanningAndArchiveConvertersAgreeOnStoredCapFiles)
{
    const auto capFiles = corpusCapFiles();
    if (capFiles.empty())
        GTEST_SKIP() << "no corpus at " << corpusDir();

    TempDir dir;
    std::string command = "python3 '" TOLVANE_CLASSIFY_SCRIPT "'";
    for (const auto& path : capFiles)
        command += " '" + path.string() + "'";
    command += " > '" + dir.file("kinds.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    ZipArchive archive;
    std::ifstream kinds(dir.file("kinds.txt"));
    std::string line;
    int stored = 0, deflatedManifest = 0;
    while (std::getline(kinds, line)) {
        std::istringstream fields(line);
        std::string kind, path;
        fields >> kind >> path;
        SCOPED_TRACE(path);
        const auto [scanLines, scanned] = convertCopy(path, dir, "scan", [](const std::string& cap, LineHolder& r) {
            EXPECT_NO_THROW(convertByScanning(cap, r));
        });
        if (kind == "stored") {
            ++stored;
            const auto [archiveLines, extracted] =
                convertCopy(path, dir, "archive", [&](const std::string& cap, LineHolder& r) {
                    EXPECT_NO_THROW(convertThroughArchive(cap, r, archive));
                });
            EXPECT_EQ(scanned, extracted);
            expectConsistentReport(scanLines, scanned);
        } else if (kind == "deflated-manifest") {
            ++deflatedManifest;
            ASSERT_GE(scanLines.size(), 3u);
            EXPECT_EQ(scanLines[2], "Wrong CAP file format. Exiting.");
            EXPECT_EQ(scanned, ByteVector{});
        }
    }
    EXPECT_GT(stored + deflatedManifest, 0);
}

} // namespace
} // namespace tolvane
