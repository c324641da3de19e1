// Real CAP files spoiled in place, one reference at a time, every size left
// as it was: the framing still holds, and only the checks of the components
// against one another can tell. Each is refused naming the component.

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/cap/component.h"
#include "core/cap/load_file.h"
#include "core/cap/package.h"
#include "core/checks/checks.h"
#include "core/zip/archive.h"
#include "test_support.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <map>
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

// Changes one field of `entries`, guided by the decoded package, and gives
// the field's offset in its component, which the refusal must name; nothing
// where the package has nothing of the kind.
using Spoil = std::function<std::optional<unsigned>(const cap::Package&, std::vector<CapEntry>&)>;

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

// Writes `value` big-endian over the two bytes at `place`.
unsigned put16(Place component, unsigned place, unsigned value)
{
    component.at(place) = static_cast<std::uint8_t>(value >> 8);
    component.at(place + 1) = static_cast<std::uint8_t>(value);
    return place;
}

// An offset in Class where no class or interface begins.
unsigned notAClass(const cap::Package& p)
{
    unsigned offset = 0;
    while (std::any_of(p.classEntries.begin(), p.classEntries.end(),
                       [&](const cap::ClassEntry& entry) { return entry.offset == offset; }))
        ++offset;
    return offset;
}

// An offset in Method where no method begins: inside the first one's header.
unsigned notAMethod(const cap::Package& p)
{
    for (const auto& cls : p.classes)
        for (const auto& method : cls.methods)
            if (method.defined())
                return method.offset + 1;
    return 1;
}

// The first class entry's first placed reference of `list`, if any.
template <typename Pick>
std::optional<unsigned> spoilClassRef(const cap::Package& p, std::vector<CapEntry>& e, Pick pick)
{
    for (const auto& entry : p.classEntries)
        for (const auto& ref : pick(entry))
            return put16(componentOf(e, "Class.cap"), ref.place, notAClass(p));
    return std::nullopt;
}

// Each family spoils one field that only the checks of one component against
// another can find wrong.
struct Family {
    const char* name;
    const char* component; // the entry the refusal names
    const char* field;     // what the refusal's detail names
    Spoil spoil;
};

