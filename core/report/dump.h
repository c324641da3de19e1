#pragma once

// A decoded package shown to people: the package, its imports and applets,
// the constant pool, and each class with its fields and methods, every
// method's handlers and bytecode listed an instruction a line.

#include "core/cap/package.h"

#include <string>
#include <vector>

namespace tolvane {

struct LoadFile;

std::vector<std::string> dumpLines(const LoadFile& file);

// An instruction's operands as the listing shows them, constant pool
// references resolved to what they name.
std::string operandText(const cap::Package& package, const cap::Instruction& instruction);

// An instruction as the listing shows it: its mnemonic and its operands.
std::string instructionText(const cap::Package& package, const cap::Instruction& instruction);
// What a constant pool entry names: its kind and its reference.
std::string poolEntryText(const cap::Package& package, unsigned index);

} // namespace tolvane
