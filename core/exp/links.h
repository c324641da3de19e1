#pragma once

// The linking checks: every reference a package makes outside itself held
// against the export files of the packages it imports, as a card's linker
// resolves it. A reference to a token the imported release does not define,
// of the wrong kind, or typed otherwise than the export file types it, is a
// finding; so is a class that extends a final class or an interface, or
// implements a class.

#include "core/cap/package.h"
#include "core/exp/export_path.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {
struct LoadFile;
}

namespace tolvane::exp {

struct LinkVerdict {
    std::vector<cap::Finding> faults;
    // One line for each package whose references went unchecked, and for
    // each file of the path that could not be read.
    std::vector<std::string> notes;
    // The export file of each imported package, by its place in Import,
    // where one was found.
    std::vector<std::shared_ptr<const ExportFile>> imported;
};

// The package's own identity, for its own export file: where the path
// holds one of its version (a library's), it must agree with the Export
// component, every class and static member it lists there by its token.
struct OwnPackage {
    std::vector<std::uint8_t> aid;
    unsigned major = 0, minor = 0;
    // As the load file's Header gives it.
    static OwnPackage of(const LoadFile& file);
};

LinkVerdict checkLinks(const cap::Package& package, const ExportPath& path, const OwnPackage& own = {});

// The export file of a package, made from its CAP file: its public classes
// and interfaces with their tokens (Descriptor), their public and protected
// members with names and types (Debug), superclasses and interfaces (Debug,
// and the imported export files where known). Throws Error (NotLoadable)
// for a package without a Debug component, which alone names things.
ExportFile exportFileOf(const cap::Package& package, const OwnPackage& own, unsigned formatMinor,
                        const std::vector<std::shared_ptr<const ExportFile>>& imported);
// The same for a load file made from a CAP file (format 2.1): the package
// named by Debug, or by its Header where Debug does not name it.
ExportFile exportFileOf(const LoadFile& file);

// What an external reference names, by its export file: the class and,
// for a field or a method, the member and its descriptor.
struct ExportedName {
    std::string cls;                // "javacard/framework/APDU"
    std::string member, descriptor; // empty for a class reference
    // "javacard.framework.APDU.getBuffer()[B", "javacard.framework.APDU.buffer:[B"
    std::string text() const;
};
std::optional<ExportedName> exportedName(const cap::PoolEntry& entry,
                                         const std::vector<std::shared_ptr<const ExportFile>>& imported);
// The method an invokeinterface calls: the interface its pool entry names,
// and the method of `token` that the interface's export file lists.
std::optional<ExportedName> exportedInterfaceMethod(const cap::PoolEntry& interfaceEntry, unsigned token,
                                                    const std::vector<std::shared_ptr<const ExportFile>>& imported);

// Whether a type as typeText gives it matches an export file's descriptor,
// where "L?;" (a class the names cannot tell) matches any class.
bool sameType(const std::string& recorded, const std::string& exported);

// A type of the Descriptor component in the JVM's form ("(S[B)V",
// "Ljavacard/framework/APDU;"), class references named from the imported
// export files or the package's Debug component; "?" for a class neither
// names. `method` says whether the type is a method's (parameters, then the
// return type).
std::string typeText(const cap::Package& package, const std::vector<std::shared_ptr<const ExportFile>>& imported,
                     const std::vector<std::uint8_t>& nibbles, bool method);

} // namespace tolvane::exp
