// Load files: the components a card loader sends, in the reference load
// order, and the checks that refuse a CAP file a card would refuse.

#include "conversion_fixture.h"
#include "core/base/paths.h"
#include "core/cap/load_file.h"
#include "core/convert/input_file.h"
#include "core/convert/load_file_converter.h"
#include "core/report/load_file_report.h"
#include "core/report/structure.h"
#include "core/zip/archive.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>

namespace tolvane {
namespace {

using namespace testing;

constexpr std::uint8_t accExport = 0x02, accApplet = 0x04, accExtended = 0x08;

void putBe16(ByteVector& out, std::size_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

ByteVector withAid(ByteVector out, const ByteVector& aid)
{
    out.push_back(static_cast<std::uint8_t>(aid.size()));
    out.insert(out.end(), aid.begin(), aid.end());
    return out;
}

const ByteVector packageAid{0xA0, 0x00, 0x00, 0x00, 0x62, 0x03, 0x01};

// A small CAP file whose components agree with one another; `entries` maps
// each component's entry name to its bytes, which a test may then spoil.
struct CapRecipe {
    std::uint8_t minor = 2;
    std::uint8_t flags = accApplet;
    std::vector<ByteVector> applets{{0xA0, 0x00, 0x00, 0x00, 0x62, 0x03, 0x01, 0x01}};
    std::vector<ByteVector> imports{{0xA0, 0x00, 0x00, 0x00, 0x62, 0x00, 0x01}};
    std::uint8_t importMinor = 0; // of every import, version 1
    // The one method: its header, then its bytecode.
    ByteVector method{0x01, 0x10, 0x7A};
    std::uint8_t methodFlags = 0x01; // public; 0x81 a constructor
    // With `pool`, the constant pool holds the superclass (entry 0), its
    // constructor (entry 1) and the class itself (entry 2), and the method's
    // two-byte indexes lie at `poolIndexPlaces` in Method.
    bool pool = false;
    std::vector<std::uint8_t> poolIndexPlaces;
    bool exportComponent = false;
    bool debug = false;
    bool staticResources = false;
    // Custom components listed in the Directory: tag and the entry that holds one.
    std::map<std::uint8_t, std::string> customs;

    std::map<std::string, ByteVector> entries() const
    {
        std::map<std::string, ByteVector> c;
        ByteVector header{0xDE, 0xCA, 0xFF, 0xED, minor, 2, flags, 0, 1};
        header = withAid(header, packageAid);
        if (minor >= 2) {
            header.push_back(4);
            header.insert(header.end(), {'t', 'e', 's', 't'});
        }
        c["Header.cap"] = component(1, header);
        if (!applets.empty()) {
            ByteVector content{static_cast<std::uint8_t>(applets.size())};
            for (const auto& aid : applets) {
                content = withAid(content, aid);
                putBe16(content, 1); // the one method, install
            }
            c["Applet.cap"] = component(3, content);
        }
        ByteVector import{static_cast<std::uint8_t>(imports.size())};
        for (const auto& aid : imports) {
            import.insert(import.end(), {importMinor, 1});
            import = withAid(import, aid);
        }
        c["Import.cap"] = component(4, import);
        const std::uint8_t ownClass = minor >= 2 ? 2 : 0; // after the signature pool
        c["ConstantPool.cap"] =
            component(5, pool ? ByteVector{0, 3, 1, 0x80, 0, 0, 6, 0x80, 0, 0, 1, 0, ownClass, 0} : ByteVector{0, 0});
        // One class, whose super class is the first imported package's first
        // class, with one method that returns.
        ByteVector classes = minor >= 2 ? ByteVector{0, 0} : ByteVector{}; // the signature pool
        const auto classOffset = static_cast<std::uint8_t>(classes.size());
        classes.insert(classes.end(), {0x00, 0x80, 0x00, 0, 0xFF, 0, 0, 0, 0, 0});
        if (minor >= 3)
            classes.push_back(0); // no inheritable public method tokens
        c["Class.cap"] = component(6, classes);
        c["Method.cap"] = component(7, concat({{0}, method}));
        const auto bytecodeCount = static_cast<std::uint8_t>(method.size() - 2);
        c["StaticField.cap"] = component(8, ByteVector(10, 0));
        ByteVector locations{0, 0, 0, static_cast<std::uint8_t>(poolIndexPlaces.size())};
        for (std::size_t i = 0; i < poolIndexPlaces.size(); ++i)
            locations.push_back(static_cast<std::uint8_t>(poolIndexPlaces[i] - (i == 0 ? 0 : poolIndexPlaces[i - 1])));
        c["RefLocation.cap"] = component(9, locations);
        if (exportComponent)
            c["Export.cap"] = component(10, {0});
        // The method's type, ()V, lies after the constant pool's types: none,
        // or the classes' (none) and the constructor's, ()V as well.
        const std::uint8_t typeAt = pool ? 8 : 2;
        const ByteVector types =
            pool ? ByteVector{0, 3, 0xFF, 0xFF, 0, 8, 0xFF, 0xFF, 1, 0x10} : ByteVector{0, 0, 1, 0x10};
        const ByteVector descriptor = concat(
            {{1, 0, 0x01, 0, classOffset, 0, 0, 0, 0, 1, 0, methodFlags, 0, 1, 0, typeAt, 0, bytecodeCount, 0, 0, 0, 0},
             types});
        c["Descriptor.cap"] = component(11, descriptor);
        if (debug)
            c["Debug.cap"] = component(12, {0, 1, 0, 1, 'p', 0, 0, 0, 0});
        if (staticResources)
            c["StaticResources.capx"] = {13, 0, 0, 0, 2, 0, 0};
        ByteVector directory;
        const int lastSized = minor == 1 ? 11 : 12;
        const auto sizeOf = [&](const char* name) {
            const auto found = c.find(name);
            return found == c.end() ? 0 : found->second.size() - 3;
        };
        const char* names[] = {"Header.cap",       "Directory.cap", "Applet.cap",     "Import.cap",
                               "ConstantPool.cap", "Class.cap",     "Method.cap",     "StaticField.cap",
                               "RefLocation.cap",  "Export.cap",    "Descriptor.cap", "Debug.cap"};
        const std::size_t directorySize = lastSized * 2 + (minor >= 3 ? 4 : 0) + 9 + customs.size() * 9;
        for (int tag = 1; tag <= lastSized; ++tag)
            putBe16(directory, tag == 2 ? directorySize : sizeOf(names[tag - 1]));
        if (minor >= 3)
            directory.insert(directory.end(), {0, 0, 0, static_cast<std::uint8_t>(staticResources ? 2 : 0)});
        directory.insert(directory.end(), {0, 0, 0, 0, 0, 0});
        directory.push_back(static_cast<std::uint8_t>(imports.size()));
        directory.push_back(static_cast<std::uint8_t>(applets.size()));
        directory.push_back(static_cast<std::uint8_t>(customs.size()));
        for (const auto& [tag, name] : customs) {
            directory.push_back(tag);
            putBe16(directory, 0);
            directory = withAid(directory, {1, 2, 3, 4, 5});
        }
        c["Directory.cap"] = component(2, directory);
        return c;
    }
};

// The CAP file of `entries` under pkg/javacard/, with a manifest first.
ByteVector capFile(const std::map<std::string, ByteVector>& entries)
{
    std::vector<ZipEntry> zip{{"META-INF/MANIFEST.MF", bytesOf("Manifest-Version: 1.0\n"), deflated}};
    for (const auto& [name, bytes] : entries)
        zip.push_back({"pkg/javacard/" + name, bytes});
    return buildZip(zip);
}

// Whether a row of `rows`, or of their children, carries a finding that says `text`.
bool anyRowSays(const std::vector<StructureRow>& rows, const std::string& text)
{
    return std::any_of(rows.begin(), rows.end(), [&](const StructureRow& row) {
        return std::any_of(row.findings.begin(), row.findings.end(),
                           [&](const std::string& f) { return f.find(text) != std::string::npos; }) ||
               anyRowSays(row.children, text);
    });
}

class LoadFileConversion : public ConversionTest {
protected:
    std::optional<std::string> convert(const ByteVector& cap, LoadFileOptions options = {})
    {
        const auto path = writeCap("card.cap", cap);
        return run([&] { convertToLoadFile(path, options, LoadFileAction::Write, report, archive); });
    }
    ByteVector ijc() { return readFile(dir.file("card.ijc")); }
    std::string reportText() const { return report.text(); }

    ZipArchive archive;
};

TEST_F(LoadFileConversion, CapFilesACardWouldRefuse)
{
    using Entries = std::map<std::string, ByteVector>;
    const struct {
        const char* name;
        CapRecipe recipe;
        std::function<void(Entries&)> spoil;
        const char* message;
    } cases[] = {
        {"tag of another component",
         {},
         [](Entries& e) { e["Class.cap"][0] = 7; },
         "Component \"pkg/javacard/Class.cap\": its tag byte is 7, but a Class component has tag 6"},
        {"size field short of the entry",
         {},
         [](Entries& e) { e["Method.cap"].push_back(0); },
         "Component \"pkg/javacard/Method.cap\": its size field gives 4 bytes, but the entry holds 5 after its tag "
         "and size"},
        {"StaticResources with a four-byte size that is wrong",
         {.minor = 3, .staticResources = true},
         [](Entries& e) { e["StaticResources.capx"][4] = 9; },
         "its size field gives 9 bytes, but the entry holds 2"},
        {"two Headers",
         {},
         [](Entries& e) { e["more/Header.cap"] = e["Header.cap"]; },
         "a second Header component; the first is"},
        {"no magic", {}, [](Entries& e) { e["Header.cap"][3] = 0xCA; }, "its magic number is CACAFFED, not DECAFFED"},
        {"CAP format 2.4",
         {},
         [](Entries& e) { e["Header.cap"][7] = 4; },
         "CAP format 2.4 is not one of 2.1, 2.2 and 2.3"},
        {"extended CAP file",
         {.flags = accApplet | accExtended},
         nullptr,
         "it is the Header of an extended CAP file (flag ACC_EXTENDED)"},
        {"package AID too short",
         {},
         [](Entries& e) {
             e["Header.cap"] = component(1, withAid({0xDE, 0xCA, 0xFF, 0xED, 2, 2, 4, 0, 1}, {1, 2}));
         },
         "its package AID is 2 bytes long, not 5 to 16"},
        {"Header cut short",
         {},
         [](Entries& e) {
             e["Header.cap"] = component(1, {0xDE, 0xCA, 0xFF, 0xED, 2, 2, 4, 0, 1, 7, 1});
         },
         "it ends too soon: package AID needs 7 bytes"},
        {"no Method",
         {},
         [](Entries& e) { e.erase("Method.cap"); },
         "The CAP file has no Method (Method.cap) component"},
        {"ACC_APPLET without Applet",
         {.applets = {}},
         [](Entries& e) { e["Header.cap"][9] = accApplet; },
         "The Header sets ACC_APPLET, but the CAP file has no Applet (Applet.cap) component"},
        {"Applet without ACC_APPLET", {.flags = 0}, nullptr, "the Header does not set ACC_APPLET"},
        {"ACC_EXPORT without Export",
         {.flags = accApplet | accExport},
         nullptr,
         "The Header sets ACC_EXPORT, but the CAP file has no Export (Export.cap) component"},
        {"Export without ACC_EXPORT", {.exportComponent = true}, nullptr, "the Header does not set ACC_EXPORT"},
        {"Directory size of Method",
         {},
         [](Entries& e) { e["Directory.cap"][3 + 13] = 9; },
         "Component \"pkg/javacard/Directory.cap\": it gives Method 9 bytes, but Method.cap's size field gives 4"},
        {"Directory import count",
         {},
         [](Entries& e) { e["Directory.cap"][3 + 24 + 6] = 2; },
         "its import count is 2, but Import.cap lists 1 packages"},
        {"Directory applet count",
         {},
         [](Entries& e) { e["Directory.cap"][3 + 24 + 7] = 0; },
         "its applet count is 0, but the CAP file has 1 applets"},
        {"Debug.cap with a custom tag the Directory does not list",
         {},
         [](Entries& e) { e["Debug.cap"] = component(0xDB, {1}); },
         "a custom tag that the Directory does not list"},
        {"StaticResources before CAP 2.3",
         {},
         [](Entries& e) {
             e["StaticResources.capx"] = {13, 0, 0, 0, 0};
         },
         "a StaticResources component needs CAP format 2.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto entries = c.recipe.entries();
        if (c.spoil)
            c.spoil(entries);
        writeFile(dir.file("card.ijc"), bytesOf("old content"));
        const auto error = convert(capFile(entries));
        ASSERT_TRUE(error) << reportText();
        EXPECT_EQ(lastKind, ErrorKind::NotLoadable);
        EXPECT_NE(error->find(c.message), std::string::npos) << *error;
        EXPECT_EQ(ijc(), bytesOf("old content"));
        // The window shows the refusal on a row, where the input reads as a
        // package at all; else looking at it says the same.
        const std::string message = c.message;
        const std::string detail =
            message.starts_with("Component ") ? message.substr(message.find("\": ") + 3) : message;
        try {
            EXPECT_TRUE(anyRowSays(structureOf(inspectInput(readInput(dir.file("card.cap")), archive)), detail));
        } catch (const Error& looked) {
            EXPECT_NE(std::string(looked.what()).find(c.message), std::string::npos) << looked.what();
        }
    }
}

// Every output of the load-file modes replaces its file only when whole and
// checked: a refusal or a failed write leaves the old bytes, or no file.
TEST_F(LoadFileConversion, RefusedOrFailedOutputsLeaveTheOldFileOrNone)
{
    const auto entries = CapRecipe{.flags = accApplet | accExport, .exportComponent = true, .debug = true}.entries();
    auto spoiled = entries;
    spoiled["Directory.cap"][3 + 24 + 6] = 2; // an import count Import.cap does not bear out
    // The same components one after the other: the input of --to-cap.
    const auto components = [](const std::map<std::string, ByteVector>& from) {
        ByteVector out;
        for (const char* name :
             {"Header.cap", "Directory.cap", "Import.cap", "Applet.cap", "Class.cap", "Method.cap", "StaticField.cap",
              "Export.cap", "ConstantPool.cap", "RefLocation.cap", "Descriptor.cap"})
            out.insert(out.end(), from.at(name).begin(), from.at(name).end());
        return out;
    };
    // An export file needs a Debug component that names classes: a real one.
    const auto named = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    const ByteVector exportable = exists(named) ? readFile(named) : ByteVector{};
    using Write = std::function<void(const std::string& input, const std::string& output)>;
    LoadFileReport observer(report);
    const struct {
        const char* mode;
        const char* input;
        ByteVector good, refused;
        Write write;
    } modes[] = {
        {"--load-file", "in.cap", capFile(entries), capFile(spoiled),
         [&](const std::string& in, const std::string& out) {
             convertToLoadFile(in, {}, LoadFileAction::Write, observer, archive, out);
         }},
        {"--apdu", "in.cap", capFile(entries), capFile(spoiled),
         [&](const std::string& in, const std::string& out) {
             convertToApduScript(in, {}, {}, observer, archive, out);
         }},
        {"--to-cap", "in.ijc", components(entries), components(spoiled),
         [&](const std::string& in, const std::string& out) { convertToCapFile(in, {}, {}, observer, archive, out); }},
        {"--to-exp", "in.cap", exportable, capFile(spoiled),
         [this](const std::string& in, const std::string& out) { convertToExportFile(in, {}, archive, out); }},
    };
    const ByteVector old = bytesOf("old");
    const auto out = dir.file("out.bin");
    for (const auto& m : modes) {
        SCOPED_TRACE(m.mode);
        const auto in = dir.file(m.input);
        if (m.good.empty()) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
                ADD_FAILURE() << "no corpus at " << corpusDir() << ", which CI requires";
            continue;
        }
        // Made from the good input, the output is written.
        std::filesystem::remove(out);
        writeFile(in, m.good);
        ASSERT_EQ(run([&] { m.write(in, out); }), std::nullopt);
        ASSERT_TRUE(exists(out));
        const struct {
            const char* name;
            bool oldThere;
            bool fileSizeLimit; // the write fails past a few bytes
        } cases[] = {
            {"refused over a good file", true, false},
            {"refused where none was", false, false},
            {"failed write over a good file", true, true},
            {"failed write where none was", false, true},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            std::filesystem::remove(out);
            if (c.oldThere)
                writeFile(out, old);
            writeFile(in, c.fileSizeLimit ? m.good : m.refused);
            const auto attempt = [&]() -> std::string {
                try {
                    m.write(in, out);
                    return "written";
                } catch (const Error& error) {
                    return displayText(error); // with the line that says what became of `out`
                }
            };
            const std::string error = c.fileSizeLimit ? withFileSizeLimit(old.size() + 4, attempt) : attempt();
            EXPECT_THAT(error, ::testing::HasSubstr(out + (c.oldThere ? " was left as it was" : " was not created")));
            if (c.oldThere)
                EXPECT_EQ(readFile(out), old);
            else
                EXPECT_FALSE(exists(out));
            // Nothing else is left beside it.
            for (const auto& item : std::filesystem::directory_iterator(dir.path()))
                EXPECT_THAT(item.path().filename().string(), ::testing::AnyOf("out.bin", "in.cap", "in.ijc")) << error;
        }
    }
}

TEST_F(LoadFileConversion, ComponentsInTheReferenceLoadOrder)
{
    const std::vector<const char*> loadOrder{
        "Header.cap",       "Directory.cap",   "Import.cap",           "Applet.cap",
        "Class.cap",        "Method.cap",      "StaticField.cap",      "Export.cap",
        "ConstantPool.cap", "RefLocation.cap", "StaticResources.capx", "Descriptor.cap"};
    const struct {
        const char* name;
        CapRecipe recipe;
        bool keepDescriptor;
        std::vector<std::string> reportLines; // among the report's lines
    } cases[] = {
        {"applet with Debug",
         {.debug = true},
         true,
         {" Applet AID: A000000062030101",
          " Left out: pkg/javacard/Debug.cap (the Debug component, never sent to a card)", " Descriptor: kept"}},
        {"Descriptor left out",
         {},
         false,
         {" Descriptor: left out",
          " Left out: pkg/javacard/Descriptor.cap (the Descriptor component, left out as asked)"}},
        {"library that exports, without Applet",
         {.flags = accExport, .applets = {}, .exportComponent = true},
         true,
         {" Package AID: A0000000620301"}},
        {"several applets",
         {.applets = {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 6}, {1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}}},
         true,
         {" Applet AID: 0102030405", " Applet AID: 0102030406", " Applet AID: 010203040708090A0B0C0D0E0F101112"}},
        {"CAP 2.3 with StaticResources", {.minor = 3, .staticResources = true}, true, {" CAP format: 2.3"}},
        {"CAP 2.1, Debug data under a custom tag",
         {.minor = 1, .customs = {{0xDB, "Debug.cap"}}},
         true,
         {" Left out: pkg/javacard/Debug.cap (debug data written as a custom component (tag 219), never sent to a "
          "card)"}},
        {"custom component",
         {.customs = {{0x80, "Custom.cap"}}},
         true,
         {" Left out: pkg/javacard/Custom.cap (a custom component (tag 128), which loaders do not send)",
          " Left out: META-INF/MANIFEST.MF (the manifest, not a component)"}},
        // The ZIP library takes these control characters as they are; others it
        // reads as the glyphs of the MS-DOS code page.
        {"custom component whose name holds control characters",
         {.customs = {{0x81, "Odd\t\r\n.cap"}}},
         true,
         {" Left out: pkg/javacard/Odd\\x09\\x0D\\x0A.cap (a custom component (tag 129), which loaders do not "
          "send)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto entries = c.recipe.entries();
        for (const auto& [tag, name] : c.recipe.customs)
            entries[name] = component(tag, {1, 2});
        const auto error = convert(capFile(entries), {c.keepDescriptor});
        ASSERT_FALSE(error) << *error;
        ByteVector expected;
        for (const std::string name : loadOrder)
            if (entries.count(name) && (name != "Descriptor.cap" || c.keepDescriptor))
                expected.insert(expected.end(), entries[name].begin(), entries[name].end());
        EXPECT_EQ(ijc(), expected);
        for (const auto& line : c.reportLines)
            EXPECT_NE(std::find(report.lines().begin(), report.lines().end(), line), report.lines().end())
                << line << "\n"
                << reportText();
        EXPECT_EQ(report.lines().back(), "Done.");
    }
}

TEST_F(LoadFileConversion, WarningsForWhatACardNeverSees)
{
    CapRecipe recipe{.debug = true};
    auto entries = recipe.entries();
    entries.erase("Debug.cap");
    std::vector<ZipEntry> zip;
    for (const auto& [name, bytes] : entries)
        zip.push_back({"pkg/javacard/" + name, bytes});
    const auto path = writeCap("card.cap", buildZip(zip));
    ASSERT_FALSE(run([&] { convertToLoadFile(path, {}, LoadFileAction::Write, report, archive); }));
    const auto text = reportText();
    EXPECT_NE(text.find(" Warning: Directory.cap: Directory, size of Debug at offset 22: it gives 9 bytes, but the CAP "
                        "file has no Debug.cap\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" Warning: The CAP file has no META-INF/MANIFEST.MF"), std::string::npos) << text;
}

TEST_F(LoadFileConversion, DigestsOfAKnownLoadFile)
{
    // The recipe's load file, hashed once by sha1sum and sha256sum.
    const auto path = writeCap("card.cap", capFile(CapRecipe{}.entries()));
    ASSERT_FALSE(run([&] { convertToLoadFile(path, {}, LoadFileAction::Write, report, archive); }));
    ASSERT_EQ(ijc().size(), 166u);
    const auto text = reportText();
    EXPECT_NE(text.find(" Load File Data Block SHA-1: e4a4e86c23ecc68512f6dab7b8c6d23cc2ec1d82\n"), std::string::npos)
        << text;
    EXPECT_NE(
        text.find(" Load File Data Block SHA-256: 11be123030a90889cd7dffdff4352a565226c8f0d60710402430ad9e6bc9e187\n"),
        std::string::npos)
        << text;
}

// A method with a branch, a jump and a switch, decoded and listed.
const ByteVector branchingMethod{0x02, 0x12,       // header: stack 2, 1 argument, 2 locals
                                 0x11, 0x12, 0x34, // 3: sspush 4660
                                 0x30, 0x1D,       // 6: sstore_1, 7: sload_1
                                 0x60, 0x05,       // 8: ifeq +5
                                 0x70, 0x03,       // 10: goto +3
                                 0x00, 0x1D,       // 12: nop, 13: sload_1
                                 0x75, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x07, 0x00, 0x0A, // 14: slookupswitch
                                 0x00, 0x7A};                                          // 23: nop, 24: return

TEST_F(LoadFileConversion, EveryMethodIsDisassembled)
{
    const auto path = writeCap("card.cap", capFile(CapRecipe{.method = branchingMethod}.entries()));
    ASSERT_FALSE(run([&] { convertToLoadFile(path, {}, LoadFileAction::Check, report, archive); }));
    const std::vector<std::string> listing{
        "   3: sspush 4660",   "   6: sstore_1", "   7: sload_1",  "   8: ifeq 5 -> 13",
        "   10: goto 3 -> 13", "   12: nop",     "   13: sload_1", "   14: slookupswitch 10 1 7 10 -> 24 24",
        "   23: nop",          "   24: return"};
    LineHolder dump;
    LoadFileReport dumping(dump, true);
    ASSERT_FALSE(run([&] { convertToLoadFile(path, {}, LoadFileAction::Check, dumping, archive); }));
    const auto& lines = dump.lines();
    const auto first = std::find(lines.begin(), lines.end(), listing.front());
    ASSERT_NE(first, lines.end()) << dump.text();
    EXPECT_EQ(std::vector<std::string>(first, std::min(first + 10, lines.end())), listing);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "  method token 0 (public) at 1: stack 2, locals 2, arguments 1, 22 bytes"),
              lines.end())
        << dump.text();
}

TEST_F(LoadFileConversion, ComponentsThatDisagreeAreRefusedOrWithoutVerifyWarnedOf)
{
    using Entries = std::map<std::string, ByteVector>;
    using Path = std::vector<std::string>;
    const Path method{"Classes", "token 0", "method token 0"};
    const struct {
        const char* name;
        std::function<void(Entries&)> spoil; // sizes unchanged
        const char* finding;
        Path marked;                  // the row of the package's structure that shows the finding
        const char* instruction = ""; // and the instruction's row in the method's listing
    } cases[] = {
        {"branch into an instruction", [](Entries& e) { e["Method.cap"][3 + 9] = 0x03; },
         "Component \"pkg/javacard/Method.cap\": Method, branch target at offset 8: ifeq goes to 11", method,
         "8: ifeq 3 -> 11"},
        {"undefined opcode",
         [](Entries& e) { e["Method.cap"][3 + 12] = 0xFE; },
         "Component \"pkg/javacard/Method.cap\": Method, opcode at offset 12: opcode 254 is not an instruction",
         {"Components", "Method"}},
        {"install method inside a method",
         [](Entries& e) { e["Applet.cap"][3 + 11] = 2; },
         "Component \"pkg/javacard/Applet.cap\": Applet, install method offset at offset 10: offset 2 in Method is "
         "not the start of a method",
         {"Components", "Applet"}},
        {"super class inside Class",
         [](Entries& e) { e["Class.cap"][3 + 3] = 0x00, e["Class.cap"][3 + 4] = 0x03; },
         "Component \"pkg/javacard/Class.cap\": Class, super class at offset 3: offset 3 in Class is not the start "
         "of a class",
         {"Classes", "token 0"}},
        {"Descriptor's methods leave a gap",
         [](Entries& e) { e["Descriptor.cap"][3 + 17] = 21; },
         "Component \"pkg/javacard/Method.cap\": Method, methods at offset 24: 1 bytes of Method belong to no "
         "method",
         {"Components", "Method"}},
        {"static image bigger than the Directory says",
         [](Entries& e) { e["StaticField.cap"][3 + 1] = 4; },
         "Component \"pkg/javacard/StaticField.cap\": StaticField, image size at offset 0: it gives 4, the "
         "Directory 0",
         {"Components", "StaticField"}},
    };
    // The row at `path` of `rows`, by label.
    const auto rowAt = [](const std::vector<StructureRow>& rows, const Path& path) -> const StructureRow* {
        const std::vector<StructureRow>* level = &rows;
        const StructureRow* found = nullptr;
        for (const auto& label : path) {
            const auto it = std::find_if(level->begin(), level->end(), [&](const auto& r) { return r.label == label; });
            if (it == level->end())
                return nullptr;
            found = &*it;
            level = &it->children;
        }
        return found;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto entries = CapRecipe{.method = branchingMethod}.entries();
        c.spoil(entries);
        std::filesystem::remove(dir.file("card.ijc"));
        EXPECT_THAT(convert(capFile(entries)).value_or("converted"), ::testing::StartsWith(c.finding));
        EXPECT_FALSE(std::filesystem::exists(dir.file("card.ijc")));
        // Without the checks, the load file is written and the finding is a warning.
        LoadFileOptions unverified;
        unverified.verify = false;
        ASSERT_FALSE(convert(capFile(entries), unverified));
        EXPECT_FALSE(ijc().empty());
        const std::string finding = std::string(c.finding).substr(std::string(c.finding).find("\": ") + 3);
        EXPECT_NE(reportText().find(" Warning: " + finding.substr(0, finding.find(','))), std::string::npos)
            << reportText();

        // Looked at in the window, the package shows the finding on its row.
        const LoadFile inspected = inspectInput(readInput(dir.file("card.cap")), archive);
        const auto rows = structureOf(inspected);
        const StructureRow* marked = rowAt(rows, c.marked);
        ASSERT_NE(marked, nullptr);
        EXPECT_THAT(marked->findings, ::testing::ElementsAre(::testing::StartsWith(finding)));
        if (*c.instruction == '\0')
            continue;
        const auto listing = listingOf(inspected, marked->classIndex, marked->methodIndex);
        for (const auto& row : listing)
            EXPECT_EQ(row.findings.empty(), row.label != c.instruction) << row.label;
    }
}

// Methods whose types the verifier must follow through every way in: each
// row one method of the test package (header, then bytecode from offset 3),
// and what the verifier must find, or nothing.
TEST_F(LoadFileConversion, TheVerifierFollowsTypesThroughEveryWayIn)
{
    const struct {
        const char* name;
        ByteVector method;
        const char* finding;                     // nullptr: accepted
        std::vector<std::uint8_t> poolIndexes{}; // where the method's constant pool indexes lie
        std::uint8_t flags = 0x01;
    } cases[] = {
        {"a subroutine returns past its jsr", {0x01, 0x11, 0x71, 0x00, 0x04, 0x7A, 0x2C, 0x72, 0x01}, nullptr},
        {"ret through a local that holds a short",
         {0x01, 0x11, 0x03, 0x30, 0x72, 0x01},
         "ret at 5 needs a return address in local 1, which holds a short"},
        {"a return address read as a reference",
         {0x01, 0x11, 0x71, 0x00, 0x04, 0x7A, 0x2C, 0x19, 0x93},
         "aload_1 at 8 needs a reference in local 1, which holds a return address"},
        // jsr S at 2 and at 5 on one path: each return comes back to its own caller.
        {"one subroutine called twice on one path",
         {0x01, 0x11, 0x71, 0x00, 0x07, 0x71, 0x00, 0x04, 0x7A, 0x2C, 0x72, 0x01},
         nullptr},
        // Local 2 holds a short at the first jsr and a reference at the second;
        // the subroutine never touches it, so each caller keeps its own.
        {"a local the subroutine leaves comes back from its caller",
         {0x01, 0x13, 0x03, 0x31, 0x71, 0x00, 0x0D, 0x1E, 0x3B, 0x18,
          0x2D, 0x71, 0x00, 0x06, 0x1A, 0x3B, 0x7A, 0x2C, 0x72, 0x01},
         nullptr},
        // new short[1], then baload or bastore on it.
        {"baload on a short array",
         {0x02, 0x11, 0x04, 0x90, 0x0C, 0x03, 0x25, 0x3B, 0x7A},
         "baload at 7 needs a byte[] or boolean[] on the stack, where there is a short[]"},
        {"bastore on a short array",
         {0x03, 0x11, 0x04, 0x90, 0x0C, 0x03, 0x03, 0x38, 0x7A},
         "bastore at 8 needs a byte[] or boolean[] on the stack, where there is a short[]"},
        {"baload on a byte array", {0x02, 0x11, 0x04, 0x90, 0x0B, 0x03, 0x25, 0x3B, 0x7A}, nullptr},
        {"an int popped word by word", {0x02, 0x10, 0x0A, 0x3B, 0x3B, 0x7A}, "pop at 4 would cut an int"},
        {"an int popped whole", {0x02, 0x10, 0x0A, 0x3C, 0x7A}, nullptr},
        {"dup_x puts its copy under the word below",
         {0x03, 0x11, 0x04, 0x18, 0x3F, 0x12, 0x3B, 0x3B, 0x30, 0x7A},
         "sstore_1 at 9 needs a short on the stack, where there is a reference"},
        {"swap_x trades the top words", {0x02, 0x11, 0x04, 0x18, 0x40, 0x11, 0x30, 0x3B, 0x7A}, nullptr},
        {"stack heights that differ where two ways meet",
         {0x01, 0x10, 0x03, 0x60, 0x04, 0x04, 0x00, 0x7A},
         "the stack holds 0 words at 8 one way in and 1 another"},
        {"a local that holds a short one way and a reference the other",
         {0x01, 0x11, 0x03, 0x60, 0x06, 0x04, 0x30, 0x70, 0x04, 0x18, 0x2C, 0x1D, 0x3B, 0x7A},
         "sload_1 at 12 needs a short in local 1, which holds nothing usable"},
        {"max_stack below what the code needs",
         {0x01, 0x10, 0x04, 0x04, 0x3B, 0x3B, 0x7A},
         "sconst_1 at 4 would put 2 words on the stack, past the header's max_stack of 1"},
        {"a method that runs off its end", {0x01, 0x10, 0x00}, "nop at 3 runs off the end of the method"},
        {"more arguments than its type takes",
         {0x01, 0x20, 0x7A},
         "the header gives 2 argument words, but the method's type takes 1"},
        // new C, dup, C's constructor, pop, return.
        {"a new object initialised",
         {0x02, 0x10, 0x8F, 0x00, 0x00, 0x3D, 0x8C, 0x00, 0x01, 0x3B, 0x7A},
         nullptr,
         {4, 8}},
        {"a new object thrown before its constructor runs",
         {0x01, 0x11, 0x8F, 0x00, 0x00, 0x2C, 0x19, 0x93},
         "athrow at 8 needs a reference on the stack, where there is an object of",
         {4}},
        {"a new object kept across a backward branch",
         {0x01, 0x11, 0x8F, 0x00, 0x00, 0x2C, 0x70, 0xFC},
         "goto at 7 branches back to 3 while an object of",
         {4}},
        {"a constructor that calls its superclass's", {0x01, 0x10, 0x18, 0x8C, 0x00, 0x01, 0x7A}, nullptr, {5}, 0x81},
        {"an interface call on a class",
         {0x01, 0x10, 0x18, 0x8E, 0x01, 0x00, 0x02, 0x00, 0x7A},
         "invokeinterface at 4 calls a method of class token 0, which is a class, not an interface",
         {6}},
        {"a constructor that never calls its superclass's",
         {0x01, 0x10, 0x7A},
         "return at 3 returns from a constructor before it calls its superclass's constructor",
         {},
         0x81},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto entries = CapRecipe{.method = c.method,
                                       .methodFlags = c.flags,
                                       .pool = !c.poolIndexes.empty(),
                                       .poolIndexPlaces = c.poolIndexes}
                                 .entries();
        const auto error = convert(capFile(entries));
        if (c.finding == nullptr) {
            EXPECT_FALSE(error) << *error;
            continue;
        }
        EXPECT_THAT(error.value_or("accepted"), ::testing::HasSubstr(c.finding));
        // The window puts the finding on the method's row and on its instruction's.
        const LoadFile inspected = inspectInput(readInput(dir.file("card.cap")), archive);
        const auto rows = structureOf(inspected);
        const auto classes = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r.label == "Classes"; });
        ASSERT_NE(classes, rows.end());
        const StructureRow& method = classes->children.at(0).children.at(0);
        EXPECT_THAT(method.findings, ::testing::ElementsAre(::testing::HasSubstr(c.finding)));
        // "sload_1 at 12 needs ...": the row of the instruction at 12 alone.
        const std::string text = c.finding;
        const auto at = text.find(" at ");
        if (at == std::string::npos || text.find(' ') < at)
            continue;
        const std::string label = text.substr(at + 4, text.find(' ', at + 4) - at - 4) + ": " + text.substr(0, at);
        for (const auto& row : listingOf(inspected, method.classIndex, method.methodIndex))
            EXPECT_EQ(row.findings.empty(), !row.label.starts_with(label)) << row.label;
    }
}

// --dump --types shows the verifier's types before each instruction: what
// the stack holds, then each usable local.
TEST_F(LoadFileConversion, TheTypesShownBeforeEachInstruction)
{
    // this in local 0, a short stored in local 1, a new byte[1] read at 0.
    const auto entries =
        CapRecipe{.method = {0x02, 0x12, 0x03, 0x30, 0x04, 0x90, 0x0B, 0x03, 0x25, 0x3B, 0x7A}}.entries();
    LoadFileReport dump(report, true, true);
    ASSERT_EQ(run([&] {
                  convertToLoadFile(writeCap("card.cap", capFile(entries)), {}, LoadFileAction::Check, dump, archive);
              }),
              std::nullopt);
    // Each instruction with the types before it, as the report's two lines show them.
    const std::string text = reportText();
    for (const char* shown : {
             "      stack: | locals: 0 class token 0\n   3: sconst_0\n",
             "      stack: short | locals: 0 class token 0\n   4: sstore_1\n",
             "      stack: | locals: 0 class token 0, 1 short\n   5: sconst_1\n",
             "      stack: byte[], short | locals: 0 class token 0, 1 short\n   9: baload\n",
         })
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
}

TEST_F(LoadFileConversion, TheJavaCardItNeedsAgainstTheTarget)
{
    const ByteVector framework{0xA0, 0x00, 0x00, 0x00, 0x62, 0x01, 0x01};
    const struct {
        std::uint8_t frameworkMinor;
        const char* target;
        std::optional<std::string> refusal;
    } cases[] = {
        {6, "3.0.4", "javacard.framework 1.6 needs Java Card 3.0.5; the target is 3.0.4"},
        {6, "3.0.5", std::nullopt},
        {6, "3.1", std::nullopt},
        {5, "3.0.4", std::nullopt},
        {8, "3.0.5", "javacard.framework 1.8 needs Java Card 3.1; the target is 3.0.5"},
        {3, "2.2.1", "javacard.framework 1.3 needs Java Card 2.2.2; the target is 2.2.1"},
        {7, "2.1.1", std::nullopt}, // a version no release is known for
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frameworkMinor) + " for " + c.target);
        const auto cap = capFile(CapRecipe{.imports = {framework}, .importMinor = c.frameworkMinor}.entries());
        LoadFileOptions options;
        options.target = c.target;
        EXPECT_EQ(convert(cap, options), c.refusal);
    }
    ASSERT_FALSE(convert(capFile(CapRecipe{.imports = {framework}, .importMinor = 6}.entries())));
    EXPECT_NE(reportText().find(" Import: A0000000620101 1.6 javacard.framework\n Requires: Java Card 3.0.5, "
                                "GlobalPlatform (unknown)\n"),
              std::string::npos)
        << reportText();
}

TEST_F(LoadFileConversion, CheckWritesNothing)
{
    const auto path = writeCap("card.cap", capFile(CapRecipe{}.entries()));
    writeFile(dir.file("card.ijc"), bytesOf("kept"));
    ASSERT_FALSE(run([&] { convertToLoadFile(path, {}, LoadFileAction::Check, report, archive); }));
    EXPECT_EQ(ijc(), bytesOf("kept"));
    EXPECT_NE(reportText().find(" Checked only: no file written\n"), std::string::npos);
}

} // namespace
} // namespace tolvane
