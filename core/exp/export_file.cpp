#include "core/exp/export_file.h"

#include "core/base/byte_cursor.h"
#include "core/base/error.h"
#include "core/base/hex.h"

#include <map>

namespace tolvane::exp {
namespace {

enum PoolTag : std::uint8_t { utf8Tag = 1, integerTag = 3, classrefTag = 7, packageTag = 13 };

struct PoolEntry {
    std::uint8_t tag = 0;
    std::string text;       // Utf8
    std::int32_t value = 0; // Integer
    unsigned nameIndex = 0; // Classref, Package
    PackageId package;      // Package, its name still to be resolved
};

// What the reader is refusing, and where.
struct Refusal {
    std::uint64_t offset;
    std::string problem;
};

class Reader {
public:
    Reader(Bytes bytes, const std::string& source) : in_(bytes), source_(source) {}

    template <typename F> auto guarded(F read)
    {
        try {
            return read();
        } catch (const ByteCursor::ShortRead& cut) {
            throw Error(ErrorKind::ExportFile, source_, std::string(cut.what()) + " (the file ends early)");
        } catch (const Refusal& refusal) {
            throw Error(ErrorKind::ExportFile, source_,
                        "at offset " + std::to_string(refusal.offset) + ": " + refusal.problem);
        }
    }

    ExportFile file(bool packageOnly)
    {
        ExportFile file;
        const std::uint64_t magicAt = in_.position();
        if (in_.be32("magic") != 0x00FACADE)
            throw Refusal{magicAt, "no export file: it does not begin with 00 FA CA DE"};
        const std::uint64_t versionAt = in_.position();
        file.formatMinor = in_.u8("minor version");
        file.formatMajor = in_.u8("major version");
        if (file.formatMajor != 2 || file.formatMinor < 1 || file.formatMinor > 3)
            throw Refusal{versionAt, "format " + std::to_string(file.formatMajor) + "." +
                                         std::to_string(file.formatMinor) +
                                         ", which this reader does not know (2.1, 2.2 or 2.3)"};
        const unsigned count = in_.be16("constant pool count");
        for (unsigned i = 0; i < count; ++i)
            pool_.push_back(entry(i));
        for (auto& entry : pool_)
            if (entry.tag == packageTag)
                entry.package.name = utf8(entry.nameIndex, "a package's name");
        file.package = packageAt(in_.be16("this package"), "this package");
        if (packageOnly)
            return file;
        if (file.formatMinor >= 3) {
            const unsigned referenced = in_.u8("referenced package count");
            for (unsigned i = 0; i < referenced; ++i)
                file.referenced.push_back(packageAt(in_.be16("referenced package"), "a referenced package"));
        }
        const unsigned classes = in_.u8("export class count");
        for (unsigned i = 0; i < classes; ++i)
            file.classes.push_back(exportedClass(file.formatMinor >= 3));
        if (!in_.atEnd())
            throw Refusal{in_.position(), std::to_string(in_.remaining()) + " bytes follow the last class"};
        return file;
    }

private:
    PoolEntry entry(unsigned index)
    {
        const std::uint64_t at = in_.position();
        PoolEntry entry;
        entry.tag = in_.u8("constant pool tag");
        switch (entry.tag) {
        case utf8Tag: {
            const unsigned length = in_.be16("Utf8 length");
            const Bytes text = in_.take(length, "Utf8 bytes");
            entry.text.assign(text.begin(), text.end());
            break;
        }
        case integerTag:
            entry.value = static_cast<std::int32_t>(in_.be32("Integer"));
            break;
        case classrefTag:
            entry.nameIndex = in_.be16("Classref name");
            break;
        case packageTag: {
            entry.package.flags = in_.u8("Package flags");
            entry.nameIndex = in_.be16("Package name");
            entry.package.minor = in_.u8("Package minor version");
            entry.package.major = in_.u8("Package major version");
            const std::uint64_t aidAt = in_.position();
            const unsigned length = in_.u8("AID length");
            if (length < 5 || length > 16)
                throw Refusal{aidAt, "constant pool entry " + std::to_string(index) + " has an AID of " +
                                         std::to_string(length) + " bytes, not 5 to 16"};
            const Bytes aid = in_.take(length, "AID");
            entry.package.aid.assign(aid.begin(), aid.end());
            break;
        }
        default:
            throw Refusal{at, "constant pool entry " + std::to_string(index) + " has tag " + std::to_string(entry.tag) +
                                  ", which is none of Utf8 (1), Integer (3), "
                                  "Classref (7) and Package (13)"};
        }
        return entry;
    }

