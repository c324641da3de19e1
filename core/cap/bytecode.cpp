#include "core/cap/bytecode.h"

#include "core/base/byte_cursor.h"

#include <array>

namespace tolvane::cap {
namespace {

// How an instruction's operands are laid out after its opcode.
enum class Operands : std::uint8_t {
    None,
    Byte,       // an unsigned byte: a local, a type code, dup_x's and swap_x's counts
    SignedByte, // bspush, bipush
    Branch,     // a signed byte from the opcode
    PoolByte,   // a one-byte ConstantPool index
    Short,      // sspush, sipush
    Increment,  // a local and a signed byte
    WideBranch, // a signed short from the opcode
    PoolShort,  // a two-byte ConstantPool index
    WideIncrement,
    TypeAndPool, // checkcast, instanceof: a type byte, then an index used when it is 0
    Int,
    Interface, // nargs, a two-byte index, a method token
    ShortTable,
    IntTable,
    ShortLookup,
    IntLookup,
};

struct Opcode {
    const char* name = nullptr;
    Operands operands = Operands::None;
    unsigned kinds = 0;
};

constexpr unsigned kind(PoolKind k)
{
    return 1u << static_cast<unsigned>(k);
}

constexpr std::array<Opcode, 256> makeTable()
{
    std::array<Opcode, 256> t{};
    const char* names[] = {"nop",
                           "aconst_null",
                           "sconst_m1",
                           "sconst_0",
                           "sconst_1",
                           "sconst_2",
                           "sconst_3",
                           "sconst_4",
                           "sconst_5",
                           "iconst_m1",
                           "iconst_0",
                           "iconst_1",
                           "iconst_2",
                           "iconst_3",
                           "iconst_4",
                           "iconst_5",
                           "bspush",
                           "sspush",
                           "bipush",
                           "sipush",
                           "iipush",
                           "aload",
                           "sload",
                           "iload",
                           "aload_0",
                           "aload_1",
                           "aload_2",
                           "aload_3",
                           "sload_0",
                           "sload_1",
                           "sload_2",
                           "sload_3",
                           "iload_0",
                           "iload_1",
                           "iload_2",
                           "iload_3",
                           "aaload",
                           "baload",
                           "saload",
                           "iaload",
                           "astore",
                           "sstore",
                           "istore",
                           "astore_0",
                           "astore_1",
                           "astore_2",
                           "astore_3",
                           "sstore_0",
                           "sstore_1",
                           "sstore_2",
                           "sstore_3",
                           "istore_0",
                           "istore_1",
                           "istore_2",
                           "istore_3",
                           "aastore",
                           "bastore",
                           "sastore",
                           "iastore",
                           "pop",
                           "pop2",
                           "dup",
                           "dup2",
                           "dup_x",
                           "swap_x",
                           "sadd",
                           "iadd",
                           "ssub",
                           "isub",
                           "smul",
                           "imul",
                           "sdiv",
                           "idiv",
                           "srem",
                           "irem",
                           "sneg",
                           "ineg",
                           "sshl",
                           "ishl",
                           "sshr",
                           "ishr",
                           "sushr",
                           "iushr",
                           "sand",
                           "iand",
                           "sor",
                           "ior",
                           "sxor",
                           "ixor",
                           "sinc",
                           "iinc",
                           "s2b",
                           "s2i",
                           "i2b",
                           "i2s",
                           "icmp",
                           "ifeq",
                           "ifne",
                           "iflt",
                           "ifge",
                           "ifgt",
                           "ifle",
                           "ifnull",
                           "ifnonnull",
                           "if_acmpeq",
                           "if_acmpne",
                           "if_scmpeq",
                           "if_scmpne",
                           "if_scmplt",
                           "if_scmpge",
                           "if_scmpgt",
                           "if_scmple",
                           "goto",
                           "jsr",
                           "ret",
                           "stableswitch",
                           "itableswitch",
                           "slookupswitch",
                           "ilookupswitch",
                           "areturn",
                           "sreturn",
                           "ireturn",
                           "return",
                           "getstatic_a",
                           "getstatic_b",
                           "getstatic_s",
                           "getstatic_i",
                           "putstatic_a",
                           "putstatic_b",
                           "putstatic_s",
                           "putstatic_i",
                           "getfield_a",
                           "getfield_b",
                           "getfield_s",
                           "getfield_i",
                           "putfield_a",
                           "putfield_b",
                           "putfield_s",
                           "putfield_i",
                           "invokevirtual",
                           "invokespecial",
                           "invokestatic",
                           "invokeinterface",
                           "new",
                           "newarray",
                           "anewarray",
                           "arraylength",
                           "athrow",
                           "checkcast",
                           "instanceof",
                           "sinc_w",
                           "iinc_w",
                           "ifeq_w",
                           "ifne_w",
                           "iflt_w",
                           "ifge_w",
                           "ifgt_w",
                           "ifle_w",
                           "ifnull_w",
                           "ifnonnull_w",
                           "if_acmpeq_w",
                           "if_acmpne_w",
                           "if_scmpeq_w",
                           "if_scmpne_w",
                           "if_scmplt_w",
                           "if_scmpge_w",
                           "if_scmpgt_w",
                           "if_scmple_w",
                           "goto_w",
                           "getfield_a_w",
                           "getfield_b_w",
                           "getfield_s_w",
                           "getfield_i_w",
                           "getfield_a_this",
                           "getfield_b_this",
                           "getfield_s_this",
                           "getfield_i_this",
                           "putfield_a_w",
                           "putfield_b_w",
                           "putfield_s_w",
                           "putfield_i_w",
                           "putfield_a_this",
                           "putfield_b_this",
                           "putfield_s_this",
                           "putfield_i_this"};
    unsigned opcode = 0;
    for (const char* name : names)
        t[opcode++].name = name;
    const auto set = [&t](unsigned from, unsigned to, Operands operands, unsigned kinds = 0) {
        for (unsigned op = from; op <= to; ++op)
            t[op].operands = operands, t[op].kinds = kinds;
    };
    set(0x10, 0x10, Operands::SignedByte);
    set(0x11, 0x11, Operands::Short);
    set(0x12, 0x12, Operands::SignedByte);
    set(0x13, 0x13, Operands::Short);
    set(0x14, 0x14, Operands::Int);
    set(0x15, 0x17, Operands::Byte);
    set(0x28, 0x2A, Operands::Byte);
    set(0x3F, 0x40, Operands::Byte);
    set(0x59, 0x5A, Operands::Increment);
    set(0x60, 0x70, Operands::Branch);
    set(0x71, 0x71, Operands::WideBranch);
    set(0x72, 0x72, Operands::Byte);
    set(0x73, 0x73, Operands::ShortTable);
    set(0x74, 0x74, Operands::IntTable);
    set(0x75, 0x75, Operands::ShortLookup);
    set(0x76, 0x76, Operands::IntLookup);
    set(0x7B, 0x82, Operands::PoolShort, kind(PoolKind::StaticField));
    set(0x83, 0x8A, Operands::PoolByte, kind(PoolKind::InstanceField));
    set(0x8B, 0x8B, Operands::PoolShort, kind(PoolKind::VirtualMethod));
    set(0x8C, 0x8C, Operands::PoolShort, kind(PoolKind::StaticMethod) | kind(PoolKind::SuperMethod));
    set(0x8D, 0x8D, Operands::PoolShort, kind(PoolKind::StaticMethod));
    set(0x8E, 0x8E, Operands::Interface, kind(PoolKind::ClassRef));
    set(0x8F, 0x8F, Operands::PoolShort, kind(PoolKind::ClassRef));
    set(0x90, 0x90, Operands::Byte);
    set(0x91, 0x91, Operands::PoolShort, kind(PoolKind::ClassRef));
    set(0x94, 0x95, Operands::TypeAndPool, kind(PoolKind::ClassRef));
    set(0x96, 0x97, Operands::WideIncrement);
    set(0x98, 0xA8, Operands::WideBranch);
    set(0xA9, 0xAC, Operands::PoolShort, kind(PoolKind::InstanceField));
    set(0xAD, 0xB0, Operands::PoolByte, kind(PoolKind::InstanceField));
    set(0xB1, 0xB4, Operands::PoolShort, kind(PoolKind::InstanceField));
    set(0xB5, 0xB8, Operands::PoolByte, kind(PoolKind::InstanceField));
    return t;
}

constexpr std::array<Opcode, 256> table = makeTable();

std::int32_t s8(std::uint8_t value)
{
    return static_cast<std::int8_t>(value);
}

std::int32_t s16(std::uint16_t value)
{
    return static_cast<std::int16_t>(value);
}

std::int32_t s32(std::uint32_t value)
{
    return static_cast<std::int32_t>(value);
}

} // namespace

const char* mnemonic(std::uint8_t opcode)
{
    return table[opcode].name;
}

unsigned poolKindsTaken(std::uint8_t opcode)
{
    return table[opcode].kinds;
}

std::vector<Instruction> disassemble(Bytes method, unsigned start, unsigned end)
{
    std::vector<Instruction> instructions;
    instructions.reserve((end - start) / 2);
    ByteCursor cursor(method.subspan(start, end - start), start);
    // Offsets are counted in Method; a branch counts from its opcode.
    const auto here = [&] { return static_cast<unsigned>(cursor.fileOffset()); };
    while (!cursor.atEnd()) {
        Instruction in;
        in.offset = here();
        in.opcode = cursor.u8("opcode");
        const Opcode& op = table[in.opcode];
        if (op.name == nullptr)
            throw FindingError{
                {methodTag, "opcode", in.offset,
                 "opcode " + std::to_string(in.opcode) + " is not an instruction of the instruction set"}};
        const auto target = [&](std::int32_t delta) {
            in.operands.push_back(delta);
            in.targets.push_back(static_cast<unsigned>(static_cast<std::int64_t>(in.offset) + delta));
        };
        const auto poolIndex = [&](bool wide) {
            in.poolIndexPlace = here();
            in.poolIndexWide = wide;
            in.poolIndex = wide ? cursor.be16("constant pool index") : cursor.u8("constant pool index");
            in.operands.push_back(static_cast<std::int32_t>(*in.poolIndex));
        };
        try {
            switch (op.operands) {
            case Operands::None:
                break;
            case Operands::Byte:
                in.operands.push_back(cursor.u8("operand"));
                break;
            case Operands::SignedByte:
                in.operands.push_back(s8(cursor.u8("operand")));
                break;
            case Operands::Branch:
                target(s8(cursor.u8("branch offset")));
                break;
            case Operands::PoolByte:
                poolIndex(false);
                break;
            case Operands::Short:
                in.operands.push_back(s16(cursor.be16("operand")));
                break;
            case Operands::Increment:
                in.operands.push_back(cursor.u8("local"));
                in.operands.push_back(s8(cursor.u8("increment")));
                break;
            case Operands::WideBranch:
                target(s16(cursor.be16("branch offset")));
                break;
            case Operands::PoolShort:
                poolIndex(true);
                break;
            case Operands::WideIncrement:
                in.operands.push_back(cursor.u8("local"));
                in.operands.push_back(s16(cursor.be16("increment")));
                break;
            case Operands::TypeAndPool: {
                const std::uint8_t type = cursor.u8("type");
                in.operands.push_back(type);
                if (type == 0) {
                    poolIndex(true);
                } else {
                    in.operands.push_back(cursor.be16("index"));
                }
                break;
            }
            case Operands::Int:
                in.operands.push_back(s32(cursor.be32("operand")));
                break;
            case Operands::Interface:
                in.operands.push_back(cursor.u8("nargs"));
                poolIndex(true);
                in.operands.push_back(cursor.u8("method token"));
                break;
            case Operands::ShortTable:
            case Operands::IntTable: {
                const bool wide = op.operands == Operands::IntTable;
                target(s16(cursor.be16("default offset")));
                const std::int64_t low = wide ? s32(cursor.be32("low")) : s16(cursor.be16("low"));
                const std::int64_t high = wide ? s32(cursor.be32("high")) : s16(cursor.be16("high"));
                in.operands.push_back(static_cast<std::int32_t>(low));
                in.operands.push_back(static_cast<std::int32_t>(high));
                if (high < low)
                    throw FindingError{{methodTag, "high", in.offset,
                                        std::string(op.name) + " has high " + std::to_string(high) + " below low " +
                                            std::to_string(low)}};
                // Each case takes two bytes: a count past what remains is refused before any is read.
                const std::uint64_t cases = static_cast<std::uint64_t>(high - low) + 1;
                if (cases * 2 > cursor.remaining())
                    cursor.skip(cases * 2, "jump offsets");
                for (std::uint64_t i = 0; i < cases; ++i)
                    target(s16(cursor.be16("jump offset")));
                break;
            }
            case Operands::ShortLookup:
            case Operands::IntLookup: {
                const bool wide = op.operands == Operands::IntLookup;
                target(s16(cursor.be16("default offset")));
                const unsigned pairs = cursor.be16("npairs");
                in.operands.push_back(static_cast<std::int32_t>(pairs));
                if (std::uint64_t{pairs} * (wide ? 6 : 4) > cursor.remaining())
                    cursor.skip(std::uint64_t{pairs} * (wide ? 6 : 4), "match-offset pairs");
                for (unsigned i = 0; i < pairs; ++i) {
                    in.operands.push_back(wide ? s32(cursor.be32("match")) : s16(cursor.be16("match")));
                    target(s16(cursor.be16("offset")));
                }
                break;
            }
            }
        } catch (const ByteCursor::ShortRead& error) {
            throw FindingError{{methodTag, "bytecode", in.offset,
                                std::string(op.name) + " runs past the end of its method (" + error.what() + ")"}};
        }
        instructions.push_back(std::move(in));
    }
    return instructions;
}

} // namespace tolvane::cap
