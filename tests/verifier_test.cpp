// The bytecode verifier on real CAP files: every corpus file keeps its
// verdict with export files as without, and one-byte edits of real files
// that leave their structure sound but confuse a type are refused at the
// instruction that meets them, each row a fault a verifier could miss.

#include "core/base/error.h"
#include "core/cap/verify.h"
#include "core/checks/checks.h"
#include "core/exp/export_path.h"
#include "core/verifier/class_world.h"
#include "core/verifier/verifier.h"
#include "corpus_support.h"
#include "test_support.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>

namespace tolvane {
namespace {

using cap::Instruction;
using cap::Method;
using namespace testing;

// The refusal of the entries, or "accepted".
std::string verdictOf(const std::vector<CapEntry>& entries, const LoadFileOptions& options = {})
{
    try {
        (void)makeLoadFile(entries, options, "edited.cap");
        return "accepted";
    } catch (const Error& error) {
        return error.what();
    }
}

std::shared_ptr<const exp::ExportPath> pathTo(const TempDir& dir)
{
    return std::make_shared<const exp::ExportPath>(std::vector<std::string>{dir.path().string()});
}

TEST(Verifier, EveryCorpusFileKeepsItsVerdictWithExportFiles)
{
    if (!haveCorpus((corpusDir() / "cap").string()))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    unsigned files = 0, refused = 0;
    for (const auto& item : std::filesystem::directory_iterator(corpusDir() / "cap")) {
        if (item.path().extension() != ".cap")
            continue;
        SCOPED_TRACE(item.path().filename().string());
        const auto entries = corpusEntries(item.path().string());
        LoadFileOptions unverified;
        unverified.verify = false;
        const LoadFile file = makeLoadFile(entries, unverified, item.path().string());
        if (!file.package || !cap::verifyPackage(*file.package).faults.empty())
            continue;
        ++files;
        const std::string without = verdictOf(entries);
        refused += without != "accepted";
        // Export files that give every imported class and member the file
        // uses tell the verifier more; they must not make it find more.
        TempDir dir;
        writeExports(dir.path(), exportsMeeting(*file.package));
        LoadFileOptions linked;
        linked.exports = pathTo(dir);
        // The same verdict, where the names of imported classes may differ.
        const auto named = [](const std::string& verdict) { return verdict.substr(0, verdict.find('(')); };
        EXPECT_EQ(named(verdictOf(entries, linked)), named(without));
    }
    EXPECT_GT(files, 100u);
    EXPECT_EQ(refused, 7u) << "the corpus files that break a verifier's rules, as corpus_outcomes.tsv pins them";
}

// Where to change one byte of a component, to what, and what the finding
// must then say.
struct Edit {
    std::string component; // "Method.cap", ...
    unsigned at = 0;       // in the component's content
    std::uint8_t byte = 0;
    std::string said;
};

struct Found {
    const cap::DescribedClass* cls = nullptr;
    const Method* method = nullptr;
    std::size_t index = 0;
    const Instruction& in() const { return method->instructions[index]; }
};

// The first instruction of the package for which `pick` holds.
std::optional<Found> firstWhere(const cap::Package& p, const std::function<bool(const Found&)>& pick)
{
    for (const auto& cls : p.classes)
        for (const auto& method : cls.methods)
            for (std::size_t i = 0; i < method.instructions.size(); ++i) {
                const Found found{&cls, &method, i};
                if (pick(found))
                    return found;
            }
    return std::nullopt;
}

// The stack before an instruction, as the verifier's states give it, top last.
std::vector<std::string> stackBefore(const std::map<unsigned, std::string>& states, unsigned offset)
{
    const auto found = states.find(offset);
    if (found == states.end() || !found->second.starts_with("stack:"))
        return {};
    std::string stack = found->second.substr(6, found->second.find(" | ") - 6);
    std::vector<std::string> words;
    std::stringstream in(stack);
    for (std::string word; std::getline(in, word, ',');)
        words.push_back(word.substr(word.find_first_not_of(' ')));
    return words;
}

std::string at(const Found& f)
{
    return " at " + std::to_string(f.in().offset) + " ";
}

// A call's type, as the Descriptor gives it.
verifier::MethodType typeOf(const cap::Package& p, const Instruction& call)
{
    const verifier::ClassWorld world(p, {});
    return world.methodType(p.types.at(p.poolTypes.at(*call.poolIndex).value));
}

TEST(Verifier, TypeConfusionsInRealFilesAreRefusedWhereTheyLie)
{
    using Kind = verifier::Value::Kind;
    using Finder = std::function<std::optional<Edit>(const cap::Package&, const std::map<unsigned, std::string>&)>;
    const auto opcodeSwap = [](std::uint8_t from, std::uint8_t to, const std::function<bool(const Found&)>& also,
                               const std::function<std::string(const Found&)>& said) -> Finder {
        return [=](const cap::Package& p, const auto&) -> std::optional<Edit> {
            const auto found = firstWhere(p, [&](const Found& f) { return f.in().opcode == from && also(f); });
            if (!found)
                return std::nullopt;
            return Edit{"Method.cap", found->in().offset, to, said(*found)};
        };
    };
    const auto any = [](const Found&) { return true; };
    const auto first = [](const Found& f) { return f.index == 0; };
    // A byte of the method's header changed by `change`, where `pick` takes it.
    const auto header = [](std::size_t byte, const std::function<bool(const cap::MethodHeader&)>& pick,
                           const std::function<std::uint8_t(const cap::MethodHeader&)>& change,
                           const std::function<std::string(const cap::MethodHeader&)>& said) -> Finder {
        return [=](const cap::Package& p, const auto&) -> std::optional<Edit> {
            const auto found = firstWhere(p, [&](const Found& f) {
                return f.index == 0 && (f.method->header.flags & 0x8) == 0 && pick(f.method->header);
            });
            if (!found)
                return std::nullopt;
            return Edit{"Method.cap", found->method->offset + static_cast<unsigned>(byte),
                        change(found->method->header), said(found->method->header)};
        };
    };
    const auto beneath = [](std::size_t depth, const char* type) {
        return [=](const Found& f, const std::map<unsigned, std::string>& states) {
            const auto stack = stackBefore(states, f.in().offset);
            return stack.size() > depth && stack[stack.size() - 1 - depth] == type;
        };
    };
    const auto arraySwap = [&](std::uint8_t from, std::uint8_t to, std::size_t depth, const char* was,
                               const char* said) -> Finder {
        return [=](const cap::Package& p, const std::map<unsigned, std::string>& states) -> std::optional<Edit> {
            const auto found =
                firstWhere(p, [&](const Found& f) { return f.in().opcode == from && beneath(depth, was)(f, states); });
            if (!found)
                return std::nullopt;
            return Edit{"Method.cap", found->in().offset, to, said + at(*found) + "needs"};
        };
    };

    const struct {
        const char* name;
        const char* file;
        Finder edit;
        const char* rest; // what follows the edit's own words in the finding
    } cases[] = {
        {"a reference loaded as a short", "U2FToken__u2ftoken.cap",
         opcodeSwap(0x19, 0x1D, first, [](const Found& f) { return "sload_1" + at(f); }),
         "needs a short in local 1, which holds a"},
        {"a short loaded as a reference", "JCAlgTest__JavaPurse.cap",
         opcodeSwap(0x1D, 0x19, first, [](const Found& f) { return "aload_1" + at(f); }),
         "needs a reference in local 1, which holds a short"},
        {"a short stored as a reference", "U2FToken__u2ftoken.cap",
         [](const cap::Package& p, const auto&) -> std::optional<Edit> {
             const auto found =
                 firstWhere(p, [](const Found& f) { return f.in().opcode >= 0x2F && f.in().opcode <= 0x32; });
             if (!found)
                 return std::nullopt;
             const unsigned local = found->in().opcode - 0x2Fu;
             return Edit{"Method.cap", found->in().offset, static_cast<std::uint8_t>(0x2B + local),
                         "astore_" + std::to_string(local) + at(*found)};
         },
         "needs a reference on the stack, where there is a short"},
        {"a byte[] read as a short[]", "U2FToken__u2ftoken.cap", arraySwap(0x25, 0x26, 1, "byte[]", "saload"),
         " a short[] on the stack, where there is a byte[]"},
        {"a byte[] written as a short[]", "U2FToken__u2ftoken.cap", arraySwap(0x38, 0x39, 2, "byte[]", "sastore"),
         " a short[] on the stack, where there is a byte[]"},
        {"a reference field read as a short", "U2FToken__u2ftoken.cap",
         opcodeSwap(0xAD, 0xAF, any, [](const Found& f) { return "getfield_s_this" + at(f); }),
         "needs a field of a short, but the field is a reference"},
        {"a short static field read as a reference", "U2FToken__u2ftoken.cap",
         opcodeSwap(0x7D, 0x7B, any, [](const Found& f) { return "getstatic_a" + at(f); }),
         "needs a field of a reference, but the field is a short"},
        {"a short returned as a reference", "U2FToken__u2ftoken.cap",
         opcodeSwap(0x78, 0x77, any, [](const Found& f) { return "areturn" + at(f); }),
         "returns from a method that returns a short"},
        {"a reference returned as a short", "U2FToken__u2ftoken.cap",
         opcodeSwap(0x77, 0x78, any, [](const Found& f) { return "sreturn" + at(f); }),
         "returns from a method that returns a reference"},
        {"a short returned from a method that returns nothing", "U2FToken__u2ftoken.cap",
         opcodeSwap(0x7A, 0x78, any, [](const Found& f) { return "sreturn" + at(f); }),
         "returns from a method that returns nothing"},
        {"an argument count the type does not take", "U2FToken__u2ftoken.cap",
         header(
             1, [](const cap::MethodHeader& h) { return h.nargs < 15; },
             [](const cap::MethodHeader& h) { return static_cast<std::uint8_t>((h.nargs + 1) << 4 | h.maxLocals); },
             [](const cap::MethodHeader& h) { return "the header gives " + std::to_string(h.nargs + 1); }),
         " argument words, but the method's type takes"},
        {"max_stack below what the code puts there", "U2FToken__u2ftoken.cap",
         header(
             0, [](const cap::MethodHeader& h) { return h.maxStack > 1; },
             [](const cap::MethodHeader& h) { return static_cast<std::uint8_t>(h.flags << 4 | (h.maxStack - 1)); },
             [](const cap::MethodHeader& h) {
                 return "past the header's max_stack of " + std::to_string(h.maxStack - 1);
             }),
         ""},
        {"a local past the method's locals", "U2FToken__u2ftoken.cap",
         opcodeSwap(
             0x18, 0x1B, [](const Found& f) { return f.method->header.nargs + f.method->header.maxLocals < 4; },
             [](const Found& f) { return "aload_3" + at(f); }),
         "uses local 3, past the method's"},
        {"a call given null for a short", "U2FToken__u2ftoken.cap",
         [](const cap::Package& p, const auto&) -> std::optional<Edit> {
             const auto found = firstWhere(p, [&](const Found& f) {
                 if (f.in().opcode != 0x03 || f.index + 1 >= f.method->instructions.size())
                     return false;
                 const Instruction& call = f.method->instructions[f.index + 1];
                 if (call.opcode != 0x8B && call.opcode != 0x8D)
                     return false;
                 const auto type = typeOf(p, call);
                 return !type.parameters.empty() && type.parameters.back() == verifier::Words{{Kind::Short}};
             });
             if (!found)
                 return std::nullopt;
             const Instruction& call = found->method->instructions[found->index + 1];
             return Edit{"Method.cap", found->in().offset, 0x01,
                         std::string(call.opcode == 0x8B ? "invokevirtual" : "invokestatic") + " at " +
                             std::to_string(call.offset) + " needs a short as argument " +
                             std::to_string(typeOf(p, call).parameters.size())};
         },
         ", where there is null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = (corpusDir() / "cap" / c.file).string();
        if (!haveCorpus(path))
            GTEST_SKIP() << "no corpus at " << corpusDir();
        auto entries = corpusEntries(path);
        const LoadFile file = makeLoadFile(entries, {}, path);
        const auto states = verifier::verifyBytecode(*file.package, {}, true).states;
        const auto edit = c.edit(*file.package, states);
        ASSERT_TRUE(edit) << "the file has no place for the edit";
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const CapEntry& e) { return e.name.ends_with("/" + edit->component); });
        ASSERT_NE(entry, entries.end());
        entry->bytes.at(3 + edit->at) = edit->byte;
        // The structure holds: only the verifier can tell.
        LoadFileOptions unverified;
        unverified.verify = false;
        const LoadFile edited = makeLoadFile(entries, unverified, path);
        ASSERT_TRUE(edited.package);
        EXPECT_TRUE(cap::verifyPackage(*edited.package).faults.empty());
        EXPECT_THAT(verdictOf(entries), ::testing::HasSubstr(edit->said + c.rest));
    }
}

// The package's own classes, each assignable only to itself and to the
// package classes it extends: never to an unrelated one, nor to a subclass.
TEST(Verifier, APackageClassIsAssignableOnlyAlongItsSuperclasses)
{
    const auto path = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    const auto package = makeLoadFile(corpusEntries(path), {}, path).package;
    const std::vector<std::shared_ptr<const exp::ExportFile>> none;
    const verifier::ClassWorld world(*package, none);
    // Each class's package superclasses, itself first, by their Class offsets.
    const auto chain = [&](const cap::ClassEntry& cls) {
        std::vector<unsigned> offsets{cls.offset};
        for (const cap::ClassEntry* at = &cls; at->superClass && !at->superClass->value.external();) {
            const unsigned next = at->superClass->value.offset();
            offsets.push_back(next);
            const auto it = std::find_if(package->classEntries.begin(), package->classEntries.end(),
                                         [&](const cap::ClassEntry& e) { return e.offset == next; });
            if (it == package->classEntries.end())
                break;
            at = &*it;
        }
        return offsets;
    };
    unsigned unrelated = 0;
    for (const auto& from : package->classEntries)
        for (const auto& to : package->classEntries) {
            if (from.isInterface || to.isInterface)
                continue;
            const auto supers = chain(from);
            const bool extends = std::find(supers.begin(), supers.end(), to.offset) != supers.end();
            const auto theirs = chain(to);
            unrelated += !extends && std::find(theirs.begin(), theirs.end(), from.offset) == theirs.end();
            SCOPED_TRACE(world.className(static_cast<verifier::ClassKey>(from.offset)) + " to " +
                         world.className(static_cast<verifier::ClassKey>(to.offset)));
            EXPECT_EQ(world.assignable(static_cast<verifier::ClassKey>(from.offset),
                                       static_cast<verifier::ClassKey>(to.offset)),
                      extends ? verifier::Answer::Yes : verifier::Answer::No);
        }
    EXPECT_GT(unrelated, 0u) << "no unrelated classes to try";
}

// A reference to an imported package that the file's own Descriptor types
// consistently: only the package's export file can tell it is wrong.
TEST(Verifier, EditsOfAnImportedMethodAreRefusedWithExportFilesOnly)
{
    const auto path = (corpusDir() / "cap" / "U2FToken__u2ftoken.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus at " << corpusDir();
    const auto entries = corpusEntries(path);
    const auto package = makeLoadFile(entries, {}, path).package;
    TempDir dir;
    writeExports(dir.path(), exportsMeeting(*package));
    // The first call to an imported virtual method that takes a short.
    const auto call = std::find_if(package->pool.begin(), package->pool.end(), [&](const cap::PoolEntry& e) {
        if (e.kind != 3 || !e.classRef.external())
            return false;
        const auto& type =
            package->types.at(package->poolTypes[static_cast<std::size_t>(&e - &package->pool[0])].value);
        return type.size() > 1 && std::find(type.begin() + 1, type.end(), 0x4) != type.end();
    });
    ASSERT_NE(call, package->pool.end());
    const unsigned typeKey = package->poolTypes[static_cast<std::size_t>(call - package->pool.begin())].value;
    const auto& nibbles = package->types.at(typeKey);
    // Not the first nibble: a field's type may begin where a method's does.
    const auto shortAt = std::find(nibbles.begin() + 1, nibbles.end(), 0x4);
    ASSERT_NE(shortAt, nibbles.end()) << "the call takes a short";
    const auto k = static_cast<unsigned>(shortAt - nibbles.begin());
    const unsigned typeByte = package->descriptorPoolCount.place + typeKey + 1 + k / 2;

    const struct {
        const char* name;
        const char* component;
        unsigned at;
        std::function<std::uint8_t(std::uint8_t)> change;
        const char* said;
    } cases[] = {
        {"a method token the imported class lacks", "ConstantPool.cap", call->place + 3,
         [](std::uint8_t) { return std::uint8_t{0x7F}; }, "has no virtual method 127"},
        {"a short parameter recorded as a byte", "Descriptor.cap", typeByte,
         [&](std::uint8_t b) { return static_cast<std::uint8_t>(k % 2 == 0 ? (b & 0x0F) | 0x30 : (b & 0xF0) | 0x03); },
         "and its export file gives"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto edited = entries;
        auto& bytes = std::find_if(edited.begin(), edited.end(), [&](const CapEntry& e) {
                          return e.name.ends_with(std::string("/") + c.component);
                      })->bytes;
        bytes.at(3 + c.at) = c.change(bytes.at(3 + c.at));
        EXPECT_EQ(verdictOf(edited), "accepted");
        LoadFileOptions linked;
        linked.exports = pathTo(dir);
        EXPECT_THAT(verdictOf(edited, linked), ::testing::HasSubstr(c.said));
    }
}

} // namespace
} // namespace tolvane
