#include "conversion_fixture.h"
#include "core/base/error.h"
#include "core/convert/scan_converter.h"
#include "core/report/report_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;
using Lines = std::vector<std::string>;

class ScanConversion : public ConversionTest {
protected:
    std::optional<std::string> convert(const std::string& capPath)
    {
        return run([&] { outcome = convertByScanning(capPath, report); });
    }

    ScanOutcome outcome{};
};

TEST_F(ScanConversion, WorkedReportAndIjcBytes)
{
    const auto wallet = walletComponents();
    const auto zip = buildZip({{"com/acme/wallet/javacard/Header.cap", wallet.header},
                               {"com/acme/wallet/javacard/Directory.cap", wallet.directory},
                               {"com/acme/wallet/javacard/Import.cap", wallet.import}});
    ASSERT_EQ(zip.size(), 547u);
    const auto cap = writeCap("wallet.cap", zip);
    EXPECT_FALSE(convert(cap));
    const Lines expected = {
        "CAP file name: " + cap,
        "CAP file size: 547 bytes",
        " Javacard version: 2.2",
        "CAP components:",
        " ---",
        "1. Header.cap 33 bytes",
        "2. Directory.cap 34 bytes",
        "4. Import.cap 14 bytes",
        " ---",
        " Total IJC: 81 bytes",
        "",
        "Done.",
    };
    EXPECT_EQ(report.lines(), expected);
    EXPECT_EQ(outcome, ScanOutcome::Converted);
    const auto ijc = readFile(dir.file("wallet.ijc"));
    EXPECT_EQ(ijc, concat({wallet.header, wallet.directory, wallet.import}));
    expectConsistentReport(report.lines(), ijc);
}

TEST_F(ScanConversion, FilesThatDoNotBeginWithALocalHeader)
{
    const ByteVector cases[] = {
        {},
        {0x50},
        {0x50, 0x4B},
        {0x50, 0x4B, 0x03},
        {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        bytesOf("just some text"),
    };
    for (const auto& bytes : cases) {
        writeFile(dir.file("odd.ijc"), bytesOf("an older IJC"));
        const auto cap = writeCap("odd.cap", bytes);
        EXPECT_FALSE(convert(cap));
        EXPECT_EQ(outcome, ScanOutcome::WrongFormat);
        const Lines expected = {"CAP file name: " + cap, "CAP file size: " + std::to_string(bytes.size()) + " bytes",
                                "Wrong CAP file format. Exiting.", "", "Done."};
        EXPECT_EQ(report.lines(), expected);
        EXPECT_EQ(readFile(dir.file("odd.ijc")), ByteVector{});
    }
}

TEST_F(ScanConversion, EveryStoredEntryIsTakenWhole)
{
    const auto wallet = walletComponents();
    ByteVector manifest = bytesOf("Manifest-Version: 1.0\r\nCreated-By: 1.6.0 (Sun Microsystems Inc.)\r\n");
    manifest.resize(68, '\n');
    ByteVector big(70000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 251);
    big[0] = 7;
    const ByteVector shortHeader = {1, 0, 5, 0xDE, 0xCA};
    const auto cap = writeCap("many.cap", buildZip({
                                              {"META-INF/MANIFEST.MF", manifest},
                                              {"pkg/", {}},
                                              {.name = "pkg/Header.cap", .data = wallet.header, .extra = {1, 2, 3, 4}},
                                              {"pkg/Empty.cap", {}},
                                              {"pkg/Method.cap", big},
                                              {"pkg\\Short.cap", shortHeader},
                                          }));
    EXPECT_FALSE(convert(cap));
    const Lines expected = {
        "CAP file name: " + cap,
        "CAP file size: " + std::to_string(readFile(cap).size()) + " bytes",
        "77. MANIFEST.MF 68 bytes",
        "0.  0 bytes",
        " Javacard version: 2.2",
        "CAP components:",
        " ---",
        "1. Header.cap 33 bytes",
        "0. Empty.cap 0 bytes", // no tag of its own, and no Header lines
        "7. Method.cap 70000 bytes",
        " Javacard version: 0.0", // bytes 7 and 8 lie beyond the entry
        "CAP components:",
        " ---",
        "1. Short.cap 5 bytes",
        " ---",
        " Total IJC: 70106 bytes",
        "",
        "Done.",
    };
    EXPECT_EQ(report.lines(), expected);
    const auto ijc = readFile(dir.file("many.ijc"));
    EXPECT_EQ(ijc, concat({manifest, wallet.header, big, shortHeader}));
    expectConsistentReport(report.lines(), ijc);
}

TEST_F(ScanConversion, EntriesThatCannotBeTakenAsTheyLie)
{
    const auto wallet = walletComponents();
    const auto good = ZipEntry{"Header.cap", wallet.header};
    const auto whole = buildZip({good, {"Directory.cap", wallet.directory}});
    const std::size_t secondHeader = 30 + 10 + wallet.header.size();
    const struct {
        const char* what;
        ByteVector bytes;
    } cases[] = {
        {"deflated", buildZip({good, {"Directory.cap", wallet.directory, deflated}})},
        {"encrypted", buildZip({good, {.name = "Directory.cap", .data = wallet.directory, .flags = 1}})},
        {"sizes after the data",
         buildZip({good, {.name = "Directory.cap", .data = wallet.directory, .dataDescriptor = true}})},
        {"header cut off", ByteVector(whole.begin(), whole.begin() + secondHeader + 20)},
        {"name cut off", ByteVector(whole.begin(), whole.begin() + secondHeader + 35)},
        {"data cut off", ByteVector(whole.begin(), whole.begin() + secondHeader + 30 + 13 + 20)},
        {"size beyond the file",
         buildZip({good, {.name = "Directory.cap", .data = wallet.directory, .uncompressedSize = 0xFFFFFFFF}})},
    };
    for (const auto& c : cases) {
        const auto cap = writeCap("bad.cap", c.bytes);
        EXPECT_FALSE(convert(cap)) << c.what;
        const Lines expected = {"CAP file name: " + cap,
                                "CAP file size: " + std::to_string(c.bytes.size()) + " bytes",
                                " Javacard version: 2.2",
                                "CAP components:",
                                " ---",
                                "1. Header.cap 33 bytes",
                                "Wrong CAP file format. Exiting.",
                                "",
                                "Done."};
        EXPECT_EQ(report.lines(), expected) << c.what;
        EXPECT_EQ(outcome, ScanOutcome::WrongFormat) << c.what;
        EXPECT_EQ(readFile(dir.file("bad.ijc")), ByteVector{}) << c.what;
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"bad.cap", "bad.ijc"})) << c.what;
    }
}

