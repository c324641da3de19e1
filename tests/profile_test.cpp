#include "core/base/file_layer.h"
#include "core/settings/profile.h"
#include "test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;

TEST(ProfileInteger, ReadsTheFormsOfTheSettingsFile)
{
    const struct {
        const char* text; // nullptr: the key is missing
        std::int32_t value;
    } cases[] = {
        {"123", 123},
        {"-40", -40},
        {"+7", 7},
        {"  12", 12},
        {"0x20", 32},
        {"0X20", 32},
        {"$20", 32},
        {"x20", 32},
        {"X1f", 31},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"0x80000000", INT32_MIN},
        {"$000000001", 1},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"00042", 42},
        // Not integers: the default.
        {"0x", 555},
        {"$", 555},
        {"", 555},
        {"-", 555},
        {"wide", 555},
        {"12px", 555},
        {"1 2", 555},
        {"2147483648", 555},
        {"-2147483649", 555},
        {"$100000000", 555},
        {"0x0x1", 555},
        {"1.5", 555},
        {nullptr, 555},
    };
    TempDir dir;
    const auto path = dir.file("t.ini");
    for (const auto& c : cases) {
        writeFile(path, bytesOf(c.text ? std::string("[main]\nkey=") + c.text + "\n" : "[main]\n"));
        EXPECT_EQ(profile::readInteger("main", "key", 555, path), c.value) << (c.text ? c.text : "(missing)");
    }
    EXPECT_EQ(profile::readInteger("main", "key", 7, dir.file("missing.ini")), 7);
}

TEST(ProfileText, FindsKeysWithoutRegardToLetterCase)
{
    const std::string content = "; comment\n[Other]\nkey=other\n[MAIN]\n Key = spaced value \r\nEmpty=\n"
                                "[main]\nkey=second section\n";
    EXPECT_EQ(profile::findValue(content, "main", "KEY"), "spaced value");
    EXPECT_EQ(profile::findValue(content, "main", "empty"), "");
    EXPECT_EQ(profile::findValue(content, "other", "key"), "other");
    EXPECT_EQ(profile::findValue(content, "main", "missing"), std::nullopt);
    EXPECT_EQ(profile::findValue(content, "none", "key"), std::nullopt);
    EXPECT_EQ(profile::findValue("[main]\nkey=" + std::string(3000, 'v'), "main", "key")->size(), 2047u);
}

TEST(ProfileText, WritesKeepEveryOtherLine)
{
    const struct {
        const char* what;
        std::string before;
        std::string after;
    } cases[] = {
        {"new file", "", "[main]\nkey=v\n"},
        {"replaced in place", "[main]\na=1\nKEY=old\nb=2\n", "[main]\na=1\nKEY=v\nb=2\n"},
        {"added at the end of its section", "[main]\na=1\n\n[x]\nkey=keep\n", "[main]\na=1\nkey=v\n\n[x]\nkey=keep\n"},
        {"section added at the end", "; top\n[x]\ny=1", "; top\n[x]\ny=1\n[main]\nkey=v\n"},
        {"comments kept", "[Main]\n;key=not this\nkey=old\n", "[Main]\n;key=not this\nkey=v\n"},
        {"blank lines stay after the new key", "[main]\na=1\n\n \n[x]\n", "[main]\na=1\nkey=v\n\n \n[x]\n"},
        {"a line longer than any read copied whole", "[x]\nlong=" + std::string(200000, 'l') + "\n",
         "[x]\nlong=" + std::string(200000, 'l') + "\n[main]\nkey=v\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(profile::withValue(c.before, "main", "key", "v"), c.after) << c.what;
}

TEST(ProfileText, ValuesReadBackAsWritten)
{
    for (const std::string value : {"plain", " leading", "trailing\t", " both ", "\"quoted\"", "\"", "a \"b\" c", ""}) {
        const auto content = profile::withValue("[main]\nother=1\n", "main", "key", value);
        EXPECT_EQ(profile::findValue(content, "main", "key"), value) << content;
    }
}

TEST(ProfileFile, WritesAtomicallyAndReadsBack)
{
    TempDir dir;
    const auto path = dir.file("t.ini");
    ASSERT_TRUE(profile::writeString("main", "cap_name", "/cards/a b=c.cap", path));
    ASSERT_TRUE(profile::writeString("main", "MainLeft", "-12", path));
    EXPECT_EQ(profile::readString("main", "cap_name", "", path), "/cards/a b=c.cap");
    EXPECT_EQ(profile::readInteger("main", "MainLeft", 100, path), -12);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"t.ini"});

    // A write that cannot be made leaves the file whole.
    const auto before = readFile(path);
    EXPECT_FALSE(profile::writeString("main", "k", "v", dir.file("t.ini/child.ini")));
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(profile::readString("main", "missing", "default", path), "default");
    EXPECT_EQ(profile::readString("main", "cap_name", "default", dir.file("nothing.ini")), "default");
}

