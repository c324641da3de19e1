#include "core/settings/profile.h"
#include "test_support.h"

#include <gtest/gtest.h>

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
        const char* before;
        const char* after;
    } cases[] = {
        {"new file", "", "[main]\nkey=v\n"},
        {"replaced in place", "[main]\na=1\nKEY=old\nb=2\n", "[main]\na=1\nKEY=v\nb=2\n"},
        {"added at the end of its section", "[main]\na=1\n\n[x]\nkey=keep\n", "[main]\na=1\nkey=v\n\n[x]\nkey=keep\n"},
        {"section added at the end", "; top\n[x]\ny=1", "; top\n[x]\ny=1\n[main]\nkey=v\n"},
        {"comments kept", "[Main]\n;key=not this\nkey=old\n", "[Main]\n;key=not this\nkey=v\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(profile::withValue(c.before, "main", "key", "v"), c.after) << c.what;
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
