#pragma once

// The components of a CAP file decoded: what each holds, field by field, and
// each method's bytecode as instructions. Decoding reads every component
// through the checked byte cursor and never reads outside it; the checks of
// one component against another are in verify.h.

#include "core/base/bytes.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::cap {

enum Tag : std::uint8_t {
    headerTag = 1,
    directoryTag = 2,
    appletTag = 3,
    importTag = 4,
    constantPoolTag = 5,
    classTag = 6,
    methodTag = 7,
    staticFieldTag = 8,
    refLocationTag = 9,
    exportTag = 10,
    descriptorTag = 11,
    debugTag = 12,
    staticResourcesTag = 13,
    lastTag = 13,
};

// The title of the component with `tag`, as messages name it.
const char* componentTitle(std::uint8_t tag);
// The name of the entry that holds the component with `tag` in a CAP file
// ("Header.cap", ..., "StaticResources.capx"); nullptr for no such tag.
const char* componentEntryName(std::uint8_t tag);

// The content of each component (the bytes after tag and size), by tag, and
// the entry it came from; empty where the CAP file has none.
struct ComponentSet {
    std::array<Bytes, lastTag + 1> content{};
    std::array<std::string, lastTag + 1> entry{};
    std::array<bool, lastTag + 1> present{};
};

// A value decoded from a component and where it lies in that component's
// content, so that whatever is found wrong with it names its own offset and
// nothing after the decoder works a layout out again.
template <typename T> struct Placed {
    T value{};
    unsigned place = 0;
    operator const T&() const { return value; }
    const T* operator->() const { return &value; }
};

// A reference to a class or interface: external ones name an imported
// package's token and the class's token in it; internal ones the offset of
// the entry in Class.
struct ClassRef {
    std::uint16_t raw = 0;
    bool external() const { return (raw & 0x8000) != 0; }
    unsigned package() const { return (raw >> 8) & 0x7F; }
    unsigned token() const { return raw & 0xFF; }
    unsigned offset() const { return raw; }
};

// A static field or method: external by package, class and member token;
// internal by offset (in the static image for a field, in Method for a method).
struct StaticRef {
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    std::uint8_t third = 0;
    bool external() const { return (first & 0x80) != 0; }
    unsigned package() const { return first & 0x7F; }
    unsigned classToken() const { return second; }
    unsigned token() const { return third; }
    unsigned offset() const { return static_cast<unsigned>(second) << 8 | third; }
};

// One type of a Descriptor type descriptor: its nibble (1 void, 2 boolean,
// 3 byte, 4 short, 5 int, 6 reference, A to D arrays of boolean to int, E
// array of references) and, for a reference or an array of them, its class;
// none where the nibbles end before the class does.
struct DescribedType {
    std::uint8_t code = 0;
    std::optional<ClassRef> cls;
};
// The types that a descriptor's nibbles hold, in order.
std::vector<DescribedType> describedTypes(const std::vector<std::uint8_t>& nibbles);

enum class PoolKind : std::uint8_t {
    ClassRef = 1,
    InstanceField = 2,
    VirtualMethod = 3,
    SuperMethod = 4,
    StaticField = 5,
    StaticMethod = 6,
};

// The JSON report's name of a kind ("classref", "instance_field", ...).
const char* poolKindName(std::uint8_t kind);

struct PoolEntry {
    std::uint8_t kind = 0;
    ClassRef classRef;   // kinds 1 to 4
    unsigned token = 0;  // kinds 2 to 4: the field or method token
    StaticRef staticRef; // kinds 5 and 6
    unsigned place = 0;  // where the entry lies in ConstantPool
};

struct Applet {
    std::vector<std::uint8_t> aid;
    Placed<unsigned> installOffset;
};

struct Import {
    unsigned minor = 0, major = 0;
    std::vector<std::uint8_t> aid;
};

struct Handler {
    unsigned start = 0, length = 0;
    Placed<unsigned> handlerOffset, catchType;
    bool lastInTry = false;
    unsigned place = 0; // where the handler's entry lies in Method
};

// A list that holds its first few items in place: most instructions have one
// or two operands, and a package has thousands of instructions.
template <typename T, std::size_t N> class SmallList {
public:
    void push_back(T value)
    {
        if (spilled_.empty() && size_ < N) {
            inPlace_[size_++] = value;
            return;
        }
        if (spilled_.empty())
            spilled_.assign(inPlace_.begin(), inPlace_.begin() + size_);
        spilled_.push_back(value);
        ++size_;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return spilled_.empty() ? inPlace_.data() : spilled_.data(); }
    const T* end() const { return begin() + size_; }
    const T& operator[](std::size_t i) const { return begin()[i]; }

private:
    std::array<T, N> inPlace_{};
    std::vector<T> spilled_;
    std::size_t size_ = 0;
};

struct Instruction {
    unsigned offset = 0; // in Method
    std::uint8_t opcode = 0;
    SmallList<std::int32_t, 3> operands; // as encoded, in order, signed where the instruction set says
    SmallList<unsigned, 1> targets;      // branch and switch targets, in Method
    std::optional<unsigned> poolIndex;   // the ConstantPool index it refers to
    unsigned poolIndexPlace = 0;         // where that index lies in Method
    bool poolIndexWide = false;          // two bytes rather than one
};

struct MethodHeader {
    std::uint8_t flags = 0; // 0x8 extended, 0x4 abstract
    unsigned maxStack = 0, nargs = 0, maxLocals = 0, size = 0;
};

struct Field {
    unsigned token = 0, flags = 0, type = 0;
    StaticRef ref;
};

