// What the file layer promises whatever happens around it: new content takes
// the place of a file, a link or nothing, never of anything else; every call
// that fails is reported; a file written in place is the one that was checked.

#include "core/base/file_layer.h"
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;

// How the content is held until it is published.
enum class Holder { Unnamed, Named };

// Begins new content for `path`. The hidden named file is what a file
// system without unnamed files gets: the layer's second call, the one that
// makes an unnamed file, is refused as such a file system refuses it.
bool begin(files::AtomicFile& file, const std::string& path, Holder holder,
           files::Durability durability = files::Durability::UntilPublished, bool replacesExisting = true)
{
    if (holder == Holder::Named)
        files::failCall(2, EOPNOTSUPP);
    const bool begun = file.begin(path, files::Links::Replace, 0644, durability, replacesExisting);
    files::failCall(0, 0);
    return begun;
}

// The layer's calls in a commit of `holder`'s content.
unsigned callsInACommit(const TempDir& dir, Holder holder, files::Durability durability, bool replacesExisting)
{
    const auto path = dir.file("probe");
    if (replacesExisting)
        writeFile(path, bytesOf("old"));
    files::AtomicFile file;
    if (!begin(file, path, holder, durability, replacesExisting) || !file.write("x", 1))
        return 0;
    const unsigned before = files::calls();
    const bool committed = file.commit();
    const unsigned count = files::calls() - before;
    std::filesystem::remove(path);
    return committed ? count : 0;
}

std::string lastStatusKind(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "nothing";
    return S_ISDIR(info.st_mode)    ? "folder"
           : S_ISFIFO(info.st_mode) ? "fifo"
           : S_ISREG(info.st_mode)  ? "file"
                                    : "other";
}

TEST(AtomicFile, NeverTakesThePlaceOfAFolderOrAPipe)
{
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;
        const char* kind;
        const char* refusal;
    } occupants[] = {
        {"folder", [](const std::string& p) { std::filesystem::create_directory(p), writeFile(p + "/inside", {}); },
         "folder", "Is a directory"},
        {"pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "fifo", "Not a regular file"},
    };
    for (const auto& occupant : occupants) {
        for (const Holder holder : {Holder::Unnamed, Holder::Named}) {
            SCOPED_TRACE(std::string(occupant.name) + (holder == Holder::Named ? ", named" : ", unnamed"));
            TempDir dir;
            const auto path = dir.file("target");

            // There from the start: refused before anything is made.
            occupant.plant(path);
            files::AtomicFile early;
            EXPECT_FALSE(begin(early, path, holder));
            EXPECT_EQ(files::lastErrorText(), occupant.refusal);
            std::filesystem::remove_all(path);

            // Put there while the content was written, before any call of
            // the commit: the folder or pipe stays, under its own name.
            const unsigned count = callsInACommit(dir, holder, files::Durability::Flushed, true);
            ASSERT_GT(count, 2u);
            for (unsigned n = 1; n <= count; ++n) {
                SCOPED_TRACE("put there before call " + std::to_string(n));
                writeFile(path, bytesOf("old"));
                files::AtomicFile file;
                ASSERT_TRUE(begin(file, path, holder, files::Durability::Flushed));
                ASSERT_TRUE(file.write("new", 3));
                files::atCall(n, [&] { std::filesystem::remove(path), occupant.plant(path); });
                (void)file.commit();
                files::atCall(0, nullptr);
                EXPECT_EQ(lastStatusKind(path), occupant.kind);
                EXPECT_EQ(dir.names(), std::vector<std::string>{"target"});
                std::filesystem::remove_all(path);
            }
        }
    }
}

TEST(AtomicFile, EveryFailingCallOfACommitIsReportedAndLeavesTheTargetAsItWas)
{
    for (const Holder holder : {Holder::Unnamed, Holder::Named}) {
        for (const auto durability : {files::Durability::Flushed, files::Durability::UntilPublished}) {
            for (const bool replacesExisting : {true, false}) {
                const bool flushed = durability == files::Durability::Flushed;
                SCOPED_TRACE(std::string(holder == Holder::Named ? "named" : "unnamed") +
                             (flushed ? ", flushed" : ", until published") +
                             (replacesExisting ? ", over a file" : ", where there is none"));
                TempDir dir;
                const auto path = dir.file("target");
                const unsigned count = callsInACommit(dir, holder, durability, replacesExisting);
                ASSERT_GT(count, 1u);
                for (unsigned n = 1; n <= count; ++n) {
                    SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(count) + " fails");
                    if (replacesExisting)
                        writeFile(path, bytesOf("old"));
                    files::AtomicFile file;
                    ASSERT_TRUE(begin(file, path, holder, durability, replacesExisting));
                    ASSERT_TRUE(file.write("new", 3));
                    files::failCall(n, EIO);
                    EXPECT_FALSE(file.commit());
                    files::failCall(0, 0);
                    EXPECT_EQ(files::lastErrorText(), std::strerror(EIO));
                    // Only the flush of the folder comes after the content took the name.
                    const bool published = flushed && n == count;
                    if (published || replacesExisting)
                        EXPECT_EQ(readFile(path), bytesOf(published ? "new" : "old"));
                    else
                        EXPECT_FALSE(exists(path));
                    EXPECT_EQ(dir.names(), (published || replacesExisting ? std::vector<std::string>{"target"}
                                                                          : std::vector<std::string>{}));
                    std::filesystem::remove(path);
                }
            }
        }
    }
}

