// Every file of the shared corpus, malformed and unusual archives included,
// through both converters by way of tolvane-cli: each ends in a complete IJC
// file or in one clear error, within a time bound, and never leaves part of
// an IJC file behind.

#include "test_support.h"

#include <gtest/gtest.h>
#include <iostream>
#include <regex>

namespace tolvane {
namespace {

using namespace testing;

// Generous enough for the sanitizer build; a hang takes far longer.
constexpr int secondsPerFile = 30;

std::vector<std::filesystem::path> sweptFiles()
{
    std::vector<std::filesystem::path> result;
    for (const char* folder : {"zip", "cap"}) {
        const auto dir = corpusDir() / folder;
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& item : std::filesystem::directory_iterator(dir))
            if (item.is_regular_file() && item.path().filename() != "MANIFEST.tsv")
                result.push_back(item.path());
    }
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(Sweep, EveryCorpusFileEndsInACompleteIjcOrAClearError)
{
    const auto files = sweptFiles();
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << corpusDir();

    TempDir dir;
    // Each file meets the converters under a name ending in .cap, so that its
    // bytes, not its name, decide.
    const auto cap = dir.file("input.cap");
    const auto ijc = dir.file("input.ijc");
    const std::regex errorLine(R"(^tolvane-cli: \S.*\n$)");
    int runs = 0;
    for (const auto& source : files) {
        writeFile(cap, readFile(source.string()));
        for (const bool scan : {false, true}) {
            SCOPED_TRACE(source.filename().string() + (scan ? " --scan" : ""));
            std::filesystem::remove(ijc);
            std::vector<std::string> arguments{cap};
            if (scan)
                arguments.insert(arguments.begin(), "--scan");
            const auto run = runProcess(TOLVANE_CLI, arguments, dir.path(), secondsPerFile);
            ++runs;
            ASSERT_FALSE(run.timedOut);
            ASSERT_EQ(run.signal, 0) << run.err;
            ASSERT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;

            const auto written = exists(ijc) ? readFile(ijc) : ByteVector{};
            if (run.status == 0) {
                EXPECT_EQ(run.err, "");
                expectConsistentReport(linesOf(run.out), written);
            } else {
                EXPECT_TRUE(std::regex_match(run.err, errorLine)) << run.err;
                EXPECT_EQ(written, ByteVector{});
            }
            // Nothing else is left in the folder: no temporary file.
            for (const auto& name : dir.names())
                EXPECT_TRUE(name == "input.cap" || name == "input.ijc") << name;
        }
    }
    std::cout << "swept " << files.size() << " files, " << runs << " conversions\n";
}

} // namespace
} // namespace tolvane
