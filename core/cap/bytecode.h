#pragma once

// The Java Card instruction set: each opcode's mnemonic and operands, and the
// disassembly of one method's bytecode.

#include "core/cap/package.h"

#include <cstdint>

namespace tolvane::cap {

// The lower-case mnemonic of `opcode`, or nullptr for an undefined one.
const char* mnemonic(std::uint8_t opcode);

// The ConstantPool kinds an instruction's index may refer to, as a mask of
// 1 << kind; 0 for an instruction without one.
unsigned poolKindsTaken(std::uint8_t opcode);

// Decodes the bytecode that lies in `method` (Method's content) from `start`
// to `end`, an instruction at a time. Throws FindingError (of Method) for an
// undefined opcode or an instruction that runs past `end`.
std::vector<Instruction> disassemble(Bytes method, unsigned start, unsigned end);

} // namespace tolvane::cap
