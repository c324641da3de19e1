#include "core/verifier/class_world.h"

#include "core/base/hex.h"
#include "core/cap/java_card.h"

#include <algorithm>

namespace tolvane::verifier {
namespace {

using cap::ClassRef;

bool isExternal(ClassKey cls)
{
    return cls != anyClass && ClassRef{cls}.external();
}

} // namespace

const char* primitiveArrayName(std::uint8_t element)
{
    switch (element) {
    case 'Z':
        return "boolean[]";
    case 'B':
        return "byte[]";
    case 'S':
        return "short[]";
    case 'I':
        return "int[]";
    default:
        return nullptr;
    }
}

unsigned MethodType::parameterWords() const
{
    unsigned words = 0;
    for (const auto& parameter : parameters)
        words += static_cast<unsigned>(parameter.size());
    return words;
}

ClassWorld::ClassWorld(const cap::Package& package, const std::vector<std::shared_ptr<const exp::ExportFile>>& imported)
    : package_(package), imported_(imported)
{
}

const cap::ClassEntry* ClassWorld::entry(ClassKey cls) const
{
    if (cls == anyClass || isExternal(cls))
        return nullptr;
    const auto found = std::lower_bound(package_.classEntries.begin(), package_.classEntries.end(), cls,
                                        [](const cap::ClassEntry& e, unsigned offset) { return e.offset < offset; });
    return found != package_.classEntries.end() && found->offset == cls ? &*found : nullptr;
}

const exp::Class* ClassWorld::imported(ClassKey cls) const
{
    if (!isExternal(cls))
        return nullptr;
    const ClassRef ref{cls};
    if (ref.package() >= imported_.size() || !imported_[ref.package()])
        return nullptr;
    return imported_[ref.package()]->classByToken(ref.token());
}

std::optional<ClassKey> ClassWorld::byName(const std::string& name) const
{
    for (std::size_t p = 0; p < imported_.size(); ++p)
        if (imported_[p])
            if (const exp::Class* cls = imported_[p]->classByName(name))
                return static_cast<ClassKey>(0x8000 | p << 8 | cls->token);
    for (const auto& debug : package_.debugClasses)
        if (debug.name == name)
            return static_cast<ClassKey>(debug.location.value);
    return std::nullopt;
}

std::vector<ClassKey> ClassWorld::supers(ClassKey cls, bool& complete) const
{
    std::vector<ClassKey> chain;
    complete = false;
    // Inside the package the chain follows Class; a class refers only to
    // classes before it, but a damaged file may loop, so the chain is bounded.
    while (chain.size() <= package_.classEntries.size()) {
        const cap::ClassEntry* e = entry(cls);
        if (e == nullptr)
            break;
        if (!e->superClass) {
            complete = true;
            return chain;
        }
        cls = e->superClass->value.raw;
        chain.push_back(cls);
    }
    if (const exp::Class* outer = imported(cls)) {
        // Only java.lang.Object has no superclass: a list that stops short
        // tells nothing past its end.
        if (outer->supers.empty() && outer->name != "java/lang/Object")
            return chain;
        for (const auto& name : outer->supers) {
            const auto key = byName(name);
            if (!key)
                return chain;
            chain.push_back(*key);
        }
        complete = true;
    }
    return chain;
}

std::optional<bool> ClassWorld::isInterface(ClassKey cls) const
{
    if (const cap::ClassEntry* e = entry(cls))
        return e->isInterface;
    if (const exp::Class* c = imported(cls))
        return c->isInterface();
    return std::nullopt;
}

Answer ClassWorld::assignable(ClassKey from, ClassKey to) const
{
    if (from == to)
        return Answer::Yes;
    if (from == anyClass || to == anyClass)
        return Answer::Unknown;
    // Like the Java verifier, an interface takes any object: which
    // interfaces a class implements is checked where it is cast or called.
    const auto toInterface = isInterface(to);
    if (!toInterface)
        return Answer::Unknown;
    if (*toInterface)
        return Answer::Yes;
    bool complete = false;
    const auto chain = supers(from, complete);
    if (std::find(chain.begin(), chain.end(), to) != chain.end())
        return Answer::Yes;
    if (complete)
        return Answer::No;
    // The chain stops at an imported class nothing describes: a class of
    // this package is never among its superclasses, an imported one may be.
    return isExternal(to) ? Answer::Unknown : Answer::No;
}

Answer ClassWorld::assignable(const Value& from, const Value& wanted) const
{
    using Kind = Value::Kind;
    if (from.kind == Kind::Null)
        return Answer::Yes;
    if (wanted.kind == Kind::Object) {
        if (from.kind == Kind::Object)
            return assignable(from.cls, wanted.cls);
        if (from.kind != Kind::Array)
            return Answer::No;
        // An array is an Object and nothing else.
        if (wanted.cls == anyClass)
            return Answer::Unknown;
        if (const exp::Class* c = imported(wanted.cls))
            return c->supers.empty() || c->isInterface() ? Answer::Yes : Answer::No;
        return isExternal(wanted.cls) ? Answer::Unknown : Answer::No;
    }
    if (wanted.kind == Kind::Array) {
        if (from.kind == Kind::Object)
            return from.cls == anyClass ? Answer::Unknown : Answer::No;
        if (from.kind != Kind::Array || from.element != wanted.element)
            return Answer::No;
        return from.element == 'L' ? assignable(from.cls, wanted.cls) : Answer::Yes;
    }
    return Answer::No;
}

ClassKey ClassWorld::commonSuper(ClassKey a, ClassKey b) const
{
    if (a == b)
        return a;
    if (a == anyClass || b == anyClass)
        return anyClass;
    bool completeA = false, completeB = false;
    auto chainA = supers(a, completeA);
    auto chainB = supers(b, completeB);
    chainA.insert(chainA.begin(), a);
    chainB.insert(chainB.begin(), b);
    for (const ClassKey cls : chainA)
        if (std::find(chainB.begin(), chainB.end(), cls) != chainB.end())
            return cls;
    return anyClass;
}

Words ClassWorld::words(const cap::DescribedType& type) const
{
    const ClassKey cls = type.cls ? type.cls->raw : anyClass;
    switch (type.code) {
    case 0x2:
    case 0x3:
    case 0x4:
        return {Value::of(Value::Kind::Short)};
    case 0x5:
        return {Value::of(Value::Kind::IntHigh), Value::of(Value::Kind::IntLow)};
    case 0x6:
        return {Value::object(cls)};
    case 0xA:
        return {Value::array('Z')};
    case 0xB:
        return {Value::array('B')};
    case 0xC:
        return {Value::array('S')};
    case 0xD:
        return {Value::array('I')};
    case 0xE:
        return {Value::array('L', cls)};
    default: // void, or a nibble no type has
        return {};
    }
}

Words ClassWorld::fieldType(const std::vector<std::uint8_t>& nibbles) const
{
    const auto types = cap::describedTypes(nibbles);
    return types.empty() ? Words{} : words(types.front());
}

MethodType ClassWorld::methodType(const std::vector<std::uint8_t>& nibbles) const
{
    MethodType type;
    const auto types = cap::describedTypes(nibbles);
    if (types.empty())
        return type;
    for (std::size_t k = 0; k + 1 < types.size(); ++k)
        type.parameters.push_back(words(types[k]));
    type.result = words(types.back());
    type.isVoid = types.back().code == 0x1;
    return type;
}

std::optional<MethodType> ClassWorld::methodType(const std::string& descriptor) const
{
    if (descriptor.empty() || descriptor[0] != '(')
        return std::nullopt;
    MethodType type;
    std::size_t at = 1;
    const auto one = [&]() -> std::optional<Words> {
        bool array = false;
        if (at < descriptor.size() && descriptor[at] == '[') {
            array = true;
            ++at;
        }
        if (at >= descriptor.size())
            return std::nullopt;
        const char c = descriptor[at++];
        if (c == 'L') {
            const auto end = descriptor.find(';', at);
            if (end == std::string::npos)
                return std::nullopt;
            const ClassKey cls = byName(descriptor.substr(at, end - at)).value_or(anyClass);
            at = end + 1;
            return Words{array ? Value::array('L', cls) : Value::object(cls)};
        }
        if (array)
            return c == 'Z' || c == 'B' || c == 'S' || c == 'I' ? std::optional<Words>{{Value::array(c)}}
                                                                : std::nullopt;
        switch (c) {
        case 'Z':
        case 'B':
        case 'S':
            return Words{Value::of(Value::Kind::Short)};
        case 'I':
            return Words{Value::of(Value::Kind::IntHigh), Value::of(Value::Kind::IntLow)};
        case 'V':
            return Words{};
        default:
            return std::nullopt;
        }
    };
    while (at < descriptor.size() && descriptor[at] != ')') {
        auto words = one();
        if (!words)
            return std::nullopt;
        type.parameters.push_back(std::move(*words));
    }
    if (at >= descriptor.size())
        return std::nullopt;
    ++at;
    type.isVoid = at < descriptor.size() && descriptor[at] == 'V';
    auto result = one();
    if (!result || at != descriptor.size())
        return std::nullopt;
    type.result = std::move(*result);
    return type;
}

std::string ClassWorld::className(ClassKey cls) const
{
    if (cls == anyClass)
        return "a class not known here";
    if (const exp::Class* c = imported(cls))
        return exp::dotted(c->name);
    const ClassRef ref{cls};
    if (ref.external()) {
        std::string package = "package " + std::to_string(ref.package());
        if (ref.package() < package_.imports.size()) {
            const std::string aid = hexText(package_.imports[ref.package()].aid, HexCase::Upper);
            package = cap::wellKnownPackageName(aid).value_or(aid);
        }
        return package + " class " + std::to_string(ref.token());
    }
    for (const auto& described : package_.classes)
        if (described.thisRef->raw == cls) {
            if (described.name)
                return exp::dotted(*described.name);
            if (described.token != 0xFF)
                return "class token " + std::to_string(described.token);
        }
    return "the class at " + std::to_string(cls) + " in Class";
}

std::string ClassWorld::describe(const Value& value) const
{
    using Kind = Value::Kind;
    switch (value.kind) {
    case Kind::Unusable:
        return "nothing usable";
    case Kind::Short:
        return "a short";
    case Kind::IntHigh:
        return "an int";
    case Kind::IntLow:
        return "the second word of an int";
    case Kind::Null:
        return "null";
    case Kind::Object:
        return "a reference (" + className(value.cls) + ")";
    case Kind::Array:
        if (const char* name = primitiveArrayName(value.element))
            return std::string(value.element == 'I' ? "an " : "a ") + name;
        return "an array of " + className(value.cls);
    case Kind::Uninitialised:
        return "an object of " + className(value.cls) + " made at " + std::to_string(value.at) +
               " and not yet initialised";
    case Kind::UninitialisedThis:
        return "this, before its superclass's constructor has run";
    case Kind::ReturnAddress:
        return "a return address";
    case Kind::Pending:
        return "the result of an interface method";
    }
    return "nothing usable";
}

} // namespace tolvane::verifier
