#include "conversion_fixture.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/convert/archive_converter.h"
#include "core/report/report_sink.h"
#include "core/zip/archive.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;
using Lines = std::vector<std::string>;

class ArchiveConversion : public ConversionTest {
protected:
    std::optional<std::string> convert(const std::string& capPath)
    {
        return run([&] { convertThroughArchive(capPath, report, archive); });
    }

    // Converts a CAP file that must convert, and checks the report's sums.
    ByteVector convertOk(const std::string& capPath)
    {
        const auto error = convert(capPath);
        EXPECT_FALSE(error) << *error;
        const auto ijc = readFile(withExtension(capPath, ".ijc"));
        expectConsistentReport(report.lines(), ijc);
        return ijc;
    }

    ZipArchive archive;
};

ByteVector walletZip()
{
    const auto wallet = walletComponents();
    return buildZip({{"com/acme/wallet/javacard/Header.cap", wallet.headerEntry},
                     {"com/acme/wallet/javacard/Directory.cap", wallet.directory, deflated},
                     {"com/acme/wallet/javacard/Import.cap", wallet.import}});
}

TEST_F(ArchiveConversion, WorkedReportAndIjcBytes)
{
    const auto cap = writeCap("wallet.cap", walletZip());
    const auto ijc = convertOk(cap);
    const Lines expected = {
        "CAP file name: " + cap,
        " Javacard version: 2.2",
        " Package AID: A0000000620301",
        " Package name: com/acme/wallet",
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
    const auto wallet = walletComponents();
    EXPECT_EQ(ijc, concat({wallet.header, wallet.directory, wallet.import}));
    EXPECT_FALSE(archive.isOpen());
}

TEST_F(ArchiveConversion, ReportOrderFollowsTheCentralDirectory)
{
    const auto wallet = walletComponents();
    const auto second = headerComponent(3, 1, {0x01}, "b");
    const auto cap =
        writeCap("order.cap",
                 buildZip({{"Directory.cap", wallet.directory}, {"Header.cap", wallet.header}, {"Other.cap", second}}));
    const auto ijc = convertOk(cap);
    const Lines expected = {
        "CAP file name: " + cap,
        "2. Directory.cap 34 bytes",
        " Javacard version: 2.2",
        " Package AID: A0000000620301",
        " Package name: com/acme/wal", // the rest of the name lies beyond the entry
        "CAP components:",
        " ---",
        "1. Header.cap 33 bytes",
        " Javacard version: 3.1",
        " Package AID: 01",
        " Package name: b",
        "CAP components:",
        " ---",
        "1. Other.cap " + std::to_string(second.size()) + " bytes",
        " ---",
        " Total IJC: " + std::to_string(67 + second.size()) + " bytes",
        "",
        "Done.",
    };
    EXPECT_EQ(report.lines(), expected);
    EXPECT_EQ(ijc, concat({wallet.directory, wallet.header, second}));
}

TEST_F(ArchiveConversion, ExtensionsInAnyLetterCaseOpenAsZip)
{
    for (const char* name : {"a.cap", "b.Cap", "c.CAP", "d.zip", "e.jar", "f.JaR"}) {
        const auto ijc = convertOk(writeCap(name, walletZip()));
        EXPECT_EQ(ijc.size(), 81u) << name;
    }
}

TEST_F(ArchiveConversion, NamesAndContentsThatAreNotHandled)
{
    const auto zip = walletZip();
    const ByteVector gzip = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const struct {
        const char* name;
        ByteVector content;
    } cases[] = {
        {"archive.txt", zip},
        {"archive", zip},
        {"archive.cab", zip},
        {"archive.exe", zip}, // not an executable
        {"text.cap", bytesOf("This is a text file, not an archive.\n")},
        {"archive.tar", zip},
        {"archive.gz", gzip},
        {"archive.TGZ", gzip},
        {"empty.exe", {}},
        {"empty.tar", {}},
        {"missing.gz", {}},
    };
    for (const auto& c : cases) {
        const auto cap = dir.file(c.name);
        if (std::string(c.name) != "missing.gz")
            writeFile(cap, c.content);
        EXPECT_EQ(convert(cap), "Unhandled Archive Type") << c.name;
        EXPECT_EQ(report.lines(), Lines{"CAP file name: " + cap}) << c.name;
        EXPECT_EQ(readFile(withExtension(cap, ".ijc")), ByteVector{}) << c.name;
        EXPECT_FALSE(archive.isOpen());
    }
}

TEST_F(ArchiveConversion, ExecutableWithAnArchiveInside)
{
    ZipOptions options;
    options.prefix = bytesOf("MZ");
    options.prefix.resize(200, 0x90);
    const auto wallet = walletComponents();
    const auto ijc = convertOk(writeCap("setup.EXE", buildZip({{"Import.cap", wallet.import}}, options)));
    EXPECT_EQ(ijc, wallet.import);
}

TEST_F(ArchiveConversion, SpanningMarker)
{
    // A single-part archive that begins with the marker is read as it is.
    const auto wallet = walletComponents();
    ZipOptions options;
    options.prefix = {'P', 'K', '0', '0'};
    EXPECT_EQ(convertOk(writeCap("single.cap", buildZip({{"Import.cap", wallet.import}}, options))), wallet.import);

    // Without a central directory the ZIP library's refusal is the error.
    const auto cap = writeCap("part.cap", ByteVector{'P', 'K', 7, 8, 1, 2, 3, 4, 5, 6});
    const auto error = convert(cap);
    ASSERT_TRUE(error);
    EXPECT_EQ(lastKind, ErrorKind::Archive) << *error;
    EXPECT_EQ(readFile(dir.file("part.ijc")), ByteVector{});
}

TEST_F(ArchiveConversion, RelativePathNeedsToBeFull)
{
    writeCap("wallet.cap", walletZip());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto error = convert("wallet.cap");
    std::filesystem::current_path(previous);

    EXPECT_EQ(error, "Full Path Required");
    EXPECT_EQ(report.lines(), Lines{"CAP file name: wallet.cap"});
    EXPECT_EQ(readFile(dir.file("wallet.ijc")), ByteVector{});
}

TEST_F(ArchiveConversion, EntriesDifferingInLetterCaseKeepTheirOwnBytes)
{
    const auto first = component(1, {0xDE, 0xCA, 0xFF, 0xED, 1, 2, 0, 0, 1, 0, 0});
    const auto second = component(6, {9, 9, 9});
    const auto ijc = convertOk(writeCap("case.cap", buildZip({{"a/Header.cap", first}, {"A/HEADER.CAP", second}})));
    EXPECT_EQ(ijc, concat({first, second}));
    EXPECT_EQ(report.lines()[6], "1. Header.cap 14 bytes");
    EXPECT_EQ(report.lines()[7], "6. HEADER.CAP 6 bytes");
}

TEST_F(ArchiveConversion, LargestComponentsAreCarriedWhole)
{
    ByteVector content65534(65534), content65535(65535);
    for (std::size_t i = 0; i < content65535.size(); ++i)
        content65535[i] = static_cast<std::uint8_t>(i * 7);
    std::copy_n(content65535.begin(), content65534.size(), content65534.begin());
    const auto a = component(7, content65534);
    const auto b = component(8, content65535);
    const auto ijc = convertOk(writeCap("big.cap", buildZip({{"Method.cap", a, deflated}, {"Other.cap", b}})));
    EXPECT_EQ(report.lines()[1], "7. Method.cap 65537 bytes");
    EXPECT_EQ(report.lines()[2], "8. Other.cap 65538 bytes");
    EXPECT_EQ(ijc, concat({a, b}));
}

TEST_F(ArchiveConversion, NoByteIsTakenFromAnEarlierEntry)
{
    // A long Header, then a Header entry of 3 bytes whose fields it does not
    // have: they read as 0, not as what the first entry left.
    const auto wallet = walletComponents();
    const ByteVector bare = {1, 0, 0};
    const auto cap = writeCap("bare.cap", buildZip({{"Header.cap", wallet.headerEntry}, {"Bare.cap", bare}}));
    const auto ijc = convertOk(cap);
    const Lines tail(report.lines().begin() + 7, report.lines().begin() + 13);
    const Lines expected = {" Javacard version: 0.0", " Package AID: ", " Package name: ",
                            "CAP components:",        " ---",           "1. Bare.cap 3 bytes"};
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(ijc, concat({wallet.header, bare}));
}

TEST_F(ArchiveConversion, EntriesShorterThanAComponentAddNothing)
{
    const auto wallet = walletComponents();
    const auto manifest = bytesOf("Manifest-Version: 1.0\r\nCreated-By: test\r\n\r\n");
    const auto cap = writeCap("extras.cap", buildZip({
                                                {"META-INF/", {}},
                                                {"META-INF/MANIFEST.MF", manifest, deflated},
                                                {"Header.cap", wallet.headerEntry},
                                                {"com/acme/Wallet.class", {0xCA, 0xFE, 0xBA, 0xBE, 0, 0}},
                                                {"x", {1}}, // one byte: a tag 1 that brings out nothing
                                                {"Import.cap", concat({wallet.import, bytesOf("trailing")})},
                                            }));
    const auto ijc = convertOk(cap);
    const Lines expected = {
        "CAP file name: " + cap,
        "0.  0 bytes",
        "77. MANIFEST.MF 0 bytes",
        " Javacard version: 2.2",
        " Package AID: A0000000620301",
        " Package name: com/acme/wallet",
        "CAP components:",
        " ---",
        "1. Header.cap 33 bytes",
        "202. Wallet.class 0 bytes",
        "1. x 0 bytes",
        "4. Import.cap 14 bytes",
        " ---",
        " Total IJC: 47 bytes",
        "",
        "Done.",
    };
    EXPECT_EQ(report.lines(), expected);
    EXPECT_EQ(ijc, concat({wallet.header, wallet.import}));
}

TEST_F(ArchiveConversion, CutOffComponentFails)
{
    const auto wallet = walletComponents();
    ByteVector cut(wallet.directory.begin(), wallet.directory.begin() + 20);
    for (const char* name : {"pkg/javacard/Directory.cap", "pkg/javacard/DIRECTORY.Cap"}) {
        const auto cap = writeCap("cut.cap", buildZip({{"Header.cap", wallet.header}, {name, cut}}));
        const auto error = convert(cap);
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(lastKind, ErrorKind::CutOffComponent);
        EXPECT_NE(error->find(name), std::string::npos) << *error;
        EXPECT_NE(error->find("20"), std::string::npos) << *error;
        EXPECT_NE(error->find("34"), std::string::npos) << *error;
        EXPECT_EQ(readFile(dir.file("cut.ijc")), ByteVector{});
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"cut.cap", "cut.ijc"}));
    }
}

