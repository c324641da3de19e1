// The IJC file cannot be turned against the person who converts: no link is
// written through, nothing is destroyed before the new content can be
// written, and no failure or kill leaves a partial file or a stray one.

#include "conversion_fixture.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/convert/archive_converter.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/zip/archive.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;

ByteVector walletCap()
{
    const auto wallet = walletComponents();
    return buildZip(
        {{"Header.cap", wallet.header}, {"Directory.cap", wallet.directory}, {"Import.cap", wallet.import}});
}

ByteVector walletIjc()
{
    const auto wallet = walletComponents();
    return concat({wallet.header, wallet.directory, wallet.import});
}

struct stat linkStatus(const std::string& path)
{
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info;
}

class OutputSafety : public ConversionTest {
protected:
    std::optional<std::string> convert(const std::string& cap)
    {
        return run([&] { convertThroughArchive(cap, report, archive); });
    }
    std::vector<std::string> namesBesides(std::initializer_list<std::string> expected) const
    {
        std::vector<std::string> others;
        for (const auto& name : dir.names())
            if (std::find(expected.begin(), expected.end(), name) == expected.end())
                others.push_back(name);
        return others;
    }

    ZipArchive archive;
};

TEST_F(OutputSafety, LinksAtTheIjcPathAreReplacedNeverWrittenThrough)
{
    const struct {
        const char* name;
        std::function<void(const TempDir&)> plant;
    } links[] = {
        {"symbolic link to another file",
         [](const TempDir& d) { ::symlink(d.file("other.txt").c_str(), d.file("w.ijc").c_str()); }},
        {"dangling symbolic link",
         [](const TempDir& d) { ::symlink(d.file("missing.txt").c_str(), d.file("w.ijc").c_str()); }},
        {"hard link", [](const TempDir& d) { ::link(d.file("other.txt").c_str(), d.file("w.ijc").c_str()); }},
    };
    for (const bool converts : {true, false}) {
        for (const auto& link : links) {
            SCOPED_TRACE(std::string(link.name) + (converts ? "" : ", failed conversion"));
            std::filesystem::remove(dir.file("w.ijc"));
            writeFile(dir.file("other.txt"), bytesOf("precious"));
            link.plant(dir);
            const auto cap = writeCap("w.cap", converts ? walletCap() : bytesOf("no archive"));
            EXPECT_EQ(convert(cap).has_value(), !converts);

            const auto info = linkStatus(dir.file("w.ijc"));
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(info.st_nlink, 1u);
            EXPECT_EQ(readFile(dir.file("w.ijc")), converts ? walletIjc() : ByteVector{});
            EXPECT_EQ(readFile(dir.file("other.txt")), bytesOf("precious"));
            EXPECT_FALSE(exists(dir.file("missing.txt")));
            EXPECT_EQ(namesBesides({"w.cap", "w.ijc", "other.txt"}), std::vector<std::string>{});
        }
    }
}

TEST_F(OutputSafety, NewIjcKeepsThePermissionBitsOfTheOld)
{
    // A new IJC file gets what the creation mask the program started with
    // leaves; one that replaces another keeps the old one's bits.
    writeCap("w.cap", walletCap());
    const auto convertUnderMask027 = [&] {
        return runProcess("/bin/sh", {"-c", "umask 027 && exec \"$0\" -q w.cap", TOLVANE_CLI}, dir.path()).status;
    };
    ASSERT_EQ(convertUnderMask027(), 0);
    EXPECT_EQ(linkStatus(dir.file("w.ijc")).st_mode & 07777, 0640u);
    ::chmod(dir.file("w.ijc").c_str(), 0604);
    ASSERT_EQ(convertUnderMask027(), 0);
    EXPECT_EQ(linkStatus(dir.file("w.ijc")).st_mode & 07777, 0604u);
}

TEST_F(OutputSafety, CapNameAsLongAsTheFileSystemAllows)
{
    const std::string stem(251, 'n');
    const auto cap = writeCap(stem + ".cap", walletCap());
    writeFile(dir.file(stem + ".ijc"), bytesOf("old"));
    ASSERT_FALSE(convert(cap));
    EXPECT_EQ(readFile(dir.file(stem + ".ijc")), walletIjc());
    EXPECT_EQ(dir.names(), (std::vector<std::string>{stem + ".cap", stem + ".ijc"}));
}

