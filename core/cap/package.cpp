#include "core/cap/package.h"

#include "core/base/byte_cursor.h"
#include "core/cap/bytecode.h"

#include <algorithm>
#include <map>

namespace tolvane::cap {

const char* componentTitle(std::uint8_t tag)
{
    static const char* const titles[] = {
        "",       "Header",      "Directory",         "Applet", "Import",     "ConstantPool", "Class",
        "Method", "StaticField", "ReferenceLocation", "Export", "Descriptor", "Debug",        "StaticResources"};
    return tag <= lastTag ? titles[tag] : "custom";
}

const char* componentEntryName(std::uint8_t tag)
{
    static const char* const names[] = {
        "",          "Header.cap",          "Directory.cap",   "Applet.cap",      "Import.cap", "ConstantPool.cap",
        "Class.cap", "Method.cap",          "StaticField.cap", "RefLocation.cap", "Export.cap", "Descriptor.cap",
        "Debug.cap", "StaticResources.capx"};
    return tag >= 1 && tag <= lastTag ? names[tag] : nullptr;
}

const char* poolKindName(std::uint8_t kind)
{
    static const char* const names[] = {
        "", "classref", "instance_field", "virtual_method", "super_method", "static_field", "static_method"};
    return kind >= 1 && kind <= 6 ? names[kind] : "unknown";
}

std::vector<DescribedType> describedTypes(const std::vector<std::uint8_t>& nibbles)
{
    std::vector<DescribedType> types;
    for (std::size_t at = 0; at < nibbles.size();) {
        DescribedType type{nibbles[at++], std::nullopt};
        if (type.code == 0x6 || type.code == 0xE) {
            if (at + 4 <= nibbles.size())
                type.cls = ClassRef{static_cast<std::uint16_t>(nibbles[at] << 12 | nibbles[at + 1] << 8 |
                                                               nibbles[at + 2] << 4 | nibbles[at + 3])};
            at += 4;
        }
        types.push_back(type);
    }
    return types;
}

std::string Finding::text() const
{
    return std::string(componentTitle(tag)) + ", " + field + " at offset " + std::to_string(offset) + ": " + problem;
}

namespace {

// Reads one component, turning a field it lacks into a finding that names
// the component, the field and where it was wanted.
class ComponentReader {
public:
    ComponentReader(std::uint8_t tag, Bytes content) : tag_(tag), cursor_(content) {}

    template <typename Read> void read(Read body)
    {
        try {
            body(cursor_);
        } catch (const ByteCursor::ShortRead& error) {
            throw FindingError{{tag_, "component", static_cast<unsigned>(error.offset()),
                                std::string("it ends too soon: ") + error.what()}};
        }
    }

    // The layout is followed to the component's last byte: bytes beyond it
    // are refused.
    void expectEnd(const char* after)
    {
        if (!cursor_.atEnd())
            throw FindingError{{tag_, "component", static_cast<unsigned>(cursor_.position()),
                                std::to_string(cursor_.remaining()) + " bytes follow " + after}};
    }

private:
    std::uint8_t tag_;
    ByteCursor cursor_;
};

ClassRef classRef(ByteCursor& cursor, const char* field)
{
    return ClassRef{cursor.be16(field)};
}

unsigned placeOf(const ByteCursor& cursor)
{
    return static_cast<unsigned>(cursor.position());
}

Placed<unsigned> placedBe16(ByteCursor& cursor, const char* field)
{
    const unsigned place = placeOf(cursor);
    return {cursor.be16(field), place};
}

Placed<ClassRef> placedClassRef(ByteCursor& cursor, const char* field)
{
    const unsigned place = placeOf(cursor);
    return {classRef(cursor, field), place};
}

StaticRef staticRef(ByteCursor& cursor, const char* field)
{
    StaticRef ref;
    ref.first = cursor.u8(field);
    ref.second = cursor.u8(field);
    ref.third = cursor.u8(field);
    return ref;
}

std::vector<std::uint8_t> aid(ByteCursor& cursor, const char* field)
{
    const Bytes bytes = cursor.take(cursor.u8(field), field);
    return {bytes.begin(), bytes.end()};
}

class Decoder {
public:
    Decoder(const ComponentSet& components, unsigned capMinor) : c_(components) { p_.capMinor = capMinor; }

    Package decode()
    {
        directory();
        applets();
        imports();
        constantPool();
        classes();
        methodHandlers();
        staticField();
        referenceLocation();
        exports();
        descriptor();
        methods();
        debug();
        return std::move(p_);
    }

private:
    ComponentReader reader(std::uint8_t tag) const { return ComponentReader(tag, c_.content[tag]); }