const Family families[] = {
    {"constant pool tag", "ConstantPool.cap", "tag",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         componentOf(e, "ConstantPool.cap").at(p.pool.at(0).place) = 7;
         return p.pool[0].place;
     }},
    {"external package token", "ConstantPool.cap", "class reference",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& entry : p.pool)
             if (entry.kind <= 4 && entry.classRef.external()) {
                 componentOf(e, "ConstantPool.cap").at(entry.place + 1) = 0xFF;
                 return entry.place;
             }
         return std::nullopt;
     }},
    {"internal class reference", "ConstantPool.cap", "class reference",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& entry : p.pool)
             if (entry.kind <= 4 && !entry.classRef.external()) {
                 componentOf(e, "ConstantPool.cap").at(entry.place + 2) += 1;
                 return entry.place;
             }
         return std::nullopt;
     }},
    {"internal static method", "ConstantPool.cap", "static method reference",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& entry : p.pool)
             if (entry.kind == 6 && !entry.staticRef.external()) {
                 componentOf(e, "ConstantPool.cap").at(entry.place + 3) += 1;
                 return entry.place;
             }
         return std::nullopt;
     }},
    {"super class", "Class.cap", "super class",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& entry : p.classEntries)
             if (entry.superClass)
                 return put16(componentOf(e, "Class.cap"), entry.superClass->place, notAClass(p));
         return std::nullopt;
     }},
    {"superinterface", "Class.cap", "superinterface",
     [](const cap::Package& p, std::vector<CapEntry>& e) {
         return spoilClassRef(p, e, [](const cap::ClassEntry& c) { return c.superInterfaces; });
     }},
    {"implemented interface", "Class.cap", "implemented interface",
     [](const cap::Package& p, std::vector<CapEntry>& e) {
         return spoilClassRef(p, e, [](const cap::ClassEntry& c) { return c.implemented; });
     }},
    {"virtual method table entry", "Class.cap", "virtual method table",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& entry : p.classEntries)
             for (const auto& method : entry.publicMethods)
                 return put16(componentOf(e, "Class.cap"), method.place, notAMethod(p));
         return std::nullopt;
     }},
    {"undefined opcode", "Method.cap", "opcode",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         const cap::Instruction* in = nullptr;
         if (!firstMethodWith(
                 p, [](const cap::Instruction&) { return true; }, &in))
             return std::nullopt;
         componentOf(e, "Method.cap").at(in->offset) = 0xFE;
         return in->offset;
     }},
    {"branch into an instruction", "Method.cap", "branch target",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         const cap::Instruction* in = nullptr;
         if (!firstMethodWith(
                 p, [](const cap::Instruction& i) { return i.opcode >= 0x60 && i.opcode <= 0x70; }, &in))
             return std::nullopt;
         componentOf(e, "Method.cap").at(in->offset + 1) = 1; // the branch's own operand
         return in->offset;
     }},
    {"constant pool index of the wrong kind", "Method.cap", "constant pool index",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         const cap::Instruction* in = nullptr;
         if (!firstMethodWith(
                 p, [](const cap::Instruction& i) { return i.opcode == 0x8B; }, &in))
             return std::nullopt;
         for (std::size_t i = 0; i < p.pool.size(); ++i)
             if (p.pool[i].kind == 1) {
                 return put16(componentOf(e, "Method.cap"), in->poolIndexPlace, static_cast<unsigned>(i));
             }
         return std::nullopt;
     }},
    {"handler outside its method", "Method.cap", "handler offset",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         if (p.handlers.empty())
             return std::nullopt;
         return put16(componentOf(e, "Method.cap"), p.handlers[0].handlerOffset.place, 0);
     }},
    {"handler range", "Method.cap", "exception handler range",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         if (p.handlers.empty())
             return std::nullopt;
         put16(componentOf(e, "Method.cap"), p.handlers[0].place, 0);
         return p.handlers[0].place;
     }},
    {"catch type", "Method.cap", "catch type index",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& h : p.handlers)
             for (std::size_t i = 1; i < p.pool.size(); ++i)
                 if (h.catchType != 0 && p.pool[i].kind != 1)
                     return put16(componentOf(e, "Method.cap"), h.catchType.place, static_cast<unsigned>(i));
         return std::nullopt;
     }},
    {"overlapping methods", "Descriptor.cap", "method offset",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& cls : p.classes)
             for (const auto& method : cls.methods)
                 if (method.defined() && method.bytecodeCount > 1)
                     return put16(componentOf(e, "Descriptor.cap"), method.offset.place, method.offset + 1);
         return std::nullopt;
     }},
    {"Descriptor's constant pool count", "Descriptor.cap", "constant pool count",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         // Fewer entries than ConstantPool has, the types of the missing
         // ones read as type descriptors that fit: one of 0 nibbles each.
         if (p.descriptorPoolCount.value < 1)
             return std::nullopt;
         Place descriptor = componentOf(e, "Descriptor.cap");
         const unsigned place = p.descriptorPoolCount.place;
         put16(descriptor, place, p.descriptorPoolCount - 1);
         descriptor.at(place + 2 * p.descriptorPoolCount) = 0;
         descriptor.at(place + 2 * p.descriptorPoolCount + 1) = 0;
         return place;
     }},
    {"Descriptor's this class", "Descriptor.cap", "this class reference",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         return put16(componentOf(e, "Descriptor.cap"), p.classes.at(0).thisRef.place, notAClass(p));
     }},
    {"install method offset", "Applet.cap", "install method offset",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         if (p.applets.empty())
             return std::nullopt;
         return put16(componentOf(e, "Applet.cap"), p.applets[0].installOffset.place, notAMethod(p));
     }},
    {"Export's class offset", "Export.cap", "class offset",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         if (p.exports.empty())
             return std::nullopt;
         return put16(componentOf(e, "Export.cap"), p.exports[0].classOffset.place, notAClass(p));
     }},
    {"Export's static method offset", "Export.cap", "static method offset",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& exported : p.exports)
             for (const auto& method : exported.staticMethods)
                 return put16(componentOf(e, "Export.cap"), method.place, notAMethod(p));
         return std::nullopt;
     }},
    {"one-byte reference locations", "RefLocation.cap", "offsets to byte indices",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         const auto& offsets = p.byteIndexes.offsets;
         if (offsets.empty() || componentOf(e, "RefLocation.cap").at(offsets[0].place) >= 254)
             return std::nullopt;
         componentOf(e, "RefLocation.cap").at(offsets[0].place) += 1;
         return offsets[0].place;
     }},
    {"two-byte reference locations", "RefLocation.cap", "offsets to byte2 indices",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         const auto& offsets = p.byte2Indexes.offsets;
         if (offsets.empty() || componentOf(e, "RefLocation.cap").at(offsets[0].place) >= 254)
             return std::nullopt;
         componentOf(e, "RefLocation.cap").at(offsets[0].place) += 1;
         return offsets[0].place;
     }},
    {"static image size", "StaticField.cap", "image size",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         componentOf(e, "StaticField.cap").at(p.staticImage.imageSize.place + 1) ^= 1;
         return p.staticImage.imageSize.place;
     }},
    {"array initialisation", "StaticField.cap", "array init size",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         // One byte moved from the non-default values to the first array:
         // every size stays as it was, only the sum of the arrays changes.
         const auto& image = p.staticImage;
         if (image.arrayInitCount == 0)
             return std::nullopt;
         Place field = componentOf(e, "StaticField.cap");
         const auto be16At = [&](std::size_t at) { return unsigned(field.at(at) << 8 | field.at(at + 1)); };
         std::size_t at = image.arrayInitBytes.place; // the first array's type
         const unsigned first = be16At(at + 1);
         for (unsigned i = 0; i < image.arrayInitCount; ++i)
             at += 3 + be16At(at + 1);
         const unsigned nonDefault = be16At(at + 2); // after the default value count
         if (nonDefault == 0)
             return std::nullopt;
         put16(field, at + 2, nonDefault - 1);
         put16(field, image.arrayInitBytes.place + 1, first + 1);
         auto& bytes = *field.bytes;
         bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(field.content + at + 4));
         bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(field.content + image.arrayInitBytes.place + 3), 0);
         return image.arrayInitBytes.place;
     }},
    // Debug is never sent to a card: what is wrong in it is a warning.
    {"Debug class location", "Debug.cap", "class location",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         if (p.debugClasses.empty())
             return std::nullopt;
         return put16(componentOf(e, "Debug.cap"), p.debugClasses[0].location.place, notAClass(p));
     }},
    {"Debug method location", "Debug.cap", "method location",
     [](const cap::Package& p, std::vector<CapEntry>& e) -> std::optional<unsigned> {
         for (const auto& cls : p.debugClasses)
             for (const auto& method : cls.methods)
                 if (method.location != 0)
                     return put16(componentOf(e, "Debug.cap"), method.location.place, notAMethod(p));
         return std::nullopt;
     }},
};