TEST_F(OutputSafety, FolderThatTakesNoNewFileGetsTheIjcWrittenInPlace)
{
    // The folder is the superuser's; the unprivileged user may read it and
    // write the IJC file that is theirs, but not add a file beside it.
    ::chmod(dir.path().c_str(), 0755);
    const auto cap = writeCap("w.cap", walletCap());
    const auto bad = writeCap("bad.cap", bytesOf("no archive"));
    const auto ijc = dir.file("w.ijc");
    const auto convertAsUnprivileged = [&](const std::string& path) {
        return asUnprivileged([&] {
            ZipArchive childArchive;
            LineHolder lines;
            try {
                convertThroughArchive(path, lines, childArchive);
                return std::string("converted");
            } catch (const Error& error) {
                return std::string(error.what());
            }
        });
    };

    writeFile(ijc, bytesOf("old content"));
    ::chown(ijc.c_str(), unprivilegedId, unprivilegedId);
    const auto inode = linkStatus(ijc).st_ino;
    EXPECT_EQ(convertAsUnprivileged(cap), "converted");
    EXPECT_EQ(readFile(ijc), walletIjc());
    EXPECT_EQ(linkStatus(ijc).st_ino, inode);

    writeFile(dir.file("bad.ijc"), bytesOf("old content"));
    ::chown(dir.file("bad.ijc").c_str(), unprivilegedId, unprivilegedId);
    EXPECT_NE(convertAsUnprivileged(bad), "converted");
    EXPECT_EQ(readFile(dir.file("bad.ijc")), ByteVector{});

    // Without a file to write in place, nothing can be done, and nothing is.
    std::filesystem::remove(ijc);
    EXPECT_EQ(convertAsUnprivileged(cap), "Cannot create file \"" + ijc + "\". Permission denied");
    EXPECT_FALSE(exists(ijc));
}

TEST_F(OutputSafety, EveryFailingCallLeavesTheOldOrAnEmptyOrTheNewIjcAndNoStrayFile)
{
    const auto cap = writeCap("w.cap", walletCap());
    const auto ijc = dir.file("w.ijc");
    const struct {
        const char* name;
        std::function<void()> convert;
        ByteVector expected;
    } modes[] = {
        {"archive", [&] { convertThroughArchive(cap, report, archive); }, walletIjc()},
        {"scan", [&] { convertByScanning(cap, report); }, walletIjc()},
    };
    for (const auto& mode : modes) {
        const unsigned before = files::calls();
        mode.convert();
        const unsigned callsInAConversion = files::calls() - before;
        ASSERT_GT(callsInAConversion, 5u);
        std::map<int, int> succeeded;
        for (const int error : {EIO, EOPNOTSUPP}) {
            int failedToPublish = 0;
            for (unsigned n = 1; n <= callsInAConversion; ++n) {
                SCOPED_TRACE(std::string(mode.name) + ", call " + std::to_string(n) + " fails with " +
                             std::strerror(error));
                writeFile(ijc, bytesOf("old"));
                files::failCall(n, error);
                const auto message = run(mode.convert);
                files::failCall(0, 0);
                const auto left = readFile(ijc);
                if (!message) {
                    ++succeeded[error];
                    EXPECT_EQ(left, mode.expected);
                } else {
                    EXPECT_TRUE(left == bytesOf("old") || left.empty()) << *message;
                    failedToPublish += lastKind == ErrorKind::CannotWrite;
                }
                EXPECT_EQ(namesBesides({"w.cap", "w.ijc"}), std::vector<std::string>{});
            }
            EXPECT_GT(failedToPublish, 0);
        }
        // A file system without unnamed files is met by a hidden temporary
        // file, so the conversion goes on where an I/O error stops it.
        EXPECT_GT(succeeded[EOPNOTSUPP], succeeded[EIO]) << mode.name;
    }
}