    void directory()
    {
        auto r = reader(directoryTag);
        r.read([&](ByteCursor& in) {
            const unsigned lastSized = p_.capMinor == 1 ? descriptorTag : debugTag;
            for (unsigned tag = 1; tag <= lastSized; ++tag)
                p_.directory.sizes[tag] = in.be16("component size");
            if (p_.capMinor >= 3)
                p_.directory.sizes[staticResourcesTag] = in.be32("StaticResources size");
            p_.directory.imageSize = in.be16("image size");
            p_.directory.arrayInitCount = in.be16("array init count");
            p_.directory.arrayInitSize = in.be16("array init size");
            p_.directory.importCount = in.u8("import count");
            p_.directory.appletCount = in.u8("applet count");
            const unsigned customs = in.u8("custom count");
            for (unsigned i = 0; i < customs; ++i) {
                in.skip(3, "custom component tag and size");
                in.skip(in.u8("custom component AID length"), "custom component AID");
            }
        });
        r.expectEnd("the custom components");
    }

    void applets()
    {
        if (!c_.present[appletTag])
            return;
        auto r = reader(appletTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.u8("applet count");
            for (unsigned i = 0; i < count; ++i) {
                Applet applet;
                applet.aid = aid(in, "applet AID");
                applet.installOffset = placedBe16(in, "install method offset");
                p_.applets.push_back(std::move(applet));
            }
        });
        r.expectEnd("the applets");
    }

    void imports()
    {
        auto r = reader(importTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.u8("import count");
            for (unsigned i = 0; i < count; ++i) {
                Import package;
                package.minor = in.u8("minor version");
                package.major = in.u8("major version");
                package.aid = aid(in, "package AID");
                p_.imports.push_back(std::move(package));
            }
        });
        r.expectEnd("the imported packages");
    }

