#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/cap/component.h"
#include "core/report/json_report.h"
#include "core/report/text_report.h"
#include "zip_builder.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

using testing::ByteVector;

TEST(ComponentLength, CountsTagSizeAndContent)
{
    const struct {
        ByteVector bytes;
        std::uint32_t length;
    } cases[] = {
        {{0x01, 0x00, 0x00}, 3},
        {{0x01, 0x00, 0x1E}, 33},
        {{0x07, 0x01, 0x00}, 259},
        {{0x07, 0xFF, 0xFD}, 65536},
        {{0x07, 0xFF, 0xFF}, 65538},
        {{0x07}, 3}, // missing size bytes read as 0
        {{}, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(componentLength(c.bytes), c.length) << ::testing::PrintToString(c.bytes);
}

TEST(HeaderFields, ReadsVersionAidAndName)
{
    const auto header = testing::headerComponent(2, 1, {0xA0, 0x00, 0x00, 0x00, 0x62, 0x03, 0x01}, "com/acme/wallet");
    const auto fields = readHeaderFields(header);
    EXPECT_EQ(fields.major, 2u);
    EXPECT_EQ(fields.minor, 1u);
    EXPECT_EQ(fields.aid, "A0000000620301");
    EXPECT_EQ(fields.packageName, "com/acme/wallet");
}

TEST(HeaderFields, EmptyAndMissingFields)
{
    const struct {
        const char* what;
        ByteVector header;
        std::string aid;
        std::string name;
    } cases[] = {
        {"empty AID and name", testing::headerComponent(2, 2, {}, ""), "", ""},
        {"empty AID", testing::headerComponent(2, 2, {}, "p"), "", "p"},
        // An older Header without package name information ends after the AID.
        {"no name field", ByteVector{1, 0, 12, 0xDE, 0xCA, 0xFF, 0xED, 1, 2, 0, 0, 1, 2, 0xAB, 0xCD}, "ABCD", ""},
        // A cut-off AID reads its missing bytes as 0; a cut-off name shows what is there.
        {"cut-off AID", ByteVector{1, 0, 12, 0xDE, 0xCA, 0xFF, 0xED, 1, 2, 0, 0, 1, 3, 0xAB}, "AB0000", ""},
        {"cut-off name", ByteVector{1, 0, 12, 0xDE, 0xCA, 0xFF, 0xED, 1, 2, 0, 0, 1, 0, 4, 'a', 'b'}, "", "ab"},
        {"nothing but the tag", ByteVector{1}, "", ""},
    };
    for (const auto& c : cases) {
        const auto fields = readHeaderFields(c.header);
        EXPECT_EQ(fields.aid, c.aid) << c.what;
        EXPECT_EQ(fields.packageName, c.name) << c.what;
    }
    EXPECT_EQ(readHeaderFields(ByteVector{1}).major, 0u);
}

TEST(HeaderFields, LongestFieldsStayWithinTheirBytes)
{
    ByteVector aid(255, 0xFF);
    const auto fields = readHeaderFields(testing::headerComponent(3, 0, aid, std::string(255, 'x')));
    EXPECT_EQ(fields.aid, std::string(510, 'F'));
    EXPECT_EQ(fields.packageName, std::string(255, 'x'));
}

TEST(EntryBaseName, DropsEverythingUpToTheLastSeparator)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Header.cap", "Header.cap"},
        {"com/acme/wallet/javacard/Header.cap", "Header.cap"},
        {"a\\b/c.cap", "c.cap"},
        {"a/b\\c.cap", "c.cap"},
        {"dir/", ""},
        {"", ""},
    };
    for (const auto& [name, base] : cases)
        EXPECT_EQ(entryBaseName(name), base) << name;
}

TEST(ReportLines, FixedWordings)
{
    EXPECT_EQ(report::fileLine("/cards/wallet.cap"), "CAP file name: /cards/wallet.cap");
    EXPECT_EQ(report::sizeLine(547), "CAP file size: 547 bytes");
    EXPECT_EQ(report::versionLine(2, 1), " Javacard version: 2.1");
    EXPECT_EQ(report::aidLine(""), " Package AID: ");
    EXPECT_EQ(report::packageNameLine(""), " Package name: ");
    EXPECT_EQ(report::componentLine(255, "", 0), "255.  0 bytes");
    EXPECT_EQ(report::totalLine(81), " Total IJC: 81 bytes");
}