// Starts tolvane-cli on `cap` and sends it `signal` after `delay`.
int killedConversion(const std::string& cap, int signal, std::chrono::microseconds delay)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(TOLVANE_CLI, "tolvane-cli", "--scan", cap.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

TEST_F(OutputSafety, AKilledConversionLeavesNoPartialIjcAndNoStrayFile)
{
    // Large enough that a conversion takes a while.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 600; ++i)
        entries.push_back({"pkg/javacard/C" + std::to_string(i) + ".cap", component(6, ByteVector(60000, 'x'))});
    const auto cap = writeCap("many.cap", buildZip(entries));
    const auto ijc = dir.file("many.ijc");
    ASSERT_EQ(runProcess(TOLVANE_CLI, {"--scan", cap}, dir.path()).status, 0);
    const auto complete = readFile(ijc);
    ASSERT_EQ(complete.size(), 600u * 60003u);

    int interrupted = 0;
    // SIGKILL cannot be caught: one that falls in the moment between naming
    // the new content and publishing it leaves the hidden file, which the
    // next conversion into the folder removes. Any other signal leaves none.
    bool killedSinceLastConversion = false;
    for (int round = 0; round < 24; ++round) {
        const int signal = round % 3 == 0 ? SIGKILL : round % 3 == 1 ? SIGTERM : SIGINT;
        SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(signal));
        writeFile(ijc, bytesOf("old"));
        const int status = killedConversion(cap, signal, std::chrono::microseconds(1000 + round * 2500));
        interrupted += WIFSIGNALED(status);
        killedSinceLastConversion = (killedSinceLastConversion && WIFSIGNALED(status)) || signal == SIGKILL;
        const auto left = readFile(ijc);
        EXPECT_TRUE(left == bytesOf("old") || left.empty() || left == complete) << left.size() << " bytes";
        if (!killedSinceLastConversion) {
            EXPECT_EQ(namesBesides({"many.cap", "many.ijc"}), std::vector<std::string>{});
        }
    }
    EXPECT_GT(interrupted, 0);
    ASSERT_EQ(runProcess(TOLVANE_CLI, {"--scan", cap}, dir.path()).status, 0);
    EXPECT_EQ(namesBesides({"many.cap", "many.ijc"}), std::vector<std::string>{});

    // A reader that stops early ends the conversion with SIGPIPE.
    writeFile(ijc, bytesOf("old"));
    const auto piped =
        runProcess("/bin/sh", {"-c", std::string("'") + TOLVANE_CLI + "' many.cap many.cap | head -c 1"}, dir.path());
    EXPECT_EQ(piped.out.size(), 1u);
    const auto left = readFile(ijc);
    EXPECT_TRUE(left == bytesOf("old") || left.empty() || left == complete) << left.size() << " bytes";
    EXPECT_EQ(namesBesides({"many.cap", "many.ijc"}), std::vector<std::string>{});
}

TEST_F(OutputSafety, CapFilesOverTheSizeLimitAreRefusedBeforeTheyAreRead)
{
    constexpr std::uint64_t limit = 64u << 20;
    const auto cap = dir.file("big.cap");
    const struct {
        const char* name;
        std::function<void()> convert;
    } modes[] = {
        {"archive", [&] { convertThroughArchive(cap, report, archive); }},
        {"scan", [&] { convertByScanning(cap, report); }},
        {"load file", [&] { convertToLoadFile(cap, {}, LoadFileAction::Write, report, archive); }},
    };
    for (const std::uint64_t size : {limit, limit + 1, std::uint64_t{3'000'000'000}}) {
        {
            files::FileHandle file(::open(cap.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            ASSERT_EQ(::ftruncate(file.get(), static_cast<off_t>(size)), 0); // sparse: no disk is used
        }
        const std::string refusal = "Cannot open file \"" + cap + "\". It holds " + std::to_string(size) +
                                    " bytes, more than the 67108864 bytes allowed for a CAP file";
        for (const auto& mode : modes) {
            SCOPED_TRACE(std::string(mode.name) + ", " + std::to_string(size) + " bytes");
            const auto message = run(mode.convert);
            if (size > limit) {
                EXPECT_EQ(message, refusal);
                // The archive converter makes its IJC file first, and leaves it empty.
                EXPECT_EQ(exists(dir.file("big.ijc")) ? readFile(dir.file("big.ijc")) : ByteVector{}, ByteVector{});
            } else {
                // Read, and found to be no CAP file: a refusal of another kind.
                EXPECT_NE(message.value_or(""), refusal);
            }
            std::filesystem::remove(dir.file("big.ijc"));
        }
    }
}

} // namespace
} // namespace tolvane