TEST_F(ScanConversion, WalkEndsAtTheCentralDirectoryOrItIsAFormatError)
{
    const auto wallet = walletComponents();
    const auto whole = buildZip({{"Import.cap", wallet.import}});
    const std::size_t entryEnd = 30 + 10 + wallet.import.size();
    const ByteVector endRecordOnly(whole.end() - 22, whole.end());
    const struct {
        const char* what;
        ByteVector tail; // after the entry
        bool converts;
    } cases[] = {
        {"central directory", ByteVector(whole.begin() + entryEnd, whole.end()), true},
        {"end record alone", endRecordOnly, true},
        {"nothing: cut off after the entry", {}, false},
        {"a local header cut off in its signature", {0x50, 0x4B, 0x03}, false},
        {"trailing garbage", bytesOf("trailing garbage"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ByteVector bytes(whole.begin(), whole.begin() + entryEnd);
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        const auto cap = writeCap("tail.cap", bytes);
        EXPECT_FALSE(convert(cap));
        EXPECT_EQ(outcome, c.converts ? ScanOutcome::Converted : ScanOutcome::WrongFormat);
        EXPECT_EQ(report.lines()[2], "4. Import.cap 14 bytes");
        EXPECT_EQ(readFile(dir.file("tail.ijc")), c.converts ? wallet.import : ByteVector{});
        if (!c.converts) {
            EXPECT_EQ(report.lines()[3], "Wrong CAP file format. Exiting.");
        }
    }
}

TEST_F(ScanConversion, FilesThatCannotBeOpenedOrCreated)
{
    const auto zip = buildZip({{"Import.cap", walletComponents().import}});

    // A missing CAP file: nothing is created.
    EXPECT_EQ(convert(dir.file("missing.cap")),
              "Cannot open file \"" + dir.file("missing.cap") + "\". No such file or directory");
    EXPECT_EQ(lastKind, ErrorKind::CannotOpen);
    EXPECT_EQ(dir.names(), std::vector<std::string>{});

    // A CAP file named .ijc is its own IJC path: it stays intact.
    const auto ijcNamed = writeCap("self.ijc", zip);
    const auto error = convert(ijcNamed);
    ASSERT_TRUE(error);
    EXPECT_EQ(lastKind, ErrorKind::CannotCreate);
    EXPECT_EQ(error->rfind("Cannot create file \"" + ijcNamed + "\". ", 0), 0u) << *error;
    EXPECT_EQ(readFile(ijcNamed), zip);

    // A CAP file that another holds without sharing is not opened.
    const auto held = writeCap("held.cap", zip);
    const int holder = ::open(held.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_TRUE(convert(held));
    ::close(holder);
    EXPECT_EQ(lastKind, ErrorKind::CannotOpen);
    EXPECT_FALSE(exists(dir.file("held.ijc")));

    // An empty path names no file.
    EXPECT_EQ(convert(""), "No CAP file chosen");
}

TEST_F(ScanConversion, FailedWriteRunsTheClosingStepsAndLeavesTheIjcFileEmpty)
{
    const auto cap = writeCap("limited.cap", buildZip({{"Method.cap", ByteVector(4000, 7)}}));
    const auto message = withFileSizeLimit(1000, [&] {
        const auto error = convert(cap).value_or("no error");
        return error + "|" + report.lines().back();
    });
    EXPECT_EQ(message, "Cannot write file \"" + dir.file("limited.ijc") + "\". File too large|Done.");
    EXPECT_EQ(readFile(dir.file("limited.ijc")), ByteVector{});
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"limited.cap", "limited.ijc"}));
}

} // namespace
} // namespace tolvane
