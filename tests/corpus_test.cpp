// Every file of the shared corpus, real CAP files and malformed archives,
// through tolvane-cli in each mode: the outcome is the one pinned in
// corpus_outcomes.tsv (the bytes written, or the error), it comes within a
// time bound, and it leaves a complete IJC file or an empty one and nothing
// else. Real CAP files also give what independent readers give.

#include "core/base/paths.h"
#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

namespace tolvane {
namespace {

using namespace testing;

// Generous enough for the sanitizer build; a hang takes far longer.
constexpr int secondsPerFile = 30;

struct Mode {
    const char* name;
    std::vector<std::string> options;
};
// The load file goes to input.ijc whatever the input: an IJC file given as input
// would otherwise get input.load.ijc.
const Mode modes[] = {{"archive", {}}, {"scan", {"--scan"}}, {"load", {"--load-file", "-o", "input.ijc"}}};

// file -> mode -> outcome
using Pinned = std::map<std::string, std::map<std::string, std::string>>;

Pinned pinnedOutcomes()
{
    Pinned pinned;
    std::ifstream table(TOLVANE_PINNED_OUTCOMES);
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string file, outcome;
        std::getline(fields, file, '\t');
        for (const auto& mode : modes) {
            std::getline(fields, outcome, '\t');
            pinned[file][mode.name] = outcome;
        }
    }
    return pinned;
}

std::vector<std::string> corpusFiles()
{
    std::vector<std::string> result;
    for (const char* folder : {"cap", "zip"}) {
        const auto dir = corpusDir() / folder;
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& item : std::filesystem::directory_iterator(dir))
            if (item.is_regular_file() && item.path().filename() != "MANIFEST.tsv" &&
                inCorpusSample(item.path().filename().string()))
                result.push_back(std::string(folder) + "/" + item.path().filename().string());
    }
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool isRealCap(const std::string& file)
{
    return file.rfind("cap/", 0) == 0 && upperAscii(extensionOf(file)) == ".CAP";
}

// What independent readers make of the real CAP files: python's zipfile
// gives each one's IJC file, and says which ones the scan can take as they
// lie (every entry stored, no manifest).
struct Reference {
    std::filesystem::path ijcFolder;
    std::map<std::string, std::string> kinds; // "stored", "deflated-manifest" or "other"
};

Reference independentReading(const std::vector<std::string>& files, const TempDir& dir)
{
    Reference reference{dir.path() / "reference", {}};
    std::filesystem::create_directory(reference.ijcFolder);
    std::string caps;
    for (const auto& file : files)
        if (isRealCap(file))
            caps += " '" + (corpusDir() / file).string() + "'";
    const std::string python = TOLVANE_SYSTEM_PYTHON;
    const auto kinds = dir.file("kinds.txt");
    EXPECT_EQ(
        std::system((python + " '" TOLVANE_REFERENCE_SCRIPT "' '" + reference.ijcFolder.string() + "'" + caps).c_str()),
        0);
    EXPECT_EQ(std::system((python + " '" TOLVANE_CLASSIFY_SCRIPT "'" + caps + " > '" + kinds + "'").c_str()), 0);
    std::ifstream lines(kinds);
    for (std::string kind, path; lines >> kind >> path;)
        reference.kinds["cap/" + std::filesystem::path(path).filename().string()] = kind;
    return reference;
}

TEST(Corpus, EveryFileHasItsPinnedOutcomeAndLeavesNothingPartial)
{
    const auto files = corpusFiles();
    if (files.empty()) {
        // Under CI the corpus is there: a sweep that found nothing must fail.
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
            FAIL() << "no corpus at " << corpusDir() << ", which CI requires";
        GTEST_SKIP() << "no corpus at " << corpusDir();
    }
    const Pinned pinned = pinnedOutcomes();
    ASSERT_FALSE(pinned.empty()) << TOLVANE_PINNED_OUTCOMES;

    TempDir dir;
    const Reference reference = independentReading(files, dir);
    const auto work = dir.path() / "work";
    std::filesystem::create_directory(work);
    // Each file meets the converters under a name ending in .cap, so that its
    // bytes, not its name, decide.
    const auto cap = (work / "input.cap").string();
    const auto ijc = (work / "input.ijc").string();
    // The error, then any further refusals and what became of the output,
    // each on a line of its own.
    const std::regex errorLines(R"(^(tolvane-cli: \S.*\n)+$)");
    int runs = 0, converted = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(pinned.count(file)) << "no pinned outcome: run tests/pin_corpus_outcomes.py";
        writeFile(cap, readFile((corpusDir() / file).string()));
        std::map<std::string, ByteVector> written;
        for (const auto& mode : modes) {
            SCOPED_TRACE(mode.name);
            std::filesystem::remove(ijc);
            auto arguments = mode.options;
            arguments.push_back("input.cap");
            const auto run = runProcess(TOLVANE_CLI, arguments, work, secondsPerFile);
            ++runs;
            ASSERT_FALSE(run.timedOut);
            ASSERT_EQ(run.signal, 0) << run.err;
            ASSERT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;

            const auto bytes = exists(ijc) ? readFile(ijc) : ByteVector{};
            std::string outcome;
            if (run.status == 0) {
                ++converted;
                EXPECT_EQ(run.err, "");
                outcome = "ok " + std::to_string(bytes.size());
                if (std::string(mode.name) != "load")
                    expectConsistentReport(linesOf(run.out), bytes);
            } else {
                EXPECT_TRUE(std::regex_match(run.err, errorLines)) << run.err;
                const std::string first = run.err.substr(0, run.err.find('\n'));
                outcome = "error " + replaced(first.substr(13), work.string(), "DIR");
                if (std::string(mode.name) == "load") {
                    // A load file is written only whole and checked: a refusal creates nothing.
                    EXPECT_FALSE(exists(ijc));
                    EXPECT_TRUE(run.err.ends_with("tolvane-cli: " + ijc + " was not created.\n")) << run.err;
                } else {
                    EXPECT_EQ(bytes, ByteVector{}); // the IJC conversion empties its file
                }
            }
            EXPECT_EQ(outcome, pinned.at(file).at(mode.name));
            written[mode.name] = bytes;
            // Nothing else is left in the folder: no temporary file.
            for (const auto& item : std::filesystem::directory_iterator(work)) {
                const auto name = item.path().filename().string();
                EXPECT_TRUE(name == "input.cap" || name == "input.ijc") << name;
            }
        }
        if (!isRealCap(file))
            continue;
        const auto stem = std::filesystem::path(file).stem().string();
        EXPECT_EQ(written["archive"], readFile((reference.ijcFolder / (stem + ".ijc")).string()));
        if (reference.kinds.at(file) == "stored") {
            EXPECT_EQ(written["scan"], written["archive"]);
        }
        if (reference.kinds.at(file) == "deflated-manifest") {
            EXPECT_EQ(pinned.at(file).at("scan"), "error Wrong CAP file format.");
        }
    }
    std::cout << "swept " << files.size() << " files, " << runs << " conversions, " << converted << " converted\n";
}

} // namespace
} // namespace tolvane