TEST(ProfileFile, WriteThatFailsPartWayKeepsTheOldFileWhole)
{
    TempDir dir;
    const auto path = dir.file("t.ini");
    const std::string old = "[main]\nMainLeft=1\ncap_name=/old.cap\n";
    writeFile(path, bytesOf(old));
    // The new file passes the limit part way through its writing.
    const auto written = withFileSizeLimit(
        40, [&] { return profile::writeString("main", "cap_name", std::string(100, 'x'), path) ? "written" : ""; });
    EXPECT_EQ(written, "") << "the write did not fail";
    EXPECT_EQ(readFile(path), bytesOf(old));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"t.ini"});
}

} // namespace
} // namespace tolvane

namespace tolvane {
namespace {

using namespace testing;

struct stat statusOf(const std::string& path, bool followLink)
{
    struct stat info {};
    followLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    return info;
}

TEST(ProfileFile, LinksPermissionsAndFoldersThatTakeNoNewFile)
{
    TempDir dir;
    const auto path = dir.file("tolvane.ini");
    const std::string old = "[main]\ncap_name=/old.cap\n";
    const auto save = [&] {
        return profile::writeStrings("main", {{"cap_name", "/new.cap"}, {"MainLeft", "5"}}, path);
    };
    const std::string saved = "[main]\ncap_name=/new.cap\nMainLeft=5\n";

    // A symbolic link is written through to its target, which stays where it is.
    std::filesystem::create_directory(dir.file("dotfiles"));
    writeFile(dir.file("dotfiles/tolvane.ini"), bytesOf(old));
    ::symlink("dotfiles/tolvane.ini", path.c_str());
    EXPECT_TRUE(save());
    EXPECT_TRUE(S_ISLNK(statusOf(path, false).st_mode));
    EXPECT_EQ(readFile(dir.file("dotfiles/tolvane.ini")), bytesOf(saved));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"dotfiles", "tolvane.ini"}));
    std::filesystem::remove(path);

    // A file without write permission is never replaced, not even by the superuser.
    writeFile(path, bytesOf(old));
    ::chmod(path.c_str(), 0444);
    EXPECT_FALSE(save());
    EXPECT_EQ(readFile(path), bytesOf(old));
    ::chmod(path.c_str(), 0644);

    // As the unprivileged user: a file that cannot be read is not replaced by
    // one that lacks its lines; in a folder that takes no new file, a file
    // that can be written is written in place.
    ::chmod(dir.path().c_str(), 0755);
    ::chown(path.c_str(), unprivilegedId, unprivilegedId);
    ::chmod(path.c_str(), 0200);
    EXPECT_EQ(asUnprivileged([&] { return save() ? "saved" : "refused"; }), "refused");
    ::chmod(path.c_str(), 0644);
    EXPECT_EQ(readFile(path), bytesOf(old));
    const auto inode = statusOf(path, false).st_ino;
    EXPECT_EQ(asUnprivileged([&] { return save() ? "saved" : "refused"; }), "saved");
    EXPECT_EQ(readFile(path), bytesOf(saved));
    EXPECT_EQ(statusOf(path, false).st_ino, inode);
}

TEST(ProfileFile, EveryFailingCallLeavesTheOldFileOrTheNewOne)
{
    TempDir dir;
    const auto path = dir.file("tolvane.ini");
    const std::string old = "[main]\ncap_name=/old.cap\nMainLeft=1\n";
    const std::string saved = "[main]\ncap_name=/new.cap\nMainLeft=5\n";
    const auto save = [&] {
        return profile::writeStrings("main", {{"cap_name", "/new.cap"}, {"MainLeft", "5"}}, path);
    };
    writeFile(path, bytesOf(old));
    const unsigned before = files::calls();
    ASSERT_TRUE(save());
    const unsigned callsInASave = files::calls() - before;
    // Every call's failure is reported. Only the last, the flush of the
    // folder, comes after the new content took the name.
    for (unsigned n = 1; n <= callsInASave; ++n) {
        SCOPED_TRACE("call " + std::to_string(n));
        writeFile(path, bytesOf(old));
        files::failCall(n, EIO);
        EXPECT_FALSE(save());
        files::failCall(0, 0);
        EXPECT_EQ(readFile(path), bytesOf(n == callsInASave ? saved : old));
        EXPECT_EQ(dir.names(), std::vector<std::string>{"tolvane.ini"});
    }
}

TEST(ProfileFile, SavesOfTwoWindowsAtOnceNeverMix)
{
    TempDir dir;
    const auto path = dir.file("tolvane.ini");
    const auto saveAll = [&](const std::string& value) {
        std::vector<profile::Value> values;
        for (const char* key : {"MainLeft", "MainTop", "MainWidth", "MainHeight", "cap_name", "card_load_order"})
            values.push_back({key, value});
        for (int round = 0; round < 40; ++round)
            if (!profile::writeStrings("main", values, path))
                return std::string("failed");
        return std::string("done");
    };
    // Another process, forked before either holds anything.
    const pid_t other = ::fork();
    if (other == 0)
        ::_exit(saveAll("2") == "done" ? 0 : 1);
    EXPECT_EQ(saveAll("1"), "done");
    int status = -1;
    ::waitpid(other, &status, 0);
    EXPECT_EQ(status, 0);
    const auto text = readFile(path);
    const std::string content(text.begin(), text.end());
    EXPECT_TRUE(content.find("=1\n") == std::string::npos || content.find("=2\n") == std::string::npos) << content;
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 7) << content;
}

} // namespace
} // namespace tolvane
