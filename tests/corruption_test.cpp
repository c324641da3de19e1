// Real CAP files spoiled in place, one reference at a time, every size left
// as it was: the framing still holds, and only the checks of the components
// against one another can tell. Each is refused naming the component.

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/cap/component.h"
#include "core/cap/load_file.h"
#include "core/cap/package.h"
#include "core/zip/archive.h"
#include "test_support.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace tolvane {
namespace {

using namespace testing;

std::vector<CapEntry> entriesOf(const std::string& path)
{
    ZipArchive archive;
    archive.open(path);
    std::vector<CapEntry> entries;
    for (std::int64_t i = 0; i < archive.entryCount(); ++i) {
        EntryStream stream;
        archive.extract(i, stream);
        entries.push_back({archive.entryName(i), {stream.begin(), stream.end()}, std::nullopt});
    }
    return entries;
}

// The bytes of a component's entry, by its file name, and where its content begins.
struct Place {
    std::vector<std::uint8_t>* bytes = nullptr;
    std::size_t content = 3;
    std::uint8_t& at(std::size_t offset) { return (*bytes)[content + offset]; }
};

Place componentOf(std::vector<CapEntry>& entries, const char* name)
{
    for (auto& entry : entries)
        if (upperAscii(entryBaseName(entry.name)) == upperAscii(name))
            return {&entry.bytes};
    return {};
}

// Changes one reference of `entries`, guided by the decoded package; false
// where the package has nothing of the kind.
using Spoil = std::function<bool(const cap::Package&, std::vector<CapEntry>&)>;

const cap::Method* firstMethodWith(const cap::Package& p, const std::function<bool(const cap::Instruction&)>& wanted,
                                   const cap::Instruction** found)
{
    for (const auto& cls : p.classes)
        for (const auto& method : cls.methods)
            for (const auto& in : method.instructions)
                if (wanted(in)) {
                    *found = &in;
                    return &method;
                }
    return nullptr;
}

TEST(Corpus, ReferencesSpoiledInPlaceAreRefusedNamingTheirComponent)
{
    const char* files[] = {"JCAlgTest__JavaPurse.cap", "Satocash-Applet__Satocash.cap",
                           "javacard-express__oracle-TestApplet-jc310.cap", "JCAlgTest__wallet.cap"};
    const struct {
        const char* name;
        const char* component; // the entry the refusal names
        const char* field;     // what the refusal's detail names, where it is known
        Spoil spoil;
    } families[] = {
        {"constant pool tag", "ConstantPool.cap", "tag",
         [](const cap::Package&, std::vector<CapEntry>& e) {
             componentOf(e, "ConstantPool.cap").at(2) = 7;
             return true;
         }},
        {"external package token", "ConstantPool.cap", "class reference",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             for (std::size_t i = 0; i < p.pool.size(); ++i)
                 if (p.pool[i].kind <= 4 && p.pool[i].classRef.external()) {
                     componentOf(e, "ConstantPool.cap").at(2 + 4 * i + 1) = 0xFF;
                     return true;
                 }
             return false;
         }},
        {"internal class reference", "ConstantPool.cap", "class reference",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             for (std::size_t i = 0; i < p.pool.size(); ++i)
                 if (p.pool[i].kind <= 4 && !p.pool[i].classRef.external()) {
                     componentOf(e, "ConstantPool.cap").at(2 + 4 * i + 2) += 1;
                     return true;
                 }
             return false;
         }},
        {"internal static method", "ConstantPool.cap", "static method reference",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             for (std::size_t i = 0; i < p.pool.size(); ++i)
                 if (p.pool[i].kind == 6 && !p.pool[i].staticRef.external()) {
                     componentOf(e, "ConstantPool.cap").at(2 + 4 * i + 3) += 1;
                     return true;
                 }
             return false;
         }},
        {"super class", "Class.cap", "super class",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             for (const auto& entry : p.classEntries)
                 if (!entry.isInterface) {
                     componentOf(e, "Class.cap").at(entry.offset + 1) = 0;
                     componentOf(e, "Class.cap").at(entry.offset + 2) = 1;
                     return true;
                 }
             return false;
         }},
        {"undefined opcode", "Method.cap", "opcode",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             const cap::Instruction* in = nullptr;
             if (!firstMethodWith(
                     p, [](const cap::Instruction&) { return true; }, &in))
                 return false;
             componentOf(e, "Method.cap").at(in->offset) = 0xFE;
             return true;
         }},
        {"branch into an instruction", "Method.cap", "branch target",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             const cap::Instruction* in = nullptr;
             if (!firstMethodWith(
                     p, [](const cap::Instruction& i) { return i.opcode >= 0x60 && i.opcode <= 0x70; }, &in))
                 return false;
             componentOf(e, "Method.cap").at(in->offset + 1) = 1; // the branch's own operand
             return true;
         }},
        {"constant pool index of the wrong kind", "Method.cap", "constant pool index",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             const cap::Instruction* in = nullptr;
             if (!firstMethodWith(
                     p, [](const cap::Instruction& i) { return i.opcode == 0x8B; }, &in))
                 return false;
             for (std::size_t i = 0; i < p.pool.size(); ++i)
                 if (p.pool[i].kind == 1) {
                     componentOf(e, "Method.cap").at(in->poolIndexPlace) = static_cast<std::uint8_t>(i >> 8);
                     componentOf(e, "Method.cap").at(in->poolIndexPlace + 1) = static_cast<std::uint8_t>(i);
                     return true;
                 }
             return false;
         }},
        {"handler outside its method", "Method.cap", "handler offset",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             if (p.handlers.empty())
                 return false;
             componentOf(e, "Method.cap").at(p.handlers[0].place + 4) = 0;
             componentOf(e, "Method.cap").at(p.handlers[0].place + 5) = 0;
             return true;
         }},
        // The count also says where the type descriptors begin: the refusal
        // may name either.
        {"Descriptor's constant pool count", "Descriptor.cap", "",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             std::size_t at = 1;
             for (const auto& cls : p.classes)
                 at += 9 + 2 * cls.interfaces.size() + 7 * cls.fields.size() + 12 * cls.methods.size();
             componentOf(e, "Descriptor.cap").at(at + 1) ^= 1;
             return true;
         }},
        {"install method offset", "Applet.cap", "install method offset",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             if (p.applets.empty())
                 return false;
             componentOf(e, "Applet.cap").at(2 + p.applets[0].aid.size() + 1) += 1;
             return true;
         }},
        {"reference locations", "RefLocation.cap", "offsets to byte",
         [](const cap::Package& p, std::vector<CapEntry>& e) {
             Place place = componentOf(e, "RefLocation.cap");
             const std::size_t first = p.byteIndexes.empty() ? 2 + 2 + (place.at(0) << 8 | place.at(1)) : 2;
             if (place.at(first) >= 254)
                 return false;
             place.at(first) += 1;
             return true;
         }},
        {"static image size", "StaticField.cap", "image size",
         [](const cap::Package&, std::vector<CapEntry>& e) {
             componentOf(e, "StaticField.cap").at(1) ^= 1;
             return true;
         }},
    };
    std::map<std::string, int> refused;
    int filesRead = 0;
    for (const char* file : files) {
        const auto path = (corpusDir() / "cap" / file).string();
        if (!exists(path))
            continue;
        ++filesRead;
        const auto original = entriesOf(path);
        const LoadFile sound = makeLoadFile(original, {}, path);
        ASSERT_TRUE(sound.package);
        for (const auto& family : families) {
            SCOPED_TRACE(std::string(file) + ": " + family.name);
            auto entries = original;
            if (!family.spoil(*sound.package, entries))
                continue;
            try {
                makeLoadFile(entries, {}, path);
                ADD_FAILURE() << "not refused";
            } catch (const Error& error) {
                EXPECT_EQ(error.kind(), ErrorKind::NotLoadable);
                EXPECT_EQ(std::string(entryBaseName(error.entry())), family.component) << error.what();
                EXPECT_NE(error.detail().find(family.field), std::string::npos) << error.what();
                ++refused[family.name];
            }
        }
    }
    if (filesRead == 0) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
            FAIL() << "no corpus at " << corpusDir() << ", which CI requires";
        GTEST_SKIP() << "no corpus at " << corpusDir();
    }
    // Every family met at least one file it could spoil.
    for (const auto& family : families)
        EXPECT_GT(refused[family.name], 0) << family.name;
}

} // namespace
} // namespace tolvane