std::string atOffset(unsigned offset)
{
    return " at offset " + std::to_string(offset) + ":";
}

TEST(Corpus, FieldsSpoiledInPlaceAreRefusedAtTheirOwnOffset)
{
    // Between them these hold every kind of field spoiled below: interfaces,
    // exports, array initialisation, handlers and Debug.
    const char* files[] = {"JCAlgTest__JavaPurse.cap",
                           "Satocash-Applet__Satocash.cap",
                           "javacard-express__oracle-TestApplet-jc310.cap",
                           "JCAlgTest__wallet.cap",
                           "openjavacard-tools__openjavacard-lib-debug.cap",
                           "U2FToken__u2ftoken.cap"};
    std::map<std::string, int> caught;
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
            const auto offset = family.spoil(*sound.package, entries);
            if (!offset)
                continue;
            // A refusal, or for Debug a warning, naming the entry and the
            // field at its offset.
            const bool refuses = std::string(family.component) != "Debug.cap";
            std::string entry, said;
            try {
                for (const auto& finding : makeLoadFile(entries, {}, path).findings)
                    if (said.empty() || finding.field == family.field)
                        entry = cap::componentEntryName(finding.tag), said = finding.text();
                EXPECT_FALSE(refuses) << "not refused";
            } catch (const Error& error) {
                EXPECT_TRUE(refuses) << "refused: " << error.what();
                EXPECT_EQ(error.kind(), ErrorKind::NotLoadable);
                entry = entryBaseName(error.entry()), said = error.detail();
            }
            EXPECT_EQ(entry, family.component) << said;
            EXPECT_NE(said.find(std::string(family.field) + atOffset(*offset)), std::string::npos) << said;
            ++caught[family.name];
        }
    }
    if (filesRead == 0) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
            FAIL() << "no corpus at " << corpusDir() << ", which CI requires";
        GTEST_SKIP() << "no corpus at " << corpusDir();
    }
    // Every family met at least one file it could spoil.
    for (const auto& family : families)
        EXPECT_GT(caught[family.name], 0) << family.name;
}

