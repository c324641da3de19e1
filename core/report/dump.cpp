#include "core/report/dump.h"

#include "core/verifier/verifier.h"

#include "core/base/hex.h"
#include "core/cap/bytecode.h"
#include "core/cap/java_card.h"
#include "core/cap/load_file.h"
#include "core/exp/links.h"
#include "core/report/text_report.h"

#include <map>

namespace tolvane {
namespace {

using namespace cap;

std::string number(unsigned value)
{
    return std::to_string(value);
}

std::string flagsText(unsigned flags, std::initializer_list<std::pair<unsigned, const char*>> names)
{
    std::string text;
    for (const auto& [bit, name] : names)
        if ((flags & bit) != 0)
            text += std::string(text.empty() ? "" : " ") + name;
    return text.empty() ? "none" : text;
}

std::string classFlags(unsigned flags)
{
    return flagsText(flags, {{0x01, "public"}, {0x10, "final"}, {0x40, "interface"}, {0x80, "abstract"}});
}

std::string methodFlags(unsigned flags)
{
    return flagsText(flags, {{0x01, "public"},
                             {0x02, "private"},
                             {0x04, "protected"},
                             {0x08, "static"},
                             {0x10, "final"},
                             {0x40, "abstract"},
                             {0x80, "init"}});
}

// The name of the class at `offset` in Class, where Debug gives it.
std::string classAt(const Package& package, unsigned offset)
{
    for (const auto& cls : package.classes)
        if (!cls.thisRef->external() && cls.thisRef->offset() == offset && cls.name)
            return *cls.name;
    return "class@" + number(offset);
}

std::string methodAt(const Package& package, unsigned offset)
{
    for (const auto& cls : package.classes)
        for (const auto& method : cls.methods)
            if (method.defined() && method.offset == offset && method.name)
                return (cls.name ? *cls.name + "." : std::string()) + *method.name;
    return "method@" + number(offset);
}

std::string importName(const Package& package, unsigned token)
{
    if (token >= package.imports.size())
        return "package " + number(token);
    const std::string aid = hexText(package.imports[token].aid, HexCase::Upper);
    return wellKnownPackageName(aid).value_or(aid);
}

std::string classRefText(const Package& package, ClassRef ref)
{
    if (ref.external())
        return importName(package, ref.package()) + " class " + number(ref.token());
    return classAt(package, ref.offset());
}

std::string staticRefText(const Package& package, StaticRef ref, bool isMethod)
{
    if (ref.external())
        return importName(package, ref.package()) + " class " + number(ref.classToken()) + " token " +
               number(ref.token());
    return isMethod ? methodAt(package, ref.offset()) : "static field@" + number(ref.offset());
}

} // namespace

std::optional<exp::ExportedName> exportedNameOf(const Package& package, const Instruction& in,
                                                const ImportedExports& exports)
{
    if (!in.poolIndex || *in.poolIndex >= package.pool.size())
        return std::nullopt;
    const PoolEntry& entry = package.pool[*in.poolIndex];
    // invokeinterface's entry is the interface; its last operand the method's token.
    constexpr std::uint8_t invokeinterface = 0x8E;
    if (in.opcode == invokeinterface && in.operands.size() == 3)
        if (auto method = exp::exportedInterfaceMethod(entry, static_cast<unsigned>(in.operands[2]), exports))
            return method;
    return exp::exportedName(entry, exports);
}

std::string poolEntryText(const Package& package, unsigned index, const ImportedExports& exports)
{
    if (index >= package.pool.size())
        return "no entry";
    const PoolEntry& e = package.pool[index];
    const std::string kind = poolKindName(e.kind);
    if (const auto name = exp::exportedName(e, exports))
        return kind + " " + name->text();
    switch (static_cast<PoolKind>(e.kind)) {
    case PoolKind::ClassRef:
        return kind + " " + classRefText(package, e.classRef);
    case PoolKind::InstanceField:
    case PoolKind::VirtualMethod:
    case PoolKind::SuperMethod:
        return kind + " " + classRefText(package, e.classRef) + " token " + number(e.token);
    case PoolKind::StaticField:
        return kind + " " + staticRefText(package, e.staticRef, false);
    case PoolKind::StaticMethod:
        return kind + " " + staticRefText(package, e.staticRef, true);
    }
    return kind;
}

std::string operandText(const Package& package, const Instruction& in, const ImportedExports& exports)
{
    std::string text;
    for (std::size_t i = 0; i < in.operands.size(); ++i) {
        if (i != 0)
            text += ' ';
        text += std::to_string(in.operands[i]);
    }
    if (in.poolIndex) {
        // Named from an export file, the instruction says the kind already.
        const auto name = *in.poolIndex < package.pool.size() ? exportedNameOf(package, in, exports) : std::nullopt;
        text += " (";
        text += name ? name->text() : poolEntryText(package, *in.poolIndex);
        text += ')';
    }
    if (!in.targets.empty())
        text += " ->";
    for (const unsigned target : in.targets) {
        text += ' ';
        text += number(target);
    }
    return text;
}

std::string instructionText(const Package& package, const Instruction& in, const ImportedExports& exports)
{
    std::string text = mnemonic(in.opcode);
    if (!in.operands.empty()) {
        text += ' ';
        text += operandText(package, in, exports);
    }
    return text;
}

std::vector<std::string> dumpLines(const LoadFile& file, bool types)
{
    std::vector<std::string> lines;
    if (!file.package)
        return {"Decoded: not decoded, see the warnings"};
    const Package& p = *file.package;
    const std::map<unsigned, std::string> states =
        types ? verifier::verifyBytecode(p, file.exportFiles, true).states : std::map<unsigned, std::string>{};
    lines.push_back("Decoded package:");
    lines.push_back(" Imports:");
    for (std::size_t i = 0; i < p.imports.size(); ++i) {
        const std::string aid = hexText(p.imports[i].aid, HexCase::Upper);
        lines.push_back("  " + number(static_cast<unsigned>(i)) + ": " + aid + " " + number(p.imports[i].major) + "." +
                        number(p.imports[i].minor) + " " + wellKnownPackageName(aid).value_or("(unknown)"));
    }
    lines.push_back(" Applets:");
    for (const auto& applet : p.applets)
        lines.push_back("  " + hexText(applet.aid, HexCase::Upper) + ", install method " +
                        methodAt(p, applet.installOffset));
    lines.push_back(" Constant pool: " + number(static_cast<unsigned>(p.pool.size())) + " entries");
    for (std::size_t i = 0; i < p.pool.size(); ++i)
        lines.push_back("  " + number(static_cast<unsigned>(i)) + ": " +
                        poolEntryText(p, static_cast<unsigned>(i), file.exportFiles));
    for (const auto& cls : p.classes) {
        lines.push_back(
            std::string(" ") + (cls.isInterface() ? "Interface " : "Class ") +
            (cls.name ? *cls.name + " (token " + number(cls.token) + ", " : "token " + number(cls.token) + " (") +
            classFlags(cls.flags) + ")");
        for (const auto ref : cls.interfaces)
            lines.push_back("  implements " + classRefText(p, ref));
        for (const auto& field : cls.fields)
            lines.push_back("  field token " + number(field.token) + " (" + methodFlags(field.flags & 0x1F) +
                            "), type " + number(field.type));
        for (const auto& method : cls.methods) {
            const std::string line = "  method " +
                                     (method.name ? *method.name + " (token " + number(method.token) + ", "
                                                  : "token " + number(method.token) + " (") +
                                     methodFlags(method.flags) + ")";
            if (!method.defined()) {
                lines.push_back(line);
                continue;
            }
            lines.push_back(line + " at " + number(method.offset) + ": stack " + number(method.header.maxStack) +
                            ", locals " + number(method.header.maxLocals) + ", arguments " +
                            number(method.header.nargs) + ", " + number(method.bytecodeCount) + " bytes");
            for (const auto& h : p.handlers)
                if (h.start >= method.bytecodeStart() && h.start < method.end())
                    lines.push_back(
                        "   handler " + number(h.start) + " to " + number(h.start + h.length) + " -> " +
                        number(h.handlerOffset) + ", catches " +
                        (h.catchType == 0 ? std::string("anything") : poolEntryText(p, h.catchType, file.exportFiles)));
            for (const auto& in : method.instructions) {
                if (const auto state = states.find(in.offset); state != states.end())
                    lines.push_back("      " + state->second);
                lines.push_back("   " + number(in.offset) + ": " + instructionText(p, in, file.exportFiles));
            }
        }
    }
    return lines;
}

} // namespace tolvane