TEST_F(ArchiveConversion, EntriesThatCannotBeExtractedEndTheConversion)
{
    const auto wallet = walletComponents();
    auto damaged = deflate(wallet.directory);
    damaged[0] ^= 0xFF;
    damaged.resize(damaged.size() / 2);
    const struct {
        const char* what;
        ZipEntry entry;
        const char* reason;
    } cases[] = {
        {"CRC mismatch, stored", {.name = "Directory.cap", .data = wallet.directory, .crc = 0x12345678}, "CRC"},
        {"CRC mismatch, deflated",
         {.name = "Directory.cap", .data = wallet.directory, .method = deflated, .crc = 0x12345678},
         "CRC"},
        {"damaged data",
         {.name = "Directory.cap", .data = wallet.directory, .method = deflated, .rawData = damaged},
         ""},
        {"imploded", {.name = "Directory.cap", .data = wallet.directory, .method = 6}, "not supported"},
        {"encrypted", {.name = "Directory.cap", .data = wallet.directory, .flags = 1}, ""},
        {"fewer bytes than declared",
         {.name = "Directory.cap", .data = wallet.directory, .method = deflated, .uncompressedSize = 40},
         ""},
        {"more bytes than declared",
         {.name = "Directory.cap", .data = wallet.directory, .method = deflated, .uncompressedSize = 20},
         ""},
        {"declares more than an entry may hold",
         {.name = "Directory.cap", .data = wallet.directory, .method = deflated, .uncompressedSize = 17u << 20},
         "16777216"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("bad.ijc"), bytesOf("an older IJC"));
        const auto cap = writeCap("bad.cap", buildZip({{"Header.cap", wallet.header}, c.entry}));
        const auto error = convert(cap);
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(lastKind, ErrorKind::CannotExtract) << c.what << ": " << *error;
        EXPECT_EQ(error->rfind("Cannot extract \"Directory.cap\". ", 0), 0u) << *error;
        EXPECT_NE(error->find(c.reason), std::string::npos) << c.what << ": " << *error;
        EXPECT_EQ(report.lines().back(), "1. Header.cap 33 bytes") << c.what;
        EXPECT_EQ(readFile(dir.file("bad.ijc")), ByteVector{}) << c.what;
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"bad.cap", "bad.ijc"})) << c.what;
        EXPECT_FALSE(archive.isOpen()) << c.what;
    }
}