    void constantPool()
    {
        auto r = reader(constantPoolTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.be16("count");
            if (std::uint64_t{count} * 4 > in.remaining())
                in.skip(std::uint64_t{count} * 4, "entries");
            p_.pool.reserve(count);
            for (unsigned i = 0; i < count; ++i) {
                PoolEntry entry;
                entry.place = placeOf(in);
                entry.kind = in.u8("tag");
                const auto kind = static_cast<PoolKind>(entry.kind);
                if (kind == PoolKind::StaticField || kind == PoolKind::StaticMethod) {
                    entry.staticRef = staticRef(in, "static reference");
                } else {
                    entry.classRef = classRef(in, "class reference");
                    entry.token = in.u8("token");
                }
                p_.pool.push_back(entry);
            }
        });
        r.expectEnd("the entries");
    }

    void classes()
    {
        auto r = reader(classTag);
        const bool remoteInfo = p_.capMinor >= 2;
        r.read([&](ByteCursor& in) {
            if (remoteInfo)
                in.skip(in.be16("signature pool length"), "signature pool");
            while (!in.atEnd()) {
                ClassEntry entry;
                entry.offset = static_cast<unsigned>(in.position());
                const std::uint8_t bitfield = in.u8("flags and interface count");
                entry.flags = bitfield >> 4;
                entry.isInterface = (entry.flags & 0x8) != 0;
                const bool remote = (entry.flags & 0x2) != 0;
                const unsigned interfaceCount = bitfield & 0x0F;
                if (entry.isInterface) {
                    for (unsigned i = 0; i < interfaceCount; ++i)
                        entry.superInterfaces.push_back(placedClassRef(in, "superinterface"));
                    if (remote && remoteInfo)
                        in.skip(in.u8("interface name length"), "interface name");
                } else {
                    const Placed<ClassRef> super = placedClassRef(in, "super class");
                    if (super->raw != 0xFFFF)
                        entry.superClass = super;
                    entry.instanceSize = in.u8("declared instance size");
                    entry.firstReferenceToken = in.u8("first reference token");
                    entry.referenceCount = in.u8("reference count");
                    const unsigned publicBase = in.u8("public method table base");
                    const unsigned publicCount = in.u8("public method table count");
                    entry.publicBase = publicBase;
                    entry.packageBase = in.u8("package method table base");
                    const unsigned packageCount = in.u8("package method table count");
                    for (unsigned i = 0; i < publicCount; ++i)
                        entry.publicMethods.push_back(placedBe16(in, "public virtual method table"));
                    for (unsigned i = 0; i < packageCount; ++i)
                        entry.packageMethods.push_back(placedBe16(in, "package virtual method table"));
                    for (unsigned i = 0; i < interfaceCount; ++i) {
                        entry.implemented.push_back(placedClassRef(in, "implemented interface"));
                        const Bytes indexes = in.take(in.u8("interface method count"), "interface method indexes");
                        entry.implementedIndexes.emplace_back(indexes.begin(), indexes.end());
                    }
                    if (remote && remoteInfo) {
                        const unsigned remoteMethods = in.u8("remote methods count");
                        in.skip(std::uint64_t{remoteMethods} * 5, "remote methods");
                        in.skip(in.u8("hash modifier length"), "hash modifier");
                        in.skip(in.u8("class name length"), "class name");
                        in.skip(std::uint64_t{in.u8("remote interfaces count")} * 2, "remote interfaces");
                    }
                    // CAP 2.3 adds the public methods' token mapping, one byte
                    // for each token up to the table's end, and a count of
                    // the tokens a CAP 2.2 class would inherit.
                    if (p_.capMinor >= 3) {
                        in.skip(publicBase + publicCount, "public virtual method token mapping");
                        in.skip(1, "inheritable public method token count");
                    }
                }
                p_.classEntries.push_back(std::move(entry));
            }
        });
    }

    void methodHandlers()
    {
        auto r = reader(methodTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.u8("handler count");
            for (unsigned i = 0; i < count; ++i) {
                Handler handler;
                handler.place = static_cast<unsigned>(in.position());
                handler.start = in.be16("handler start offset");
                const unsigned bitfield = in.be16("handler active length");
                handler.lastInTry = (bitfield & 0x8000) != 0;
                handler.length = bitfield & 0x7FFF;
                handler.handlerOffset = placedBe16(in, "handler offset");
                handler.catchType = placedBe16(in, "catch type index");
                p_.handlers.push_back(handler);
            }
        });
    }

    void staticField()
    {
        auto r = reader(staticFieldTag);
        r.read([&](ByteCursor& in) {
            StaticImage& image = p_.staticImage;
            image.imageSize = placedBe16(in, "image size");
            image.referenceCount = in.be16("reference count");
            image.arrayInitCount = placedBe16(in, "array init count");
            image.arrayInitBytes.place = placeOf(in);
            for (unsigned i = 0; i < image.arrayInitCount; ++i) {
                in.skip(1, "array type");
                const unsigned count = in.be16("array count");
                in.skip(count, "array values");
                image.arrayInitBytes.value += count;
            }
            in.skip(2, "default value count");
            in.skip(in.be16("non-default value count"), "non-default values");
        });
        r.expectEnd("the non-default values");
    }

    void referenceLocation()
    {
        auto r = reader(refLocationTag);
        const auto offsets = [](ByteCursor& in, const char* countField, const char* field) {
            IndexList list;
            const unsigned count = in.be16(countField);
            unsigned at = 0;
            for (unsigned i = 0; i < count; ++i) {
                const unsigned place = placeOf(in);
                const unsigned step = in.u8(field);
                at += step;
                if (step != 255)
                    list.offsets.push_back({at, place});
            }
            list.end = placeOf(in);
            return list;
        };
        r.read([&](ByteCursor& in) {
            p_.byteIndexes = offsets(in, "byte index count", "offsets to byte indices");
            p_.byte2Indexes = offsets(in, "byte2 index count", "offsets to byte2 indices");
        });
        r.expectEnd("the two lists");
    }

    void exports()
    {
        if (!c_.present[exportTag])
            return;
        auto r = reader(exportTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.u8("class count");
            for (unsigned i = 0; i < count; ++i) {
                ExportClass exported;
                exported.classOffset = placedBe16(in, "class offset");
                const unsigned fields = in.u8("static field count");
                const unsigned methods = in.u8("static method count");
                for (unsigned k = 0; k < fields; ++k)
                    exported.staticFields.push_back(placedBe16(in, "static field offset"));
                for (unsigned k = 0; k < methods; ++k)
                    exported.staticMethods.push_back(placedBe16(in, "static method offset"));
                p_.exports.push_back(std::move(exported));
            }
        });
        r.expectEnd("the exported classes");
    }

    void descriptor()
    {
        auto r = reader(descriptorTag);
        r.read([&](ByteCursor& in) {
            const unsigned count = in.u8("class count");
            for (unsigned i = 0; i < count; ++i) {
                DescribedClass cls;
                cls.token = in.u8("class token");
                cls.flags = in.u8("class access flags");
                cls.thisRef = placedClassRef(in, "this class reference");
                const unsigned interfaces = in.u8("interface count");
                const unsigned fields = in.be16("field count");
                const unsigned methods = in.be16("method count");
                for (unsigned k = 0; k < interfaces; ++k)
                    cls.interfaces.push_back(classRef(in, "interface"));
                for (unsigned k = 0; k < fields; ++k) {
                    Field field;
                    field.token = in.u8("field token");
                    field.flags = in.u8("field access flags");
                    field.ref = staticRef(in, "field reference");
                    field.type = in.be16("field type");
                    cls.fields.push_back(field);
                }
                for (unsigned k = 0; k < methods; ++k) {
                    Method method;
                    method.place = placeOf(in);
                    method.token = in.u8("method token");
                    method.flags = in.u8("method access flags");
                    method.offset = placedBe16(in, "method offset");
                    method.typeOffset = in.be16("type offset");
                    method.bytecodeCount = placedBe16(in, "bytecode count");
                    method.handlerCount = in.be16("exception handler count");
                    method.handlerIndex = in.be16("exception handler index");
                    cls.methods.push_back(std::move(method));
                }
                p_.classes.push_back(std::move(cls));
            }
            p_.descriptorPoolCount = placedBe16(in, "constant pool count");
            // Type offsets count from the constant pool count.
            const unsigned typesStart = p_.descriptorPoolCount.place;
            for (unsigned k = 0; k < p_.descriptorPoolCount.value; ++k)
                p_.poolTypes.push_back(placedBe16(in, "constant pool types"));
            // The type descriptors run to the component's end, each a count of
            // nibbles and the nibbles two a byte.
            while (!in.atEnd()) {
                const unsigned at = placeOf(in) - typesStart;
                const unsigned count = in.u8("type descriptor length");
                const Bytes packed = in.take((count + 1) / 2, "type descriptor");
                std::vector<std::uint8_t> nibbles;
                for (unsigned n = 0; n < count; ++n)
                    nibbles.push_back(n % 2 == 0 ? packed[n / 2] >> 4 : packed[n / 2] & 0x0F);
                p_.types.emplace(at, std::move(nibbles));
            }
        });
    }

    // Cuts Method into methods by the Descriptor's offsets: sorted, they must
    // tile it from the end of the handlers to its last byte.
    void methods()
    {
        const Bytes method = c_.content[methodTag];
        std::vector<Method*> placed;
        for (auto& cls : p_.classes)
            for (auto& m : cls.methods)
                if (m.defined())
                    placed.push_back(&m);
        std::sort(placed.begin(), placed.end(), [](const Method* a, const Method* b) { return a->offset < b->offset; });
        unsigned expected = 1 + 8 * static_cast<unsigned>(p_.handlers.size());
        for (Method* m : placed) {
            if (m->offset != expected) {
                const std::string where = m->offset < expected
                                              ? "inside the one before it, which ends at " + std::to_string(expected)
                                              : "but the one before it ends at " + std::to_string(expected) +
                                                    ", leaving bytes that belong to no method";
                throw FindingError{{descriptorTag, "method offset", m->offset.place,
                                    "the method with token " + std::to_string(m->token) + " begins at " +
                                        std::to_string(m->offset) + " in Method, " + where}};
            }
            if (m->offset + 2 > method.size())
                throw FindingError{{methodTag, "method header", m->offset, "the method header runs past Method's end"}};
            const std::uint8_t first = method[m->offset];
            MethodHeader& h = m->header;
            if ((first & 0x80) != 0) {
                if (m->offset + 4 > method.size())
                    throw FindingError{
                        {methodTag, "method header", m->offset, "the extended method header runs past Method's end"}};
                h = {static_cast<std::uint8_t>(first >> 4), method[m->offset + 1], method[m->offset + 2],
                     method[m->offset + 3], 4};
            } else {
                const std::uint8_t second = method[m->offset + 1];
                h = {static_cast<std::uint8_t>(first >> 4), first & 0x0Fu, static_cast<unsigned>(second >> 4),
                     second & 0x0Fu, 2};
            }
            const unsigned start = m->bytecodeStart();
            const unsigned end = m->end();
            if (end > method.size())
                throw FindingError{{descriptorTag, "bytecode count", m->bytecodeCount.place,
                                    "the method at " + std::to_string(m->offset) + " has " +
                                        std::to_string(m->bytecodeCount) + " bytes of bytecode, past Method's end at " +
                                        std::to_string(method.size())}};
            m->instructions = disassemble(method, start, end);
            expected = end;
        }
        if (expected != method.size())
            throw FindingError{{methodTag, "methods", expected,
                                std::to_string(method.size() - std::min<std::size_t>(expected, method.size())) +
                                    " bytes of Method belong to no method of the Descriptor"}};
    }

    void debug()
    {
        if (!c_.present[debugTag])
            return;
        p_.hasDebug = true;
        // Debug is never sent to a card: what is wrong in it is a warning.
        try {
            auto r = reader(debugTag);
            r.read([&](ByteCursor& in) {
                std::vector<std::string> strings(in.be16("string count"));
                for (auto& text : strings) {
                    const Bytes bytes = in.take(in.be16("string length"), "string");
                    text.assign(bytes.begin(), bytes.end());
                }
                const auto name = [&](const char* field) {
                    const unsigned index = in.be16(field);
                    if (index >= strings.size())
                        throw FindingError{{debugTag, field, static_cast<unsigned>(in.position() - 2),
                                            "string index " + std::to_string(index) + " is past the " +
                                                std::to_string(strings.size()) + " strings"}};
                    return strings[index];
                };
                p_.debugPackageName = name("package name index");
                const unsigned classCount = in.be16("class count");
                for (unsigned i = 0; i < classCount; ++i) {
                    DebugClass cls;
                    cls.name = name("class name index");
                    cls.flags = in.be16("class access flags");
                    cls.location = placedBe16(in, "class location");
                    // No superclass (java.lang.Object) is written as 0xFFFF.
                    if (const unsigned super = in.be16("super class name"); super != 0xFFFF) {
                        if (super >= strings.size())
                            throw FindingError{{debugTag, "super class name", static_cast<unsigned>(in.position() - 2),
                                                "string index " + std::to_string(super) + " is past the " +
                                                    std::to_string(strings.size()) + " strings"}};
                        cls.superName = strings[super];
                    }
                    if (const unsigned source = in.be16("source file"); source < strings.size())
                        cls.sourceFile = strings[source];
                    const unsigned interfaces = in.u8("interface count");
                    const unsigned fields = in.be16("field count");
                    const unsigned methods = in.be16("method count");
                    for (unsigned k = 0; k < interfaces; ++k)
                        cls.interfaces.push_back(name("interface name index"));
                    for (unsigned k = 0; k < fields; ++k) {
                        DebugField field;
                        field.name = name("field name index");
                        field.descriptor = name("field descriptor index");
                        field.flags = in.be16("field access flags");
                        field.contents = in.be32("field contents");
                        cls.fields.push_back(std::move(field));
                    }
                    for (unsigned k = 0; k < methods; ++k) {
                        DebugMethod method;
                        method.name = name("method name index");
                        method.descriptor = name("method descriptor index");
                        method.flags = in.be16("method access flags");
                        method.location = placedBe16(in, "method location");
                        method.headerSize = in.u8("header size");
                        in.skip(2, "body size");
                        const unsigned variables = in.be16("variable count");
                        const unsigned lines = in.be16("line count");
                        for (unsigned v = 0; v < variables; ++v) {
                            DebugVariable variable;
                            variable.index = in.u8("variable index");
                            variable.name = name("variable name index");
                            variable.descriptor = name("variable descriptor index");
                            variable.start = in.be16("variable start");
                            variable.length = in.be16("variable length");
                            method.variables.push_back(std::move(variable));
                        }
                        for (unsigned l = 0; l < lines; ++l) {
                            DebugLine line;
                            line.start = in.be16("line start");
                            line.end = in.be16("line end");
                            line.line = in.be16("source line");
                            method.lines.push_back(line);
                        }
                        cls.methods.push_back(std::move(method));
                    }
                    p_.debugClasses.push_back(std::move(cls));
                }
            });
            r.expectEnd("the classes");
        } catch (const FindingError& error) {
            p_.debugFindings.push_back(error.finding);
            p_.debugClasses.clear();
            return;
        }
        nameFromDebug();
    }

    void nameFromDebug()
    {
        std::map<unsigned, const DebugClass*> classAt;
        std::map<unsigned, const DebugMethod*> methodAt;
        for (const auto& cls : p_.debugClasses) {
            classAt[cls.location] = &cls;
            for (const auto& method : cls.methods)
                if (method.location != 0)
                    methodAt[method.location] = &method;
        }
        for (auto& cls : p_.classes) {
            if (!cls.thisRef->external())
                if (const auto found = classAt.find(cls.thisRef->offset()); found != classAt.end())
                    cls.name = found->second->name;
            for (auto& method : cls.methods)
                if (method.defined())
                    if (const auto found = methodAt.find(method.offset); found != methodAt.end())
                        method.name = found->second->name;
        }
    }

    const ComponentSet& c_;
    Package p_;
};

} // namespace

Package decodePackage(const ComponentSet& components, unsigned capMinor)
{
    return Decoder(components, capMinor).decode();
}

} // namespace tolvane::cap