struct Method {
    unsigned token = 0, flags = 0, typeOffset = 0, handlerCount = 0, handlerIndex = 0;
    Placed<unsigned> offset;         // of the method's header in Method; 0 for an abstract method
    Placed<unsigned> bytecodeCount;  // the place of each in Descriptor
    unsigned place = 0;              // where the method's entry lies in Descriptor
    std::optional<std::string> name; // from Debug
    MethodHeader header;
    std::vector<Instruction> instructions;

    // The method in Method: its header, then its bytecode to end().
    bool defined() const { return offset != 0; }
    unsigned bytecodeStart() const { return offset + header.size; }
    unsigned end() const { return bytecodeStart() + bytecodeCount; }
    bool holds(unsigned at) const { return defined() && at >= offset && at < end(); }
};

// A class or interface as Descriptor describes it.
struct DescribedClass {
    unsigned token = 0, flags = 0;
    Placed<ClassRef> thisRef;
    std::vector<ClassRef> interfaces;
    std::vector<Field> fields;
    std::vector<Method> methods;
    std::optional<std::string> name; // from Debug
    bool isInterface() const { return (flags & 0x40) != 0; }
};

// An entry of the Class component.
struct ClassEntry {
    unsigned offset = 0; // in Class
    bool isInterface = false;
    std::uint8_t flags = 0;
    std::optional<Placed<ClassRef>> superClass; // classes; none for 0xFFFF
    std::vector<Placed<ClassRef>> superInterfaces;
    std::vector<Placed<unsigned>> publicMethods, packageMethods; // virtual method table entries, offsets in Method
    std::vector<Placed<ClassRef>> implemented;
    std::vector<std::vector<std::uint8_t>> implementedIndexes; // for each implemented interface, by its method token
    unsigned instanceSize = 0, firstReferenceToken = 0, referenceCount = 0, publicBase = 0, packageBase = 0;
};

struct StaticImage {
    Placed<unsigned> imageSize, arrayInitCount;
    Placed<unsigned> arrayInitBytes; // the sum of the array counts, placed at the first array
    unsigned referenceCount = 0;
};

// One of ReferenceLocation's two lists: the offsets in Method of the
// constant pool indexes, each placed at the byte that ends its step, and
// where the list ends.
struct IndexList {
    std::vector<Placed<unsigned>> offsets;
    unsigned end = 0;
};

struct DirectoryInfo {
    std::array<std::uint32_t, lastTag + 1> sizes{};
    unsigned imageSize = 0, arrayInitCount = 0, arrayInitSize = 0, importCount = 0, appletCount = 0;
};

struct ExportClass {
    Placed<unsigned> classOffset;
    std::vector<Placed<unsigned>> staticFields, staticMethods;
};

// A range of a method's bytecode (counted from its first instruction, its
// last byte included) that one source line compiled to.
struct DebugLine {
    unsigned start = 0, end = 0, line = 0;
};

// A local variable: its slot, and the range of the method's bytecode (from
// its first instruction) where it holds a value.
struct DebugVariable {
    unsigned index = 0;
    std::string name, descriptor; // JVM form: "S", "[B", "Lcom/acme/Purse;"
    unsigned start = 0, length = 0;
};

struct DebugMethod {
    std::string name;
    std::string descriptor; // JVM form: "([BS)V"
    unsigned flags = 0;     // JVM access flags
    Placed<unsigned> location;
    unsigned headerSize = 0;
    std::vector<DebugVariable> variables;
    std::vector<DebugLine> lines;
};

struct DebugField {
    std::string name, descriptor;
    unsigned flags = 0;         // JVM access flags
    std::uint32_t contents = 0; // an instance field's token, a static one's place, or a constant's value
};

struct DebugClass {
    std::string name;
    unsigned flags = 0; // JVM access flags
    Placed<unsigned> location;
    std::string superName; // empty for none
    std::string sourceFile;
    std::vector<std::string> interfaces;
    std::vector<DebugField> fields;
    std::vector<DebugMethod> methods;
};

// What one check of the package found wrong: the component, the field and
// its offset in that component's content.
struct Finding {
    std::uint8_t tag = 0;
    std::string field;
    unsigned offset = 0;
    std::string problem;
    std::string text() const;
};

struct Package {
    unsigned capMinor = 2;
    DirectoryInfo directory;
    std::vector<Applet> applets;
    std::vector<Import> imports;
    std::vector<PoolEntry> pool;
    std::vector<ClassEntry> classEntries;
    std::vector<Handler> handlers;
    StaticImage staticImage;
    IndexList byteIndexes, byte2Indexes; // ReferenceLocation
    std::vector<ExportClass> exports;
    std::vector<DescribedClass> classes; // in Descriptor order
    Placed<unsigned> descriptorPoolCount;
    std::vector<Placed<unsigned>> poolTypes; // Descriptor: each ConstantPool entry's type offset, FFFF for a class
    // Descriptor: the type descriptors as nibbles, by their offset from the
    // constant pool count (which type offsets count from).
    std::map<unsigned, std::vector<std::uint8_t>> types;
    std::vector<DebugClass> debugClasses;
    std::string debugPackageName; // "com/acme/wallet"
    bool hasDebug = false;
    std::vector<Finding> debugFindings; // Debug is never sent: its faults are warnings
};

// Decodes every component of `components`; the package keeps no reference to
// their bytes. Throws FindingError for the
// first field that cannot be read or does not fit (the layout of every
// component is followed to its last byte).
Package decodePackage(const ComponentSet& components, unsigned capMinor);

struct FindingError {
    Finding finding;
};

} // namespace tolvane::cap
