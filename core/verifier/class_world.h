#pragma once

// What the bytecode verifier knows of classes and of the values a method
// handles: a value's type as the verifier tracks it, word by word, and the
// relations between classes (the package's own from its Class component,
// those of imported packages from their export files where given).

#include "core/cap/package.h"
#include "core/exp/export_file.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::verifier {

// A class reference as the CAP file encodes it (ClassRef::raw); anyClass
// stands for a class that nothing tells: the merge of classes whose common
// superclass is not known, or a caught Throwable.
using ClassKey = std::uint16_t;
constexpr ClassKey anyClass = 0xFFFF;

// One word of the stack or of the locals. An int takes two: its high word,
// then its low one.
struct Value {
    enum class Kind : std::uint8_t {
        Unusable, // nothing a method may read: an unset local, or one whose ways in disagree
        Short,    // boolean, byte and short
        IntHigh,
        IntLow,
        Null,
        Object,        // an instance of `cls` or of a subclass
        Array,         // of `element`: 'Z', 'B', 'S', 'I', or 'L' of `cls`
        Uninitialised, // made by the `new` at `at`, of `cls`, before its constructor runs
        UninitialisedThis,
        ReturnAddress, // from a jsr to the subroutine at `at`
        // The result of a call to an interface method that no file types,
        // until its first use says what it is (or that there was none).
        Pending,
    };
    Kind kind = Kind::Unusable;
    std::uint8_t element = 0;
    ClassKey cls = 0;
    std::uint32_t at = 0;

    bool operator==(const Value&) const = default;
    bool isReference() const { return kind == Kind::Null || kind == Kind::Object || kind == Kind::Array; }

    static Value of(Kind kind) { return {kind, 0, 0, 0}; }
    static Value object(ClassKey cls) { return {Kind::Object, 0, cls, 0}; }
    static Value array(std::uint8_t element, ClassKey cls = 0) { return {Kind::Array, element, cls, 0}; }
};

// "boolean[]", "byte[]", "short[]" or "int[]" for an array of `element`;
// nullptr for an array of references.
const char* primitiveArrayName(std::uint8_t element);

// A type of the Descriptor component as values: a field's, a parameter's or
// a return type's. Void is an empty list; an int is two words.
using Words = std::vector<Value>;

struct MethodType {
    std::vector<Words> parameters;
    Words result;
    bool isVoid = true;
    unsigned parameterWords() const;
};

// Answers on class relations: yes, no, or unknown where an imported class
// has no export file to tell.
enum class Answer { Yes, No, Unknown };

class ClassWorld {
public:
    ClassWorld(const cap::Package& package, const std::vector<std::shared_ptr<const exp::ExportFile>>& imported);

    // Whether a value of class `from` may be used where `to` is wanted.
    Answer assignable(ClassKey from, ClassKey to) const;
    // Whether a reference (null, object or array) may be used where `wanted`
    // (an object or an array) is.
    Answer assignable(const Value& from, const Value& wanted) const;
    // The nearest class both extend; anyClass where it cannot be told.
    ClassKey commonSuper(ClassKey a, ClassKey b) const;
    std::optional<bool> isInterface(ClassKey cls) const;

    // Descriptor nibbles as words (a field's type), or as a method's type.
    Words fieldType(const std::vector<std::uint8_t>& nibbles) const;
    MethodType methodType(const std::vector<std::uint8_t>& nibbles) const;
    // A JVM descriptor from an export file ("(S[B)Z"), classes named by
    // the imported export files; nullopt where it cannot be read.
    std::optional<MethodType> methodType(const std::string& descriptor) const;

    // "javacard.framework.APDU", or by token where nothing names it.
    std::string className(ClassKey cls) const;
    // "a short", "a reference (javacard.framework.APDU)", "a byte[]", ...
    std::string describe(const Value& value) const;

    const exp::Class* imported(ClassKey cls) const;
    // A class by its JVM name, among the imported export files' and the
    // package's own (named by Debug).
    std::optional<ClassKey> classNamed(const std::string& name) const { return byName(name); }
    const cap::ClassEntry* entry(ClassKey cls) const;

private:
    // The classes `cls` extends, nearest first, as far as they are known;
    // `complete` says whether the list reaches a class without a superclass.
    std::vector<ClassKey> supers(ClassKey cls, bool& complete) const;
    std::optional<ClassKey> byName(const std::string& name) const;
    Words words(const cap::DescribedType& type) const;

    const cap::Package& package_;
    const std::vector<std::shared_ptr<const exp::ExportFile>>& imported_;
};

} // namespace tolvane::verifier