TEST_F(ArchiveConversion, ZipBombsAreRefusedBeforeAnythingIsInflated)
{
    const auto wallet = walletComponents();
    // Five entries that declare 15 MiB each: each within the limit for an
    // entry, together beyond that for a whole archive.
    std::vector<ZipEntry> large;
    for (int i = 0; i < 5; ++i)
        large.push_back({.name = "zeros" + std::to_string(i), .data = {0}, .uncompressedSize = 15u << 20});
    const struct {
        const char* what;
        std::vector<ZipEntry> entries;
        const char* message;
    } cases[] = {
        {"declared sizes", large, "The entries declare more than the 67108864 bytes allowed for a whole archive"},
        {"shared local header",
         {{.name = "Header.cap", .data = wallet.header},
          {.name = "Copy.cap", .data = wallet.header, .sharesLocalHeaderOf = 0}},
         "Entries \"Header.cap\" and \"Copy.cap\" overlap in the archive"},
    };
    for (const auto& c : cases) {
        const auto cap = writeCap("bomb.cap", buildZip(c.entries));
        const auto error = convert(cap);
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(lastKind, ErrorKind::Archive) << c.what;
        EXPECT_EQ(error->rfind(c.message, 0), 0u) << *error;
        EXPECT_EQ(report.lines(), Lines{"CAP file name: " + cap}) << c.what;
        EXPECT_EQ(readFile(dir.file("bomb.ijc")), ByteVector{}) << c.what;
    }
}