    const PoolEntry& poolEntry(unsigned index, std::uint8_t tag, const char* what)
    {
        static const char* const names[] = {"",         "Utf8", "", "Integer", "", "", "",
                                            "Classref", "",     "", "",        "", "", "Package"};
        const std::uint64_t at = in_.position() - 2;
        if (index >= pool_.size())
            throw Refusal{at, std::string(what) + " is constant pool entry " + std::to_string(index) +
                                  ", and the pool has " + std::to_string(pool_.size())};
        if (pool_[index].tag != tag)
            throw Refusal{at, std::string(what) + " is constant pool entry " + std::to_string(index) +
                                  ", which is no " + names[tag] + " entry"};
        return pool_[index];
    }

    std::string utf8(unsigned index, const char* what) { return poolEntry(index, utf8Tag, what).text; }

    std::string className(unsigned index, const char* what)
    {
        const PoolEntry& classref = poolEntry(index, classrefTag, what);
        if (classref.nameIndex >= pool_.size() || pool_[classref.nameIndex].tag != utf8Tag)
            throw Refusal{in_.position() - 2, std::string(what) + " is a Classref whose name is no Utf8 entry"};
        return pool_[classref.nameIndex].text;
    }

    PackageId packageAt(unsigned index, const char* what) { return poolEntry(index, packageTag, what).package; }

    Member member(bool field)
    {
        Member member;
        member.token = in_.u8(field ? "field token" : "method token");
        member.flags = in_.be16("access flags");
        member.name = utf8(in_.be16("name"), field ? "a field's name" : "a method's name");
        member.descriptor = utf8(in_.be16("descriptor"), field ? "a field's descriptor" : "a method's descriptor");
        if (!field)
            return member;
        const unsigned attributes = in_.be16("attribute count");
        for (unsigned i = 0; i < attributes; ++i) {
            const std::string name = utf8(in_.be16("attribute name"), "an attribute's name");
            const std::uint64_t lengthAt = in_.position();
            const std::uint32_t length = in_.be32("attribute length");
            if (name != "ConstantValue") {
                in_.skip(length, "attribute");
                continue;
            }
            if (length != 2)
                throw Refusal{lengthAt, "a ConstantValue attribute of " + std::to_string(length) + " bytes, not 2"};
            member.value = poolEntry(in_.be16("constant value"), integerTag, "a constant's value").value;
        }
        return member;
    }

    Class exportedClass(bool inheritable)
    {
        Class cls;
        cls.token = in_.u8("class token");
        cls.flags = in_.be16("class access flags");
        cls.name = className(in_.be16("class name"), "a class's name");
        const unsigned supers = in_.be16("superclass count");
        for (unsigned i = 0; i < supers; ++i)
            cls.supers.push_back(className(in_.be16("superclass"), "a superclass"));
        const unsigned interfaces = in_.u8("interface count");
        for (unsigned i = 0; i < interfaces; ++i)
            cls.interfaces.push_back(className(in_.be16("interface"), "an interface"));
        const unsigned fields = in_.be16("field count");
        for (unsigned i = 0; i < fields; ++i)
            cls.fields.push_back(member(true));
        const unsigned methods = in_.be16("method count");
        for (unsigned i = 0; i < methods; ++i)
            cls.methods.push_back(member(false));
        if (inheritable)
            cls.inheritableMethods = in_.u8("inheritable public method count");
        return cls;
    }

