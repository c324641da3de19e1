// Every real CAP file of the shared corpus converts, and its IJC file equals
// what an independent ZIP reader gives.

#include "core/archive_converter.h"
#include "core/paths.h"
#include "core/report_sink.h"
#include "core/zip_archive.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>

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
        const std::string command =
            "python3 '" TOLVANE_REFERENCE_SCRIPT "' '" + cap + "' '" + reference + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(ijc, readFile(reference));
    }
}

} // namespace
} // namespace tolvane