TEST_F(ArchiveConversion, NamesFromTheCapFileCannotForgeReportLines)
{
    const std::string forged = "x.cap\n Total IJC: 0 bytes\n\nDone.";
    const auto header = headerComponent(2, 2, {1, 2, 3, 4, 5}, "pkg\n\nDone.\x1B[31m");
    const auto cap = writeCap("forged.cap", buildZip({{"Header.cap", header}, {forged, component(6, {})}}));
    convertOk(cap);
    // One closing line, the last; the names shown with their controls escaped.
    EXPECT_EQ(std::count(report.lines().begin(), report.lines().end(), "Done."), 1);
    EXPECT_EQ(report.lines()[3], " Package name: pkg\\x0A\\x0ADone.\\x1B[31m");
    EXPECT_EQ(report.lines()[7], "6. x.cap\\x0A Total IJC: 0 bytes\\x0A\\x0ADone. 3 bytes");
}

TEST_F(ArchiveConversion, CapFileIsOnlyRead)
{
    const auto zip = walletZip();
    const auto cap = writeCap("readonly.cap", zip);
    ::chmod(cap.c_str(), 0444);
    struct stat before {};
    ::stat(cap.c_str(), &before);
    convertOk(cap);
    struct stat after {};
    ::stat(cap.c_str(), &after);
    EXPECT_EQ(readFile(cap), zip);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST_F(ArchiveConversion, EmptyAndMissingCapFiles)
{
    // An empty file is an archive without entries, and stays empty.
    const auto empty = writeCap("empty.cap", {});
    convertOk(empty);
    EXPECT_EQ(report.lines(), (Lines{"CAP file name: " + empty, " ---", " Total IJC: 0 bytes", "", "Done."}));
    EXPECT_EQ(readFile(empty), ByteVector{});

    // A missing file is never created.
    const auto missing = dir.file("missing.cap");
    EXPECT_EQ(convert(missing), "Cannot open file \"" + missing + "\". No such file or directory");
    EXPECT_EQ(report.lines(), Lines{"CAP file name: " + missing});
    EXPECT_FALSE(exists(missing));
    EXPECT_EQ(readFile(dir.file("missing.ijc")), ByteVector{});

    // A folder is no CAP file.
    std::filesystem::create_directory(dir.file("folder.cap"));
    EXPECT_EQ(convert(dir.file("folder.cap")), "Cannot open file \"" + dir.file("folder.cap") + "\". Is a directory");
}

TEST_F(ArchiveConversion, EmptyCapPathCreatesNothing)
{
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    report.appendLine("from an earlier conversion");
    const auto error = convert("");
    std::filesystem::current_path(previous);
    EXPECT_EQ(error, "No CAP file chosen");
    EXPECT_EQ(report.lines(), Lines{});
    EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

TEST_F(ArchiveConversion, CapPathEndingInIjcIsLeftIntact)
{
    const auto zip = walletZip();
    const auto cap = writeCap("wallet.ijc", zip);
    EXPECT_EQ(convert(cap), "Unhandled Archive Type");
    EXPECT_EQ(report.lines(), Lines{"CAP file name: " + cap});
    EXPECT_EQ(readFile(cap), zip);

    // The same file under another name is refused before it is touched.
    const auto link = dir.file("linked.cap");
    ASSERT_EQ(::link(cap.c_str(), link.c_str()), 0);
    ::unlink(cap.c_str());
    ASSERT_EQ(::symlink(link.c_str(), dir.file("linked.ijc").c_str()), 0);
    const auto error = convert(link);
    ASSERT_TRUE(error);
    EXPECT_EQ(lastKind, ErrorKind::CannotCreate) << *error;
    EXPECT_EQ(readFile(link), zip);
}

TEST_F(ArchiveConversion, IjcFileThatCannotBeCreated)
{
    // The parent of the IJC path is a regular file.
    writeFile(dir.file("plain"), bytesOf("x"));
    const auto zipPath = dir.file("plain/wallet.cap");
    EXPECT_EQ(convert(zipPath), "Cannot create file \"" + dir.file("plain/wallet.ijc") + "\". Not a directory");
    EXPECT_EQ(report.lines(), Lines{});

    // Another holds the IJC file without sharing: it is left as it is.
    const auto cap = writeCap("held.cap", walletZip());
    writeFile(dir.file("held.ijc"), bytesOf("held elsewhere"));
    const int holder = ::open(dir.file("held.ijc").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const auto error = convert(cap);
    ::close(holder);
    ASSERT_TRUE(error);
    EXPECT_EQ(lastKind, ErrorKind::CannotCreate);
    EXPECT_EQ(error->rfind("Cannot create file \"" + dir.file("held.ijc") + "\". ", 0), 0u) << *error;
    EXPECT_EQ(readFile(dir.file("held.ijc")), bytesOf("held elsewhere"));
}

TEST_F(ArchiveConversion, FailedWriteLeavesTheIjcFileEmpty)
{
    const auto cap = writeCap("limited.cap", walletZip());
    const auto message = withFileSizeLimit(50, [&] { return convert(cap).value_or("no error"); });
    EXPECT_EQ(message, "Cannot write file \"" + dir.file("limited.ijc") + "\". File too large");
    EXPECT_EQ(readFile(dir.file("limited.ijc")), ByteVector{});
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"limited.cap", "limited.ijc"}));
}

TEST_F(ArchiveConversion, ArchiveIsClosedAndReusableAfterAFailure)
{
    const auto wallet = walletComponents();
    const auto bad = writeCap("bad.cap", buildZip({{.name = "Header.cap", .data = wallet.header, .crc = 1}}));
    ASSERT_TRUE(convert(bad));
    EXPECT_FALSE(archive.isOpen());
    EXPECT_EQ(convertOk(writeCap("good.cap", walletZip())).size(), 81u);
}

TEST_F(ArchiveConversion, EntryNamesFromMsDosHostsAreDecoded)
{
    const auto wallet = walletComponents();
    // 0x81 is u-umlaut in code page 437.
    const auto cap = writeCap("names.cap", buildZip({{"pkg/Imp\x81rt.cap", wallet.import}}));
    convertOk(cap);
    EXPECT_EQ(report.lines()[1], "4. Imp\xC3\xBCrt.cap 14 bytes");
}

} // namespace
} // namespace tolvane