TEST(DisplayText, AppendsAFullStopAfterLettersDigitsAndLaterSigns)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Unhandled Archive Type", "Unhandled Archive Type."},
        {"error 42", "error 42."},
        {"Done.", "Done."},
        {"what?", "what?."},
        {"colon:", "colon:."},
        {"(paren)", "(paren)"},
        {"wow!", "wow!"},
        {"comma,", "comma,"},
        {"blank ", "blank "},
        {"", ""},
    };
    for (const auto& [message, shown] : cases)
        EXPECT_EQ(displayText(message), shown) << message;
}

TEST(Paths, ExtensionIsReplacedWithinTheLastPathElement)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/cards/applet.cap", "/cards/applet.ijc"},
        {"/cards/applet", "/cards/applet.ijc"},
        {"/rel.2/applet", "/rel.2/applet.ijc"},
        {"/cards/applet.tar.gz", "/cards/applet.tar.ijc"},
        {"C:\\cards\\applet.cap", "C:\\cards\\applet.ijc"}, // backslash and colon are ordinary characters
        {"/cards/x.y\\z", "/cards/x.ijc"},
        {"/cards/applet.ijc", "/cards/applet.ijc"},
        {"/cards/applet.", "/cards/applet.ijc"},
        {"", ".ijc"},
    };
    for (const auto& [path, ijc] : cases)
        EXPECT_EQ(withExtension(path, ".ijc"), ijc) << path;
    EXPECT_EQ(withExtension("/usr/local/bin/tolvane", ".ini"), "/usr/local/bin/tolvane.ini");
}

TEST(Paths, FullPathBeginsAtTheRoot)
{
    EXPECT_TRUE(isFullPath("/a.cap"));
    EXPECT_FALSE(isFullPath("a.cap"));
    EXPECT_FALSE(isFullPath("./a.cap"));
    EXPECT_FALSE(isFullPath("C:\\a.cap"));
    EXPECT_FALSE(isFullPath(""));
}

} // namespace
} // namespace tolvane

namespace tolvane {
namespace {

TEST(ReportText, ControlCharactersFromFilesAreShownEscaped)
{
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain/Header.cap", "plain/Header.cap"},
        {"x\n Total IJC: 0 bytes\n\nDone.", "x\\x0A Total IJC: 0 bytes\\x0A\\x0ADone."},
        {"\x1B[2J\x1B]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
        {std::string("nul\0tab\tdel\x7F", 12), "nul\\x00tab\\x09del\\x7F"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"}, // UTF-8 stays
        {"csi\xC2\x9B" "2J", "csi\\xC2\\x9B2J"},    // a C1 control, encoded
        {"raw\x9B" "2J \xFF", "raw\\x9B2J \\xFF"}, // a byte that is no UTF-8
        {"cut\xE2\x82", "cut\\xE2\\x82"},         // a sequence cut short
    };
    for (const auto& c : cases)
        EXPECT_EQ(withControlsEscaped(c.text), c.shown);
}

TEST(JsonText, OnlyWellFormedUtf8IsWrittenAsAString)
{
    const struct {
        const char* name;
        std::string text;
        bool valid;
    } cases[] = {
        {"ASCII", "pkg/javacard/Header.cap", true},
        {"two, three and four bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB3", true},
        {"the last code point", "\xF4\x8F\xBF\xBF", true},
        {"just before the surrogates", "\xED\x9F\xBF", true},
        {"first high surrogate", "\xED\xA0\x80", false},
        {"last low surrogate", "\xED\xBF\xBF", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false},
        {"lone continuation byte", "\x80", false},
        {"cut short", "\xE2\x82", false},
        {"Latin-1", "caf\xE9", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.name;
}

} // namespace
} // namespace tolvane
