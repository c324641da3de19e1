#pragma once

// A decoded package shown to people: the package, its imports and applets,
// the constant pool, and each class with its fields and methods, every
// method's handlers and bytecode listed an instruction a line.

#include "core/cap/package.h"
#include "core/exp/links.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {

struct LoadFile;

// The export file of each imported package, by its place in Import, where
// one was found: what references to it are named by.
using ImportedExports = std::vector<std::shared_ptr<const exp::ExportFile>>;

// With `types`, each instruction follows a line with the types the
// verifier found on the stack and in the locals before it.
std::vector<std::string> dumpLines(const LoadFile& file, bool types = false);

// What an instruction's constant pool reference names in an imported
// package's export file: a class, a field, a method, or for invokeinterface
// the interface's method.
std::optional<exp::ExportedName> exportedNameOf(const cap::Package& package, const cap::Instruction& instruction,
                                                const ImportedExports& exports);

// An instruction's operands as the listing shows them, constant pool
// references resolved to what they name (an imported package's class or
// member by name and descriptor, where its export file is known).
std::string operandText(const cap::Package& package, const cap::Instruction& instruction,
                        const ImportedExports& exports = {});

// An instruction as the listing shows it: its mnemonic and its operands.
std::string instructionText(const cap::Package& package, const cap::Instruction& instruction,
                            const ImportedExports& exports = {});
// What a constant pool entry names: its kind and its reference.
std::string poolEntryText(const cap::Package& package, unsigned index, const ImportedExports& exports = {});

} // namespace tolvane
