// Export files, written by our own writer (never an SDK's): read back in each
// format, refused where spoiled, found on a path by AID and version, and
// held against a real CAP file's references, each row a fault to catch.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "core/exp/compare.h"
#include "core/exp/export_file.h"
#include "core/exp/export_path.h"
#include "core/exp/links.h"
#include "core/report/dump.h"
#include "core/zip/archive.h"
#include "corpus_support.h"
#include "test_support.h"

#include <functional>
#include <gtest/gtest.h>
#include <set>

namespace tolvane {
namespace {

using namespace testing;
using exp::ExportFile;

ExportFile framework(unsigned minor)
{
    ExportFile file;
    file.package = {"javacard/framework", *bytesFromHex("A0000000620101"), 1, minor, 1};
    exp::Class apdu{10, exp::accPublic | exp::accFinal, "javacard/framework/APDU", {"java/lang/Object"}, {}, {}, {},
                    {}};
    apdu.methods.push_back({1, exp::accPublic, "getBuffer", "()[B", {}});
    apdu.fields.push_back({0xFF, exp::accPublic | exp::accStatic | exp::accFinal, "PROTOCOL_T0", "B", 0});
    exp::Class shareable{4, exp::accPublic | exp::accInterface, "javacard/framework/Shareable", {}, {}, {}, {}, {}};
    file.classes = {apdu, shareable};
    return file;
}

std::string refusalOf(const std::vector<std::uint8_t>& bytes)
{
    try {
        (void)exp::readExportFile(bytes, "f.exp");
    } catch (const Error& error) {
        return error.message();
    }
    return "read";
}

TEST(ExportFile, WhatIsWrittenReadsBackInEachFormat)
{
    for (const unsigned format : {1u, 2u, 3u}) {
        SCOPED_TRACE(format);
        ExportFile file = framework(3);
        file.formatMinor = format;
        if (format == 3) {
            file.referenced.push_back({"java/lang", *bytesFromHex("A0000000620001"), 1, 0, 1});
            file.classes[0].inheritableMethods = 2;
        }
        const ExportFile back = exp::readExportFile(exp::writeExportFile(file), "f.exp");
        EXPECT_EQ(back.formatMinor, format);
        EXPECT_EQ(back.package.text(), "javacard.framework 1.3");
        EXPECT_EQ(back.package.aid, file.package.aid);
        ASSERT_EQ(back.referenced.size(), file.referenced.size());
        ASSERT_EQ(back.classes.size(), 2u);
        const exp::Class& apdu = back.classes[0];
        EXPECT_EQ(apdu.name, "javacard/framework/APDU");
        EXPECT_EQ(apdu.supers, std::vector<std::string>{"java/lang/Object"});
        EXPECT_TRUE(apdu.isFinal());
        EXPECT_TRUE(back.classes[1].isInterface());
        EXPECT_EQ(apdu.inheritableMethods, file.classes[0].inheritableMethods);
        ASSERT_NE(apdu.method(1, false), nullptr);
        EXPECT_EQ(apdu.method(1, false)->descriptor, "()[B");
        EXPECT_EQ(apdu.method(1, true), nullptr) << "a virtual method is no static one";
        EXPECT_EQ(apdu.field(0xFF, true), nullptr) << "a constant is never found by token";
        EXPECT_EQ(apdu.fields[0].value, 0);
    }
}

TEST(ExportFile, ASpoiledFileIsRefusedNamingTheOffsetAndWhat)
{
    const auto written = exp::writeExportFile(framework(3));
    // The pool begins at 8: the package's name (Utf8, 18 bytes), then the
    // Package entry, whose AID length is its seventh byte.
    ASSERT_EQ(written[8], 1);
    ASSERT_EQ(written[29], 13);
    const struct {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> spoil;
        const char* said;
    } cases[] = {
        {"no magic", [](auto& b) { b[1] = 0xFB; }, "at offset 0: no export file"},
        {"a format it does not know", [](auto& b) { b[4] = 4; }, "at offset 4: format 2.4"},
        {"an unknown pool tag", [](auto& b) { b[8] = 2; }, "at offset 8: constant pool entry 0 has tag 2"},
        {"an AID too short", [](auto& b) { b[35] = 4; }, "at offset 35: constant pool entry 1 has an AID of 4 bytes"},
        {"cut short", [](auto& b) { b.resize(b.size() - 3); }, "(the file ends early)"},
        {"bytes after the last class", [](auto& b) { b.push_back(0); }, "1 bytes follow the last class"},
        {"a pool count past the pool", [](auto& b) { b[6] = 0x40; }, "constant pool entry 14 has tag 0"},
        {"this package names no Package entry",
         [](auto& b) {
             // Without classes, this package's index is the file's last but one two bytes.
             ExportFile bare = framework(3);
             bare.classes.clear();
             b = exp::writeExportFile(bare);
             b[b.size() - 2] = 0;
         },
         "this package is constant pool entry 0, which is no Package entry"},
        {"this package one past the pool's last entry",
         [](auto& b) {
             ExportFile bare = framework(3);
             bare.classes.clear();
             b = exp::writeExportFile(bare);
             b[b.size() - 3] = b[6], b[b.size() - 2] = b[7]; // the index: the pool's count
         },
         ", and the pool has "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = written;
        c.spoil(bytes);
        const std::string said = refusalOf(bytes);
        EXPECT_NE(said.find("Export file \"f.exp\""), std::string::npos) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

TEST(ExportPath, ThePackageIsFoundByAidAndVersionInFoldersAndArchives)
{
    TempDir dir;
    const auto place = [&](const std::string& folder, unsigned minor) {
        std::filesystem::create_directories(dir.path() / folder / "javacard/framework/javacard");
        writeFile((dir.path() / folder / "javacard/framework/javacard/framework.exp").string(),
                  exp::writeExportFile(framework(minor)));
    };
    place("sdk13", 3);
    place("sdk15", 5);
    // An archive of two releases, as an SDK's tools.jar keeps them.
    writeFile(
        dir.file("tools.jar"),
        buildZip(
            {{"api_export_files_3.0.4/javacard/framework/javacard/framework.exp", exp::writeExportFile(framework(5))},
             {"api_export_files_3.0.5/javacard/framework/javacard/framework.exp", exp::writeExportFile(framework(5))},
             {"api_export_files_3.1.0/javacard/framework/javacard/framework.exp",
              exp::writeExportFile(framework(8))}}));
    const auto aid = *bytesFromHex("A0000000620101");
    const struct {
        const char* name;
        std::vector<std::string> path;
        unsigned major, minor;
        const char* found; // the source chosen, or nullptr
        int older;         // the older minor version found instead, or -1
    } cases[] = {
        {"the same version", {dir.file("sdk13")}, 1, 3, "sdk13/", -1},
        {"the nearest newer minor of a colon list", {dir.file("sdk15") + ":" + dir.file("sdk13")}, 1, 2, "sdk13/", -1},
        {"a newer minor where the imported one is missing", {dir.file("sdk15")}, 1, 4, "sdk15/", -1},
        {"only an older minor", {dir.file("sdk13")}, 1, 4, nullptr, 3},
        {"another major version", {dir.file("sdk13")}, 2, 0, nullptr, -1},
        {"the newest release of those with the version", {dir.file("tools.jar")}, 1, 5, "api_export_files_3.0.5", -1},
        {"a folder and an archive", {dir.file("sdk13"), dir.file("tools.jar")}, 1, 6, "api_export_files_3.1.0", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const exp::ExportPath path(c.path);
        const auto lookup = path.find(aid, c.major, c.minor);
        EXPECT_TRUE(path.problems().empty());
        ASSERT_EQ(lookup.found.has_value(), c.found != nullptr);
        if (c.found != nullptr) {
            EXPECT_NE(lookup.found->source.find(c.found), std::string::npos) << lookup.found->source;
        }
        EXPECT_EQ(lookup.older ? static_cast<int>(lookup.older->minor) : -1, c.older);
    }
    // A file that cannot be read is said, and the others still serve.
    std::filesystem::create_directories(dir.path() / "bad/javacard/framework/javacard");
    writeFile(dir.file("bad/javacard/framework/javacard/framework.exp"), {0x00, 0xFA});
    const exp::ExportPath spoiled({dir.file("bad"), dir.file("sdk13")});
    EXPECT_TRUE(spoiled.find(aid, 1, 3).found);
    ASSERT_EQ(spoiled.problems().size(), 1u);
    EXPECT_NE(spoiled.problems()[0].find("framework.exp"), std::string::npos);
}

TEST(CompareExp, EachKindOfBreakIsFound)
{
    ExportFile older = framework(3);
    exp::Class util{2, exp::accPublic, "javacard/framework/Util", {"java/lang/Object"}, {}, {}, {}, {}};
    util.methods.push_back({0, exp::accPublic | exp::accStatic, "arrayCopy", "([BS[BSS)S", {}});
    util.fields.push_back({0xFF, exp::accPublic | exp::accStatic | exp::accFinal, "MAX", "S", 16});
    older.classes.push_back(util);
    older.classes[1].methods.push_back({0, exp::accPublic | exp::accAbstract, "share", "()V", {}});
    const auto method = [](ExportFile& f) -> exp::Member& { return f.classes[2].methods[0]; };
    const struct {
        const char* name;
        std::function<void(ExportFile&)> change;
        const char* said; // nullptr: NEW may replace OLD
    } cases[] = {
        {"a later minor version that adds a class",
         [](ExportFile& f) {
             f.classes.push_back({9, exp::accPublic, "javacard/framework/New", {}, {}, {}, {}, {}});
         },
         nullptr},
        {"the same minor version", [](ExportFile& f) { f.package.minor = 3; }, "not higher than 3"},
        {"another major version", [](ExportFile& f) { f.package.major = 2; }, "the major version changed"},
        {"a class gone", [](ExportFile& f) { f.classes.erase(f.classes.begin() + 2); },
         "javacard.framework.Util is gone"},
        {"a class's token", [](ExportFile& f) { f.classes[2].token = 7; }, "Util has token 7, not 2"},
        {"a class made final", [](ExportFile& f) { f.classes[2].flags |= exp::accFinal; }, "Util is final now"},
        {"a method's token", [&](ExportFile& f) { method(f).token = 3; }, "arrayCopy([BS[BSS)S has token 3, not 0"},
        {"a method's type", [&](ExportFile& f) { method(f).descriptor = "([BS[BS)S"; }, "is gone, or its type changed"},
        {"a method less open", [&](ExportFile& f) { method(f).flags = exp::accProtected | exp::accStatic; },
         "was public and is now protected"},
        {"a method made final", [&](ExportFile& f) { method(f).flags |= exp::accFinal; },
         "arrayCopy([BS[BSS)S is final now"},
        {"a static method made virtual", [&](ExportFile& f) { method(f).flags = exp::accPublic; }, "was static"},
        {"a constant's value", [](ExportFile& f) { f.classes[2].fields[0].value = 17; }, "value changed from 16 to 17"},
        {"a method added to an interface",
         [](ExportFile& f) {
             f.classes[1].methods.push_back({1, exp::accPublic | exp::accAbstract, "more", "()V", {}});
         },
         "Shareable.more()V is added to an interface"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExportFile newer = older;
        newer.package.minor = 4;
        c.change(newer);
        std::string said;
        for (const auto& line : exp::replacementBreaks(older, newer))
            said += line + "\n";
        if (c.said == nullptr) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
        }
    }
}

TEST(Dump, AReferenceToAnImportedPackageIsNamedFromItsExportFile)
{
    // javacard.security's ECPrivateKey, as an export file of the test's own tells it.
    auto security = std::make_shared<ExportFile>();
    security->package = {"javacard/security", {0xA0, 0, 0, 0, 0x62, 0x01, 0x02}, 1, 3, 1};
    security->classes.push_back(
        {7, exp::accPublic | exp::accInterface, "javacard/security/ECPrivateKey", {}, {}, {}, {}});
    security->classes[0].methods.push_back({19, exp::accPublic | exp::accAbstract, "getS", "([BS)S", {}});
    security->classes[0].methods.push_back({3, exp::accPublic | exp::accAbstract, "getA", "([BS)S", {}});
    cap::Package package;
    package.imports.push_back({});
    cap::PoolEntry interface; // class reference: package 0, class token 7
    interface.kind = 1;
    interface.classRef.raw = 0x8007;
    package.pool.push_back(interface);
    const ImportedExports exports{security};
    const struct {
        const char* name;
        std::uint8_t opcode;
        std::vector<std::int32_t> operands;
        const char* shown;
    } cases[] = {
        {"invokeinterface names the interface's method",
         0x8E,
         {3, 0, 19},
         "3 0 19 (javacard.security.ECPrivateKey.getS([BS)S)"},
        {"another token, another method", 0x8E, {3, 0, 3}, "3 0 3 (javacard.security.ECPrivateKey.getA([BS)S)"},
        {"a token the interface lacks leaves the interface",
         0x8E,
         {3, 0, 20},
         "3 0 20 (javacard.security.ECPrivateKey)"},
        {"checkcast names the class", 0x94, {14, 0}, "14 0 (javacard.security.ECPrivateKey)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cap::Instruction in;
        in.opcode = c.opcode;
        for (const auto operand : c.operands)
            in.operands.push_back(operand);
        in.poolIndex = 0;
        EXPECT_EQ(operandText(package, in, exports), c.shown);
    }
}

TEST(Links, ALibrarysOwnExportFileAgreesWithItsExportComponent)
{
    const auto path = (corpusDir() / "cap" / "openjavacard-tools__openjavacard-lib-debug.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    const LoadFile file = makeLoadFile(corpusEntries(path), {}, path);
    const cap::Package& package = *file.package;
    ASSERT_FALSE(package.exports.empty());
    // What Export offers, by the tokens the Descriptor gives it.
    ExportFile own;
    own.package = {"lib", *bytesFromHex(file.packageAid), file.packageMajor, file.packageMinor, 1};
    for (const auto& listed : package.exports)
        for (const auto& cls : package.classes)
            if (!cls.thisRef->external() && cls.thisRef->offset() == listed.classOffset) {
                exp::Class made{cls.token, exp::accPublic, "lib/C" + std::to_string(cls.token), {}, {}, {}, {}, {}};
                for (const auto& method : cls.methods)
                    if ((method.flags & 0x08) != 0)
                        made.methods.push_back({method.token, exp::accPublic | exp::accStatic, "s", "()V", {}});
                own.classes.push_back(made);
            }
    ASSERT_FALSE(own.classes.empty());
    const exp::OwnPackage identity{own.package.aid, own.package.major, own.package.minor};
    const struct {
        const char* name;
        std::function<void(ExportFile&)> spoil;
        const char* found;
    } cases[] = {
        {"as built", [](ExportFile&) {}, nullptr},
        {"a class token Export lacks", [](ExportFile& f) { f.classes[0].token = 0x7F; }, "which Export does not list"},
        {"a static method token Export lacks",
         [](ExportFile& f) {
             for (auto& cls : f.classes)
                 if (!cls.methods.empty()) {
                     cls.methods[0].token = 0x7F;
                     return;
                 }
         },
         "as static method 127, which Export does not list with that token"},
        {"another version of the package", [](ExportFile& f) { f.package.minor += 1; }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExportFile spoiled = own;
        c.spoil(spoiled);
        TempDir dir;
        std::filesystem::create_directories(dir.path() / "lib/javacard");
        writeFile(dir.file("lib/javacard/lib.exp"), exp::writeExportFile(spoiled));
        std::string said;
        for (const auto& finding : exp::checkLinks(package, exp::ExportPath({dir.path().string()}), identity).faults)
            said += finding.text() + "\n";
        if (c.found == nullptr) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(c.found), std::string::npos) << said;
        }
    }
}

TEST(ToExp, APackageWithDebugWritesAnExportFileThatReadsBackAndChecksItClean)
{
    const auto path = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    const auto entries = corpusEntries(path);
    const LoadFile file = makeLoadFile(entries, {}, path);
    const ExportFile made = exp::exportFileOf(file);
    const ExportFile back = exp::readExportFile(exp::writeExportFile(made), "made.exp");
    EXPECT_EQ(back.package.text(), "com.esec.u2ftoken 1.0");
    // The applet's class by its Debug name, with the token the Descriptor
    // gives its process method, and its constants by value.
    const exp::Class* applet = back.classByName("com/esec/u2ftoken/U2FToken");
    ASSERT_NE(applet, nullptr);
    EXPECT_EQ(applet->supers, (std::vector<std::string>{"javacard/framework/Applet", "java/lang/Object"}));
    const auto process = std::find_if(applet->methods.begin(), applet->methods.end(),
                                      [](const exp::Member& m) { return m.name == "process"; });
    ASSERT_NE(process, applet->methods.end());
    EXPECT_EQ(process->descriptor, "(Ljavacard/framework/APDU;)V");
    EXPECT_EQ(process->token, 7u) << "Applet's seven virtual methods come first";
    // Every class is one of the file's public ones, each once.
    std::set<unsigned> tokens;
    for (const auto& cls : back.classes)
        EXPECT_TRUE(tokens.insert(cls.token).second) << cls.name;
    // Without Debug, nothing names the members: refused.
    auto stripped = entries;
    std::erase_if(stripped, [](const CapEntry& e) { return e.name.ends_with("Debug.cap"); });
    EXPECT_THROW((void)exp::exportFileOf(makeLoadFile(stripped, {}, path)), Error);
}

TEST(Links, EachReferenceIsHeldAgainstItsExportFile)
{
    const auto path = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    const auto entries = corpusEntries(path);
    const auto package = makeLoadFile(entries, {}, path).package;
    ASSERT_TRUE(package);
    const auto meeting = exportsMeeting(*package);
    // The first external virtual method the file calls, and the class of its
    // superclass.
    const auto virtualCall = std::find_if(package->pool.begin(), package->pool.end(),
                                          [](const cap::PoolEntry& e) { return e.kind == 3 && e.classRef.external(); });
    ASSERT_NE(virtualCall, package->pool.end());
    const unsigned callPackage = virtualCall->classRef.package(), callClass = virtualCall->classRef.token();
    const auto calledClass = [&](std::vector<ExportFile>& files) -> exp::Class& {
        for (auto& cls : files[callPackage].classes)
            if (cls.token == callClass)
                return cls;
        throw std::logic_error("no class");
    };
    const auto extending =
        std::find_if(package->classEntries.begin(), package->classEntries.end(),
                     [](const cap::ClassEntry& c) { return c.superClass && c.superClass->value.external(); });
    ASSERT_NE(extending, package->classEntries.end());
    const auto& super = extending->superClass;

    const struct {
        const char* name;
        std::function<void(std::vector<ExportFile>&)> spoil;
        const char* found; // nullptr: nothing
    } cases[] = {
        {"the export files the file was built against", [](auto&) {}, nullptr},
        {"a method the imported release lacks",
         [&](auto& files) {
             auto& methods = calledClass(files).methods;
             methods.erase(std::find_if(methods.begin(), methods.end(),
                                        [&](const exp::Member& m) { return m.token == virtualCall->token; }));
         },
         "has no virtual method"},
        {"a static method the imported release lacks",
         [&](auto& files) {
             const auto call = std::find_if(package->pool.begin(), package->pool.end(), [](const cap::PoolEntry& e) {
                 return e.kind == 6 && e.staticRef.external();
             });
             ASSERT_NE(call, package->pool.end());
             for (auto& cls : files[call->staticRef.package()].classes)
                 if (cls.token == call->staticRef.classToken())
                     std::erase_if(cls.methods, [&](const exp::Member& m) {
                         return m.token == call->staticRef.token() && (m.flags & exp::accStatic) != 0;
                     });
         },
         "has no static method"},
        {"a virtual method that is static there",
         [&](auto& files) {
             for (auto& m : calledClass(files).methods)
                 if (m.token == virtualCall->token)
                     m.flags |= exp::accStatic;
         },
         "has no virtual method"},
        {"a type the file records otherwise",
         [&](auto& files) {
             for (auto& m : calledClass(files).methods)
                 if (m.token == virtualCall->token)
                     m.descriptor = "(SSSSSSS)V";
         },
         "and its export file gives (SSSSSSS)V"},
        {"a class the imported release lacks", [&](auto& files) { calledClass(files).token = 0xFE; },
         "has no class or interface with token"},
        {"a final superclass",
         [&](auto& files) {
             for (auto& cls : files[super->value.package()].classes)
                 if (cls.token == super->value.token())
                     cls.flags |= exp::accFinal;
         },
         "is final, and a class extends it"},
        {"an older release only",
         [&](auto& files) {
             for (std::size_t i = 0; i < files.size(); ++i)
                 if (package->imports[i].minor > 0) {
                     files[i].package.minor = package->imports[i].minor - 1;
                     return;
                 }
         },
         "the newest export file found for it is of version"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto files = meeting;
        c.spoil(files);
        TempDir dir;
        writeExports(dir.path(), files);
        const auto verdict = exp::checkLinks(*package, exp::ExportPath({dir.path().string()}));
        std::string said;
        for (const auto& finding : verdict.faults)
            said += finding.text() + "\n";
        if (c.found == nullptr) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(c.found), std::string::npos) << said;
        }
    }
    // Through the load file's checks, as --exp-path gives them: no finding,
    // and the dump names each call from the export file.
    {
        TempDir dir;
        writeExports(dir.path(), meeting);
        LoadFileOptions options;
        options.exports = std::make_shared<const exp::ExportPath>(std::vector<std::string>{dir.path().string()});
        const LoadFile linked = makeLoadFile(entries, options, path);
        EXPECT_TRUE(linked.findings.empty());
        const std::string call = "p" + std::to_string(callPackage) + ".C" + std::to_string(callClass) + ".m" +
                                 std::to_string(virtualCall - package->pool.begin()) + "(";
        const auto lines = dumpLines(linked);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(": invokevirtual ") != std::string::npos && line.find(" (" + call) != std::string::npos;
        })) << call;
    }
    // No export file at all: nothing found, each package said to be unchecked.
    TempDir empty;
    const auto unchecked = exp::checkLinks(*package, exp::ExportPath({empty.path().string()}));
    EXPECT_TRUE(unchecked.faults.empty());
    EXPECT_EQ(unchecked.notes.size(), package->imports.size());
}

} // namespace
} // namespace tolvane
