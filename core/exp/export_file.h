#pragma once

// Export files (.exp): what a package offers the packages that import it, by
// name and token, with the JVM descriptors of its members. Read from formats
// 2.1, 2.2 and 2.3, and written, with the constant pool made anew.

#include "core/base/bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::exp {

// Access flags of classes and members, as export files write them.
enum Access : unsigned {
    accPublic = 0x0001,
    accProtected = 0x0004,
    accStatic = 0x0008,
    accFinal = 0x0010,
    accInterface = 0x0200,
    accAbstract = 0x0400,
    accShareable = 0x0800,
    accRemote = 0x1000,
};

struct PackageId {
    std::string name; // "javacard/framework"
    std::vector<std::uint8_t> aid;
    unsigned major = 0, minor = 0;
    unsigned flags = 0; // 0x01: a library (no applets)
    // "javacard.framework 1.3"
    std::string text() const;
};

struct Member {
    unsigned token = 0, flags = 0;
    std::string name, descriptor;      // JVM form: "S", "[B", "(SB[BS)V"
    std::optional<std::int32_t> value; // a compile-time constant's (fields)
    bool isStatic() const { return (flags & accStatic) != 0; }
};

struct Class {
    unsigned token = 0, flags = 0;
    std::string name;                    // "javacard/framework/APDU"
    std::vector<std::string> supers;     // every superclass, up to java/lang/Object
    std::vector<std::string> interfaces; // all it implements, inherited ones included
    std::vector<Member> fields, methods;
    std::optional<unsigned> inheritableMethods; // format 2.3
    bool isInterface() const { return (flags & accInterface) != 0; }
    bool isFinal() const { return (flags & accFinal) != 0; }
    // The member with `token` among the static or the other ones; nullptr
    // where there is none. Compile-time constants (token FF) are never found.
    const Member* field(unsigned token, bool isStatic) const;
    const Member* method(unsigned token, bool isStatic) const;
};

struct ExportFile {
    unsigned formatMajor = 2, formatMinor = 1;
    PackageId package;
    std::vector<PackageId> referenced; // format 2.3
    std::vector<Class> classes;
    const Class* classByToken(unsigned token) const;
    const Class* classByName(const std::string& name) const;
};

// A JVM name as Java writes it: "javacard/framework/APDU" becomes
// "javacard.framework.APDU".
std::string dotted(std::string name);

// Reads an export file; `source` names it in a refusal (Error of kind
// ExportFile), which gives the offset and what is wrong. Every count is
// checked against the bytes that remain before anything is made from it.
ExportFile readExportFile(Bytes bytes, const std::string& source);

// Only the package an export file is of, read from its first bytes.
PackageId readExportPackage(Bytes bytes, const std::string& source);

// The file's bytes, in its format; the constant pool is made from the names.
std::vector<std::uint8_t> writeExportFile(const ExportFile& file);

} // namespace tolvane::exp