TEST(AtomicFile, WrittenInPlaceOnlyWhenTheFileOpenedIsTheOneChecked)
{
    // A folder that takes no new file is met as such a folder answers: the
    // layer's second call, which makes the new file, is refused. The third
    // opens the target itself.
    const struct {
        const char* name;
        std::function<void(const TempDir&)> swapIn; // just before the target is opened
        bool written;
    } cases[] = {
        {"the file checked", [](const TempDir&) {}, true},
        {"a pipe with a reader",
         [](const TempDir& d) {
             std::filesystem::remove(d.file("target"));
             ::mkfifo(d.file("target").c_str(), 0644);
             ::open(d.file("target").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); // closed when the test ends
         },
         false},
        {"a file with a second name",
         [](const TempDir& d) {
             std::filesystem::remove(d.file("target"));
             ::link(d.file("other").c_str(), d.file("target").c_str());
         },
         false},
    };
    for (const auto& swap : cases) {
        SCOPED_TRACE(swap.name);
        TempDir dir;
        const auto path = dir.file("target");
        writeFile(path, bytesOf("old"));
        writeFile(dir.file("other"), bytesOf("precious"));
        files::AtomicFile file;
        files::failCall(2, EACCES);
        files::atCall(3, [&] { swap.swapIn(dir); });
        const bool begun = file.begin(path, files::Links::Replace, 0644, files::Durability::Flushed);
        files::failCall(0, 0);
        files::atCall(0, nullptr);
        EXPECT_EQ(begun, swap.written);
        if (begun) {
            EXPECT_TRUE(file.writesInPlace());
            EXPECT_TRUE(file.write("new", 3) && file.commit());
            ASSERT_EQ(lastStatusKind(path), "file"); // a pipe is not to be read here: it would wait for a writer
            EXPECT_EQ(readFile(path), bytesOf("new"));
        } else {
            EXPECT_EQ(files::lastErrorText(), "The file changed while it was opened");
        }
        EXPECT_EQ(readFile(dir.file("other")), bytesOf("precious"));
    }

    // Discarded, a file written in place is emptied, or discard says it was not.
    TempDir dir;
    const auto path = dir.file("target");
    for (const bool emptyingFails : {false, true}) {
        writeFile(path, bytesOf("old"));
        files::AtomicFile file;
        files::failCall(2, EACCES);
        ASSERT_TRUE(file.begin(path, files::Links::Replace, 0644, files::Durability::Flushed));
        ASSERT_TRUE(file.write("partial", 7));
        files::failCall(emptyingFails ? 1 : 0, EIO);
        EXPECT_EQ(file.discard(), !emptyingFails);
        files::failCall(0, 0);
        EXPECT_EQ(readFile(path), emptyingFails ? bytesOf("partial") : ByteVector{});
    }
}

TEST(FileLayer, OpenForReadingSaysWhatWentWrong)
{
    TempDir dir;
    writeFile(dir.file("file"), bytesOf("x"));
    ::mkfifo(dir.file("pipe").c_str(), 0644);
    std::filesystem::create_directory(dir.file("folder"));
    const struct {
        const char* name;
        unsigned failingCall;
        const char* expected;
    } cases[] = {
        {"file", 2, "Input/output error"}, // its status could not be read
        {"pipe", 0, "Not a regular file"},
        {"folder", 0, "Is a directory"},
        {"missing", 0, "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        files::failCall(c.failingCall, EIO);
        files::FileHandle file(files::openForReading(dir.file(c.name), files::Sharing::ReadAndWrite));
        files::failCall(0, 0);
        EXPECT_FALSE(file.valid());
        EXPECT_EQ(files::lastErrorText(), c.expected);
    }
}

TEST(AtomicFile, ACaughtSignalRemovesTheHiddenFileAndStillEndsTheProcess)
{
    TempDir dir;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        const pid_t child = ::fork();
        if (child == 0) {
            files::AtomicFile file;
            if (!begin(file, dir.file("target"), Holder::Named) || !file.write("new", 3))
                ::_exit(1);
            ::raise(signal);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(dir.names(), std::vector<std::string>{});
    }
}

TEST(AtomicFile, TheHiddenFilesOfAKilledProcessGoWithTheNextReplacement)
{
    // SIGKILL cannot be caught: a process killed between naming its new
    // content and publishing it leaves the hidden file. The next file put
    // in that folder removes it, and only what is surely such a file.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const std::string dead = std::to_string(gone), alive = std::to_string(::getpid());
    const struct {
        std::string name;
        bool folder;
        bool removed;
    } strays[] = {
        {".tolvane-" + dead + "-0123abcd", false, true},
        {".tolvane-" + alive + "-0123abcd", false, false}, // its process still runs
        {".tolvane-" + dead + "-0123abcd.cap", false, false},
        {".tolvane-" + dead + "-0123abcd0", false, false},
        {".tolvane-" + dead + "-0123abcx", false, false},
        {".tolvane-0123456789ab", false, false}, // a name without a process
        {".tolvane-" + dead + "-01234567", true, false},
    };
    for (const Holder holder : {Holder::Unnamed, Holder::Named}) {
        TempDir dir;
        std::vector<std::string> kept{"target"};
        for (const auto& stray : strays) {
            if (stray.folder)
                std::filesystem::create_directory(dir.file(stray.name));
            else
                writeFile(dir.file(stray.name), bytesOf("stray"));
            if (!stray.removed)
                kept.push_back(stray.name);
        }
        writeFile(dir.file("target"), bytesOf("old"));
        files::AtomicFile file;
        ASSERT_TRUE(begin(file, dir.file("target"), holder) && file.write("new", 3) && file.commit());
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(dir.names(), kept);
    }
}

} // namespace
} // namespace tolvane