// A class's name in Debug with an escape sequence in it, in every mode: no
// byte of it but printable text reaches the terminal.
TEST(Corpus, NamesFromAFileReachTheTerminalWithoutControlBytes)
{
    const auto path = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    if (!exists(path)) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
            FAIL() << "no corpus at " << corpusDir() << ", which CI requires";
        GTEST_SKIP() << "no corpus at " << corpusDir();
    }
    auto entries = entriesOf(path);
    const LoadFile sound = makeLoadFile(entries, {}, path);
    ASSERT_FALSE(sound.package->debugClasses.empty());
    // The first class's name, as Debug's string pool holds it: ESC ] over its
    // third and fourth characters, C1's CSI (UTF-8) over the next two.
    const std::string name = sound.package->debugClasses[0].name;
    ASSERT_GE(name.size(), 6u);
    auto& debug = *componentOf(entries, "Debug.cap").bytes;
    const auto at = std::search(debug.begin(), debug.end(), name.begin(), name.end());
    ASSERT_NE(at, debug.end());
    at[2] = 0x1B;
    at[3] = ']';
    at[4] = 0xC2;
    at[5] = 0x9B;
    TempDir dir;
    std::vector<ZipEntry> zipped;
    for (const auto& entry : entries)
        zipped.push_back({entry.name, entry.bytes});
    writeFile(dir.file("named.cap"), buildZip(zipped));
    // The plain conversion writes named.ijc, which --to-cap reads.
    const std::vector<std::vector<std::string>> modes = {{"named.cap"},
                                                         {"--scan", "named.cap"},
                                                         {"--load-file", "named.cap"},
                                                         {"--check", "named.cap"},
                                                         {"--dump", "named.cap"},
                                                         {"--apdu", "named.cap"},
                                                         {"--dump", "--json", "named.cap"},
                                                         {"--to-cap", "-o", "out.cap", "named.ijc"}};
    for (const auto& arguments : modes) {
        const auto run = runProcess(TOLVANE_CLI, arguments, dir.path());
        SCOPED_TRACE(arguments.front());
        EXPECT_EQ(run.status, 0) << run.err;
        for (const std::string* stream : {&run.out, &run.err}) {
            for (std::size_t i = 0; i < stream->size(); ++i) {
                const auto byte = static_cast<unsigned char>((*stream)[i]);
                const bool c1 = byte == 0xC2 && i + 1 < stream->size() &&
                                static_cast<unsigned char>((*stream)[i + 1]) >= 0x80 &&
                                static_cast<unsigned char>((*stream)[i + 1]) <= 0x9F;
                ASSERT_TRUE((byte >= 0x20 && byte != 0x7F && !c1) || byte == '\n')
                    << "byte " << int(byte) << " at " << i << " of\n"
                    << *stream;
            }
        }
        if (arguments == modes[4]) {
            EXPECT_NE(run.out.find("\\x1B]"), std::string::npos) << "the name is shown, escaped";
        }
    }
}

} // namespace
} // namespace tolvane