    ByteCursor in_;
    const std::string& source_;
    std::vector<PoolEntry> pool_;
};

// Constructors are called as static methods are, by a token of the static
// methods' numbering, though no static flag marks them.
bool ofStaticTokens(const Member& member)
{
    return member.isStatic() || member.name == "<init>";
}

const Member* findMember(const std::vector<Member>& members, unsigned token, bool isStatic)
{
    for (const auto& member : members)
        if (member.token == token && ofStaticTokens(member) == isStatic && member.token != 0xFF)
            return &member;
    return nullptr;
}

// The constant pool of a file being written: each name and package once.
class PoolWriter {
public:
    unsigned utf8(const std::string& text)
    {
        const auto [at, made] = utf8s_.try_emplace(text, count_);
        if (made) {
            append({utf8Tag, static_cast<std::uint8_t>(text.size() >> 8), static_cast<std::uint8_t>(text.size())});
            bytes_.insert(bytes_.end(), text.begin(), text.end());
        }
        return at->second;
    }
    unsigned classref(const std::string& name)
    {
        const auto found = classrefs_.find(name);
        if (found != classrefs_.end())
            return found->second;
        const unsigned nameIndex = utf8(name);
        classrefs_[name] = count_;
        append({classrefTag, static_cast<std::uint8_t>(nameIndex >> 8), static_cast<std::uint8_t>(nameIndex)});
        return classrefs_[name];
    }
    unsigned integer(std::int32_t value)
    {
        const auto v = static_cast<std::uint32_t>(value);
        append({integerTag, static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
        return count_ - 1;
    }
    unsigned package(const PackageId& package)
    {
        const unsigned nameIndex = utf8(package.name);
        append({packageTag, static_cast<std::uint8_t>(package.flags), static_cast<std::uint8_t>(nameIndex >> 8),
                static_cast<std::uint8_t>(nameIndex), static_cast<std::uint8_t>(package.minor),
                static_cast<std::uint8_t>(package.major), static_cast<std::uint8_t>(package.aid.size())});
        bytes_.insert(bytes_.end(), package.aid.begin(), package.aid.end());
        return count_ - 1;
    }
    unsigned count() const { return count_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    void append(std::initializer_list<std::uint8_t> entry)
    {
        bytes_.insert(bytes_.end(), entry.begin(), entry.end());
        ++count_;
    }
    std::map<std::string, unsigned> utf8s_, classrefs_;
    std::vector<std::uint8_t> bytes_;
    unsigned count_ = 0;
};

void put16(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

} // namespace

std::string dotted(std::string name)
{
    for (auto& c : name)
        if (c == '/')
            c = '.';
    return name;
}

std::string PackageId::text() const
{
    return (name.empty() ? hexText(aid, HexCase::Upper) : dotted(name)) + " " + std::to_string(major) + "." +
           std::to_string(minor);
}

const Member* Class::field(unsigned token, bool isStatic) const
{
    return findMember(fields, token, isStatic);
}

const Member* Class::method(unsigned token, bool isStatic) const
{
    return findMember(methods, token, isStatic);
}

const Class* ExportFile::classByToken(unsigned token) const
{
    for (const auto& cls : classes)
        if (cls.token == token)
            return &cls;
    return nullptr;
}

const Class* ExportFile::classByName(const std::string& name) const
{
    for (const auto& cls : classes)
        if (cls.name == name)
            return &cls;
    return nullptr;
}

ExportFile readExportFile(Bytes bytes, const std::string& source)
{
    Reader reader(bytes, source);
    return reader.guarded([&] { return reader.file(false); });
}

PackageId readExportPackage(Bytes bytes, const std::string& source)
{
    Reader reader(bytes, source);
    return reader.guarded([&] { return reader.file(true).package; });
}

std::vector<std::uint8_t> writeExportFile(const ExportFile& file)
{
    // Names first, so that what follows the pool only points into it.
    PoolWriter pool;
    const unsigned thisPackage = pool.package(file.package);
    std::vector<unsigned> referenced;
    for (const auto& package : file.referenced)
        referenced.push_back(pool.package(package));
    std::vector<std::uint8_t> classes;
    classes.push_back(static_cast<std::uint8_t>(file.classes.size()));
    for (const auto& cls : file.classes) {
        classes.push_back(static_cast<std::uint8_t>(cls.token));
        put16(classes, cls.flags);
        put16(classes, pool.classref(cls.name));
        put16(classes, static_cast<unsigned>(cls.supers.size()));
        for (const auto& super : cls.supers)
            put16(classes, pool.classref(super));
        classes.push_back(static_cast<std::uint8_t>(cls.interfaces.size()));
        for (const auto& interface : cls.interfaces)
            put16(classes, pool.classref(interface));
        for (const auto* members : {&cls.fields, &cls.methods}) {
            put16(classes, static_cast<unsigned>(members->size()));
            for (const auto& member : *members) {
                classes.push_back(static_cast<std::uint8_t>(member.token));
                put16(classes, member.flags);
                put16(classes, pool.utf8(member.name));
                put16(classes, pool.utf8(member.descriptor));
                if (members == &cls.methods)
                    continue;
                put16(classes, member.value ? 1 : 0);
                if (member.value) {
                    put16(classes, pool.utf8("ConstantValue"));
                    classes.insert(classes.end(), {0, 0, 0, 2});
                    put16(classes, pool.integer(*member.value));
                }
            }
        }
        if (file.formatMinor >= 3)
            classes.push_back(static_cast<std::uint8_t>(cls.inheritableMethods.value_or(0)));
    }
    std::vector<std::uint8_t> out{0x00,
                                  0xFA,
                                  0xCA,
                                  0xDE,
                                  static_cast<std::uint8_t>(file.formatMinor),
                                  static_cast<std::uint8_t>(file.formatMajor)};
    put16(out, pool.count());
    out.insert(out.end(), pool.bytes().begin(), pool.bytes().end());
    put16(out, thisPackage);
    if (file.formatMinor >= 3) {
        out.push_back(static_cast<std::uint8_t>(referenced.size()));
        for (const unsigned index : referenced)
            put16(out, index);
    }
    out.insert(out.end(), classes.begin(), classes.end());
    return out;
}

} // namespace tolvane::exp
