#include "core/verifier/verifier.h"

#include "core/cap/bytecode.h"
#include "core/verifier/class_world.h"

#include <algorithm>
#include <optional>
#include <queue>
#include <set>
#include <string_view>

namespace tolvane::verifier {
namespace {

using cap::Instruction;
using cap::Method;
using cap::methodTag;
using Kind = Value::Kind;

std::string number(long long value)
{
    return std::to_string(value);
}

struct State {
    std::vector<Value> stack; // words, the top last
    std::vector<Value> locals;
    bool thisUninitialised = false; // a constructor before its super constructor
    bool operator==(const State&) const = default;
};

// A method's analysis stops at its first fault: what follows would only
// repeat it.
struct Fault {
    unsigned offset = 0;
    std::string problem;
};

// A fixed point is reached long before this many visits of each
// instruction; a method that has not settled by then is refused.
constexpr unsigned visitsPerInstruction = 64;

std::string brief(const ClassWorld& world, const Value& v)
{
    const auto shortName = [&](ClassKey cls) {
        const std::string name = world.className(cls);
        const auto dot = name.rfind('.');
        // A class named by token keeps its package's name; a named one is short.
        if (cls == anyClass)
            return std::string("Object?");
        return dot == std::string::npos || name.find(' ') != std::string::npos ? name : name.substr(dot + 1);
    };
    switch (v.kind) {
    case Kind::Unusable:
        return "-";
    case Kind::Short:
        return "short";
    case Kind::IntHigh:
        return "int";
    case Kind::IntLow:
        return "int.2";
    case Kind::Null:
        return "null";
    case Kind::Object:
        return shortName(v.cls);
    case Kind::Array:
        if (const char* name = primitiveArrayName(v.element))
            return name;
        return shortName(v.cls) + "[]";
    case Kind::Uninitialised:
        return "new " + shortName(v.cls) + "@" + number(v.at);
    case Kind::UninitialisedThis:
        return "this(uninitialised)";
    case Kind::ReturnAddress:
        return "return@" + number(v.at);
    case Kind::Pending:
        return "?";
    }
    return "-";
}

// What every method's analysis looks up, made once for the package: the
// methods by their offset, each ConstantPool entry's type as words, and
// the handlers of each method.
class PackageIndex {
public:
    PackageIndex(const cap::Package& package, const ClassWorld& world) : p_(package), world_(world)
    {
        for (const auto& cls : package.classes)
            for (const auto& method : cls.methods)
                if (method.defined())
                    methods_.emplace(method.offset.value, std::make_pair(&cls, &method));
        for (const auto& h : package.handlers)
            if (const auto* found = methodHolding(h.start))
                handlers_[found->offset.value].push_back(&h);
        types_.resize(package.pool.size());
    }

    // The class and method whose header is at `offset` in Method.
    std::pair<const cap::DescribedClass*, const Method*> methodAt(unsigned offset) const
    {
        const auto found = methods_.find(offset);
        return found == methods_.end() ? std::make_pair(nullptr, nullptr) : found->second;
    }

    const std::vector<const cap::Handler*>& handlersOf(const Method& method) const
    {
        static const std::vector<const cap::Handler*> none;
        const auto found = handlers_.find(method.offset.value);
        return found == handlers_.end() ? none : found->second;
    }

    // The Descriptor's type of ConstantPool entry `index`: its nibbles, and
    // as a method's type or a field's words; nullptr where it has none.
    struct PoolType {
        const std::vector<std::uint8_t>* nibbles = nullptr;
        MethodType method;
        Words field;
    };
    const PoolType* poolType(unsigned index)
    {
        if (index >= types_.size() || index >= p_.poolTypes.size())
            return nullptr;
        auto& kept = types_[index];
        if (!kept) {
            const auto found = p_.types.find(p_.poolTypes[index].value);
            if (found == p_.types.end())
                return nullptr;
            kept = PoolType{&found->second, world_.methodType(found->second), world_.fieldType(found->second)};
        }
        return &*kept;
    }

private:
    const Method* methodHolding(unsigned offset) const
    {
        auto found = methods_.upper_bound(offset);
        if (found == methods_.begin())
            return nullptr;
        --found;
        const Method* method = found->second.second;
        return offset >= method->bytecodeStart() && offset < method->end() ? method : nullptr;
    }

    const cap::Package& p_;
    const ClassWorld& world_;
    std::map<unsigned, std::pair<const cap::DescribedClass*, const Method*>> methods_;
    std::map<unsigned, std::vector<const cap::Handler*>> handlers_;
    std::vector<std::optional<PoolType>> types_;
};

// The room one method's analysis works in, kept from method to method so
// that a package's thousands of methods do not each make it anew.
struct Workspace {
    std::vector<int> indexAt;
    std::vector<bool> joins;
    std::vector<std::vector<const cap::Handler*>> guards;
    std::vector<std::optional<State>> states;
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> queue;
    std::vector<bool> queued;
    State scratch;
    std::vector<unsigned> unchecked; // offsets, perhaps more than once
};

class MethodVerifier {
public:
    MethodVerifier(const cap::Package& package, const ClassWorld& world, PackageIndex& index,
                   const cap::DescribedClass& cls, const Method& method, Workspace& work, bool keepStates)
        : p_(package), world_(world), cls_(cls), method_(method), code_(method.instructions),
          unchecked_(work.unchecked), index_(index), indexAt_(work.indexAt), joins_(work.joins), guards_(work.guards),
          states_(work.states), work_(work.queue), queued_(work.queued), keepStates_(keepStates), scratch_(work.scratch)
    {
    }

    std::optional<Fault> run()
    {
        try {
            // First, so that the states shown are this method's whatever is refused.
            states_.assign(code_.size(), std::nullopt);
            if (code_.empty())
                return std::nullopt;
            indexAt_.assign(method_.end() - method_.bytecodeStart(), -1);
            for (std::size_t i = 0; i < code_.size(); ++i)
                indexAt_[code_[i].offset - method_.bytecodeStart()] = static_cast<int>(i);
            type_ = methodType();
            markJoins();
            queued_.assign(code_.size(), false);
            work_ = {}; // a refused method leaves its queue
            merge(0, entryState());
            while (!work_.empty()) {
                const std::size_t i = work_.top();
                work_.pop();
                queued_[i] = false;
                step(i);
            }
        } catch (const Fault& fault) {
            return fault;
        }
        return std::nullopt;
    }

    // The types before each instruction, as --dump --types shows them.
    void states(std::map<unsigned, std::string>& out) const
    {
        for (std::size_t i = 0; i < code_.size(); ++i) {
            if (!states_[i]) {
                out[code_[i].offset] = "never reached";
                continue;
            }
            std::string text = "stack:";
            for (std::size_t k = 0; k < states_[i]->stack.size(); ++k)
                if (states_[i]->stack[k].kind != Kind::IntLow)
                    text += (k == 0 ? " " : ", ") + brief(world_, states_[i]->stack[k]);
            text += " | locals:";
            bool first = true;
            for (std::size_t k = 0; k < states_[i]->locals.size(); ++k) {
                const Value& v = states_[i]->locals[k];
                if (v.kind == Kind::Unusable || v.kind == Kind::IntLow)
                    continue;
                text += (first ? " " : ", ") + number(static_cast<long long>(k)) + " " + brief(world_, v);
                first = false;
            }
            out[code_[i].offset] = text;
        }
    }

private:
    bool isStatic() const { return (method_.flags & 0x08) != 0; }
    bool isConstructor() const { return (method_.flags & 0x80) != 0; }
    ClassKey thisClass() const { return cls_.thisRef->raw; }

    // --- where control goes ---------------------------------------------

    void markJoins()
    {
        joins_.assign(code_.size(), false);
        const auto join = [&](unsigned offset) {
            if (const auto i = indexOf(offset))
                joins_[*i] = true;
        };
        for (const auto& in : code_) {
            for (const unsigned target : in.targets)
                join(target);
            if (in.opcode == 0x71)
                join(in.offset + 3);
        }
        guards_.assign(code_.size(), {});
        for (const auto* h : index_.handlersOf(method_)) {
            join(h->handlerOffset);
            // The range is whole instructions, as the structural checks hold.
            for (auto i = indexOf(h->start); i && *i < code_.size() && code_[*i].offset < h->start + h->length; ++*i)
                guards_[*i].push_back(h);
        }
    }

    std::optional<std::size_t> indexOf(unsigned offset) const
    {
        if (offset < method_.bytecodeStart() || offset - method_.bytecodeStart() >= indexAt_.size() ||
            indexAt_[offset - method_.bytecodeStart()] < 0)
            return std::nullopt;
        return static_cast<std::size_t>(indexAt_[offset - method_.bytecodeStart()]);
    }

    // The instruction a branch goes to; the structural checks refuse a
    // target elsewhere, but the dump may ask for a package they refused.
    std::size_t targetOf(const Instruction& in, unsigned offset) const
    {
        const auto i = indexOf(offset);
        if (!i)
            fail(in, "goes to " + number(offset) + ", which is not an instruction of its method");
        return *i;
    }

    void enqueue(std::size_t i)
    {
        if (!queued_[i]) {
            queued_[i] = true;
            work_.push(i);
        }
    }

    State entryState()
    {
        State s;
        const MethodType& type = type_;
        const unsigned words = (isStatic() ? 0 : 1) + type.parameterWords();
        if (method_.header.nargs != words)
            throw Fault{method_.offset, "the header gives " + number(method_.header.nargs) +
                                            " argument words, but the method's type takes " + number(words)};
        s.locals.assign(method_.header.nargs + method_.header.maxLocals, Value{});
        std::size_t at = 0;
        if (!isStatic()) {
            s.locals[at++] = isConstructor() ? Value::of(Kind::UninitialisedThis) : Value::object(thisClass());
            s.thisUninitialised = isConstructor();
        }
        for (const auto& parameter : type.parameters)
            for (const Value& word : parameter)
                s.locals[at++] = word;
        return s;
    }

    MethodType methodType() const
    {
        const auto found = p_.types.find(method_.typeOffset);
        if (found == p_.types.end())
            throw Fault{method_.offset, "the method's type at " + number(method_.typeOffset) +
                                            " is not a type of the Descriptor component"};
        return world_.methodType(found->second);
    }

    // Takes `incoming` into the state before instruction `i`.
    void merge(std::size_t i, const State& arriving)
    {
        // Where ways meet, an interface call's result that nothing used was none.
        const bool pending = joins_[i] && std::any_of(arriving.stack.begin(), arriving.stack.end(),
                                                      [](const Value& v) { return v.kind == Kind::Pending; });
        std::optional<State> stripped;
        if (pending) {
            stripped = arriving;
            std::erase_if(stripped->stack, [](const Value& v) { return v.kind == Kind::Pending; });
        }
        const State& incoming = pending ? *stripped : arriving;
        auto& kept = states_[i];
        if (!kept) {
            kept = incoming;
            enqueue(i);
            return;
        }
        if (kept->stack.size() != incoming.stack.size())
            throw Fault{code_[i].offset, "the stack holds " + number(static_cast<long long>(kept->stack.size())) +
                                             " words at " + number(code_[i].offset) + " one way in and " +
                                             number(static_cast<long long>(incoming.stack.size())) + " another"};
        bool changed = absorb(kept->stack, incoming.stack);
        changed = absorb(kept->locals, incoming.locals) || changed;
        if (incoming.thisUninitialised && !kept->thisUninitialised) {
            kept->thisUninitialised = true;
            changed = true;
        }
        if (changed)
            enqueue(i);
    }

    // Merges `more` into `kept`, slot by slot; whether anything changed.
    bool absorb(std::vector<Value>& kept, const std::vector<Value>& more) const
    {
        bool changed = false;
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const Value merged = mergeValue(kept[k], more[k]);
            if (!(merged == kept[k])) {
                kept[k] = merged;
                changed = true;
            }
        }
        return changed;
    }

    // A handler starts with the caught exception alone on the stack and the
    // locals of every instruction it guards: `s` is one of them.
    void enterHandler(const cap::Handler& h, const State& s)
    {
        const auto target = indexOf(h.handlerOffset);
        if (!target)
            return;
        ClassKey caught = anyClass;
        if (h.catchType != 0 && h.catchType < p_.pool.size())
            caught = p_.pool[h.catchType].classRef.raw;
        auto& kept = states_[*target];
        if (!kept) {
            kept = State{{Value::object(caught)}, s.locals, s.thisUninitialised};
            enqueue(*target);
            return;
        }
        bool changed = absorb(kept->stack, {Value::object(caught)});
        changed = absorb(kept->locals, s.locals) || changed;
        if (s.thisUninitialised && !kept->thisUninitialised) {
            kept->thisUninitialised = true;
            changed = true;
        }
        if (changed)
            enqueue(*target);
    }

    Value mergeValue(const Value& a, const Value& b) const
    {
        if (a == b)
            return a;
        if (a.isReference() && b.isReference()) {
            if (a.kind == Kind::Null)
                return b;
            if (b.kind == Kind::Null)
                return a;
            if (a.kind == Kind::Object && b.kind == Kind::Object)
                return Value::object(world_.commonSuper(a.cls, b.cls));
            if (a.kind == Kind::Array && b.kind == Kind::Array && a.element == 'L' && b.element == 'L')
                return Value::array('L', world_.commonSuper(a.cls, b.cls));
            return Value::object(anyClass);
        }
        return Value{};
    }

    // --- one instruction -----------------------------------------------

    [[noreturn]] void fail(const Instruction& in, const std::string& problem) const
    {
        throw Fault{in.offset, std::string(cap::mnemonic(in.opcode)) + " at " + number(in.offset) + " " + problem};
    }

    void push(const Instruction& in, State& s, const Value& v) const
    {
        s.stack.push_back(v);
        checkHeight(in, s);
    }

    void checkHeight(const Instruction& in, const State& s) const
    {
        if (s.stack.size() <= method_.header.maxStack)
            return;
        unsigned words = 0;
        for (const Value& w : s.stack)
            words += w.kind == Kind::Pending ? 0 : 1;
        if (words > method_.header.maxStack)
            fail(in, "would put " + number(words) + " words on the stack, past the header's max_stack of " +
                         number(method_.header.maxStack));
    }

    void pushWords(const Instruction& in, State& s, const Words& words) const
    {
        for (const Value& w : words)
            push(in, s, w);
    }

    Value top(const Instruction& in, const State& s, const char* what) const
    {
        if (s.stack.empty())
            fail(in, "needs " + std::string(what) + " on the stack, which is empty");
        return s.stack.back();
    }

    void popShort(const Instruction& in, State& s) const
    {
        const Value v = top(in, s, "a short");
        if (v.kind != Kind::Short && v.kind != Kind::Pending)
            fail(in, "needs a short on the stack, where there is " + world_.describe(v));
        s.stack.pop_back();
    }

    void popInt(const Instruction& in, State& s) const
    {
        const Value v = top(in, s, "an int");
        if (v.kind == Kind::Pending) {
            s.stack.pop_back();
            return;
        }
        if (v.kind != Kind::IntLow || s.stack.size() < 2 || s.stack[s.stack.size() - 2].kind != Kind::IntHigh)
            fail(in, "needs an int on the stack, where there is " + world_.describe(v));
        s.stack.resize(s.stack.size() - 2);
    }

    // A reference, initialised; the result of an untyped interface call is
    // taken as one.
    Value popReference(const Instruction& in, State& s) const
    {
        const Value v = top(in, s, "a reference");
        if (v.kind == Kind::Pending) {
            s.stack.pop_back();
            return Value::object(anyClass);
        }
        if (!v.isReference())
            fail(in, "needs a reference on the stack, where there is " + world_.describe(v));
        s.stack.pop_back();
        return v;
    }

    // A reference that may be used where `wanted` (an object or array type)
    // is: `what` says for what.
    // What a popped value is for, named only when something is wrong.
    struct Role {
        const char* name;
        std::size_t number = 0; // an argument's
        std::string text() const { return number == 0 ? name : name + (" " + std::to_string(number)); }
    };

    void popAssignable(const Instruction& in, State& s, const Words& wanted, const Role& role)
    {
        if (wanted.empty())
            return;
        if (wanted.size() == 2) {
            popInt(in, s);
            return;
        }
        if (wanted[0].kind == Kind::Short) {
            if (!s.stack.empty() && s.stack.back().kind != Kind::Short && s.stack.back().kind != Kind::Pending)
                fail(in, "needs a short as " + role.text() + ", where there is " + world_.describe(s.stack.back()));
            popShort(in, s);
            return;
        }
        if (s.stack.empty())
            fail(in, "needs " + world_.describe(wanted[0]) + " as " + role.text() + ", where the stack is empty");
        const Value v = s.stack.back();
        if (v.kind != Kind::Pending && !v.isReference())
            fail(in, "needs " + world_.describe(wanted[0]) + " as " + role.text() + ", where there is " +
                         world_.describe(v));
        const Value got = popReference(in, s);
        judge(in, world_.assignable(got, wanted[0]), [&] {
            return "needs " + world_.describe(wanted[0]) + " as " + role.text() + ", where there is " +
                   world_.describe(got);
        });
    }

    // The message is made only for a refusal.
    template <typename Problem> void judge(const Instruction& in, Answer answer, const Problem& problem)
    {
        if (answer == Answer::No)
            fail(in, problem());
        if (answer == Answer::Unknown)
            unchecked_.push_back(in.offset);
    }

    // Words of the stack from `from` to the top are moved as a block: they
    // must not cut an int in two.
    void wholeWords(const Instruction& in, State& s, std::size_t count) const
    {
        if (s.stack.size() < count)
            fail(in, "needs " + number(static_cast<long long>(count)) + " words on the stack, where there are " +
                         number(static_cast<long long>(s.stack.size())));
        const std::size_t from = s.stack.size() - count;
        for (std::size_t k = from; k < s.stack.size(); ++k)
            if (s.stack[k].kind == Kind::Pending) {
                s.stack[k] = Value::of(Kind::Short);
                unchecked_.push_back(in.offset);
            }
        if (count > 0 && s.stack[from].kind == Kind::IntLow)
            fail(in, "would cut an int on the stack in two");
    }

    const Value& local(const Instruction& in, const State& s, unsigned index) const
    {
        if (index >= s.locals.size())
            fail(in, "uses local " + number(index) + ", past the method's " +
                         number(static_cast<long long>(s.locals.size())) + " locals");
        return s.locals[index];
    }

    void store(const Instruction& in, State& s, unsigned index, const Value& v) const
    {
        local(in, s, index);
        if (s.locals[index].kind == Kind::IntLow && index > 0)
            s.locals[index - 1] = Value{};
        if (s.locals[index].kind == Kind::IntHigh && index + 1 < s.locals.size())
            s.locals[index + 1] = Value{};
        s.locals[index] = v;
    }

    void loadShort(const Instruction& in, State& s, unsigned index) const
    {
        const Value& v = local(in, s, index);
        if (v.kind != Kind::Short)
            fail(in, "needs a short in local " + number(index) + ", which holds " + world_.describe(v));
        push(in, s, v);
    }

    void loadInt(const Instruction& in, State& s, unsigned index) const
    {
        const Value& v = local(in, s, index);
        if (v.kind != Kind::IntHigh || index + 1 >= s.locals.size() || s.locals[index + 1].kind != Kind::IntLow)
            fail(in, "needs an int in locals " + number(index) + " and " + number(index + 1) + ", where local " +
                         number(index) + " holds " + world_.describe(v));
        push(in, s, Value::of(Kind::IntHigh));
        push(in, s, Value::of(Kind::IntLow));
    }

    void loadReference(const Instruction& in, State& s, unsigned index) const
    {
        const Value& v = local(in, s, index);
        if (!v.isReference() && v.kind != Kind::Uninitialised && v.kind != Kind::UninitialisedThis)
            fail(in, "needs a reference in local " + number(index) + ", which holds " + world_.describe(v));
        push(in, s, v);
    }

    void storeShort(const Instruction& in, State& s, unsigned index) const
    {
        popShort(in, s);
        store(in, s, index, Value::of(Kind::Short));
    }

    void storeInt(const Instruction& in, State& s, unsigned index) const
    {
        popInt(in, s);
        local(in, s, index + 1);
        store(in, s, index, Value::of(Kind::IntHigh));
        store(in, s, index + 1, Value::of(Kind::IntLow));
    }

    void storeReference(const Instruction& in, State& s, unsigned index) const
    {
        Value v = top(in, s, "a reference or return address");
        if (v.kind == Kind::Pending)
            v = Value::object(anyClass);
        else if (!v.isReference() && v.kind != Kind::ReturnAddress && v.kind != Kind::Uninitialised &&
                 v.kind != Kind::UninitialisedThis)
            fail(in, "needs a reference on the stack, where there is " + world_.describe(v));
        s.stack.pop_back();
        store(in, s, index, v);
    }

    // An array operand: null, an array of one of `elements`, or a
    // reference whose class nothing tells.
    Value popArray(const Instruction& in, State& s, const char* elements, const char* what)
    {
        const Value v = top(in, s, what);
        if (v.kind == Kind::Pending || (v.kind == Kind::Object && v.cls == anyClass)) {
            s.stack.pop_back();
            unchecked_.push_back(in.offset);
            return Value::array('L', anyClass);
        }
        if (v.kind == Kind::Null) {
            s.stack.pop_back();
            return v;
        }
        if (v.kind != Kind::Array ||
            std::string_view(elements).find(static_cast<char>(v.element)) == std::string_view::npos)
            fail(in, "needs " + std::string(what) + " on the stack, where there is " + world_.describe(v));
        s.stack.pop_back();
        return v;
    }

    void arrayLoad(const Instruction& in, State& s, const char* elements, const char* what)
    {
        popShort(in, s);
        const Value array = popArray(in, s, elements, what);
        switch (elements[0]) {
        case 'I':
            push(in, s, Value::of(Kind::IntHigh));
            push(in, s, Value::of(Kind::IntLow));
            break;
        case 'L':
            push(in, s, array.kind == Kind::Null ? array : Value::object(array.cls));
            break;
        default:
            push(in, s, Value::of(Kind::Short));
        }
    }

    void arrayStore(const Instruction& in, State& s, const char* elements, const char* what)
    {
        if (elements[0] == 'I')
            popInt(in, s);
        else if (elements[0] == 'L')
            popReference(in, s);
        else
            popShort(in, s);
        popShort(in, s);
        popArray(in, s, elements, what);
    }

    // --- the constant pool ---------------------------------------------

    const cap::PoolEntry& entry(const Instruction& in) const
    {
        if (!in.poolIndex || *in.poolIndex >= p_.pool.size())
            fail(in, "has no constant pool entry");
        return p_.pool[*in.poolIndex];
    }

    const PackageIndex::PoolType& poolType(const Instruction& in) const
    {
        const unsigned index = *in.poolIndex;
        const auto* type = index_.poolType(index);
        if (type == nullptr)
            fail(in, "refers to constant pool entry " + number(index) + ", which the Descriptor gives no type");
        return *type;
    }

    // The class a field or method entry belongs to.
    ClassKey ownerOf(const cap::PoolEntry& e) const
    {
        if (e.kind == static_cast<int>(cap::PoolKind::StaticField) ||
            e.kind == static_cast<int>(cap::PoolKind::StaticMethod)) {
            if (e.staticRef.external())
                return static_cast<ClassKey>(0x8000 | e.staticRef.package() << 8 | e.staticRef.classToken());
            const auto* cls = index_.methodAt(e.staticRef.offset()).first;
            return cls != nullptr ? cls->thisRef->raw : anyClass;
        }
        return e.classRef.raw;
    }

    // Whether a static method entry is a constructor, where the package
    // says; an imported one is a constructor where its receiver is new.
    std::optional<bool> isConstructorEntry(const cap::PoolEntry& e) const
    {
        if (e.staticRef.external())
            return std::nullopt;
        if (const Method* m = index_.methodAt(e.staticRef.offset()).second)
            return (m->flags & 0x80) != 0;
        return std::nullopt;
    }

    // The field's type letter: 'a' a reference, 'b' byte or boolean, 's'
    // short, 'i' int.
    char fieldLetter(const std::vector<std::uint8_t>& type) const
    {
        if (type.empty())
            return '?';
        switch (type[0]) {
        case 0x2:
        case 0x3:
            return 'b';
        case 0x4:
            return 's';
        case 0x5:
            return 'i';
        case 0x6:
        case 0xA:
        case 0xB:
        case 0xC:
        case 0xD:
        case 0xE:
            return 'a';
        default:
            return '?';
        }
    }

    static const char* letterName(char letter)
    {
        switch (letter) {
        case 'a':
            return "a reference";
        case 'b':
            return "a byte or boolean";
        case 's':
            return "a short";
        case 'i':
            return "an int";
        default:
            return "no type";
        }
    }

    const Words& fieldAccess(const Instruction& in, char letter)
    {
        const auto& type = poolType(in);
        const char found = fieldLetter(*type.nibbles);
        if (found != letter)
            fail(in, "needs a field of " + std::string(letterName(letter)) + ", but the field is " + letterName(found));
        return type.field;
    }

    void getStatic(const Instruction& in, State& s, char letter) { pushWords(in, s, fieldAccess(in, letter)); }

    void putStatic(const Instruction& in, State& s, char letter)
    {
        popAssignable(in, s, fieldAccess(in, letter), {"the field's value"});
    }

    // The object whose field an instruction reads or writes.
    void receiver(const Instruction& in, const Value& v, const cap::PoolEntry& e, bool putting)
    {
        if (v.kind == Kind::UninitialisedThis && putting && e.classRef.raw == thisClass())
            return;
        if (v.kind == Kind::Uninitialised || v.kind == Kind::UninitialisedThis)
            fail(in, "needs an initialised object, where there is " + world_.describe(v));
        judge(in, world_.assignable(v, Value::object(e.classRef.raw)), [&] {
            return "needs a reference (" + world_.className(e.classRef.raw) + "), where there is " + world_.describe(v);
        });
    }

    Value popReceiver(const Instruction& in, State& s)
    {
        const Value v = top(in, s, "an object");
        if (v.kind == Kind::Uninitialised || v.kind == Kind::UninitialisedThis) {
            s.stack.pop_back();
            return v;
        }
        return popReference(in, s);
    }

    void getField(const Instruction& in, State& s, char letter, bool onThis)
    {
        const Words& type = fieldAccess(in, letter);
        const Value object = onThis ? thisLocal(in, s) : popReceiver(in, s);
        receiver(in, object, entry(in), false);
        pushWords(in, s, type);
    }

    void putField(const Instruction& in, State& s, char letter, bool onThis)
    {
        const Words& type = fieldAccess(in, letter);
        popAssignable(in, s, type, {"the field's value"});
        const Value object = onThis ? thisLocal(in, s) : popReceiver(in, s);
        receiver(in, object, entry(in), true);
    }

    Value thisLocal(const Instruction& in, const State& s) const
    {
        if (isStatic())
            fail(in, "is used in a static method, which has no this");
        return local(in, s, 0);
    }

    void popArguments(const Instruction& in, State& s, const MethodType& type)
    {
        for (std::size_t k = type.parameters.size(); k-- > 0;)
            popAssignable(in, s, type.parameters[k], {"argument", k + 1});
    }

    void pushResult(const Instruction& in, State& s, const MethodType& type) { pushWords(in, s, type.result); }

    // Replaces every copy of a new object by the object its constructor made.
    static void initialise(State& s, const Value& made, const Value& object)
    {
        for (auto* list : {&s.stack, &s.locals})
            for (Value& v : *list)
                if (v == made)
                    v = object;
        if (made.kind == Kind::UninitialisedThis)
            s.thisUninitialised = false;
    }

    void invoke(const Instruction& in, State& s)
    {
        const cap::PoolEntry& e = entry(in);
        const MethodType& type = poolType(in).method;
        popArguments(in, s, type);
        const auto kind = static_cast<cap::PoolKind>(e.kind);
        if (in.opcode == 0x8D) { // invokestatic
            pushResult(in, s, type);
            return;
        }
        const Value object = popReceiver(in, s);
        const ClassKey owner = ownerOf(e);
        const bool uninitialised = object.kind == Kind::Uninitialised || object.kind == Kind::UninitialisedThis;
        if (in.opcode == 0x8C && kind == cap::PoolKind::StaticMethod && isConstructorEntry(e).value_or(uninitialised)) {
            if (!uninitialised)
                fail(in, "calls a constructor on " + world_.describe(object) + ", which is no object being made");
            if (object.kind == Kind::Uninitialised && owner != object.cls && owner != anyClass)
                fail(in, "calls a constructor of " + world_.className(owner) + " on " + world_.describe(object));
            if (object.kind == Kind::UninitialisedThis) {
                const cap::ClassEntry* self = world_.entry(thisClass());
                const bool super = self && self->superClass && self->superClass->value.raw == owner;
                if (owner != thisClass() && !super && owner != anyClass)
                    fail(in, "calls a constructor of " + world_.className(owner) +
                                 " on this, which is neither its class's nor its superclass's");
            }
            initialise(s, object, Value::object(object.kind == Kind::UninitialisedThis ? thisClass() : object.cls));
            pushResult(in, s, type);
            return;
        }
        if (uninitialised)
            fail(in, "needs an initialised object, where there is " + world_.describe(object));
        if (owner != anyClass)
            judge(in, world_.assignable(object, Value::object(owner)), [&] {
                return "needs a reference (" + world_.className(owner) + ") as the object, where there is " +
                       world_.describe(object);
            });
        pushResult(in, s, type);
    }

    std::optional<MethodType> interfaceMethod(ClassKey cls, unsigned token) const
    {
        for (const auto& c : p_.classes)
            if (c.thisRef->raw == cls) {
                for (const auto& m : c.methods)
                    if (m.token == token) {
                        const auto found = p_.types.find(m.typeOffset);
                        if (found != p_.types.end())
                            return world_.methodType(found->second);
                    }
                return std::nullopt;
            }
        if (const exp::Class* imported = world_.imported(cls))
            if (const exp::Member* m = imported->method(token, false))
                return world_.methodType(m->descriptor);
        return std::nullopt;
    }

    void invokeInterface(const Instruction& in, State& s)
    {
        const cap::PoolEntry& e = entry(in);
        const unsigned nargs = static_cast<unsigned>(in.operands[0]);
        const unsigned token = static_cast<unsigned>(in.operands[2]);
        if (nargs == 0)
            fail(in, "gives 0 argument words, where the object itself takes one");
        if (world_.isInterface(e.classRef.raw) == false)
            fail(in, "calls a method of " + world_.className(e.classRef.raw) + ", which is a class, not an interface");
        if (const auto type = interfaceMethod(e.classRef.raw, token)) {
            if (type->parameterWords() + 1 != nargs)
                fail(in, "gives " + number(nargs) + " argument words, but the method's type takes " +
                             number(type->parameterWords() + 1));
            popArguments(in, s, *type);
            const Value object = popReference(in, s);
            judge(in, world_.assignable(object, Value::object(e.classRef.raw)), [&] {
                return "needs a reference (" + world_.className(e.classRef.raw) + ") as the object, where there is " +
                       world_.describe(object);
            });
            pushResult(in, s, *type);
            return;
        }
        // No file types the method: its arguments are only counted, and its
        // result is what its first use takes it for.
        unchecked_.push_back(in.offset);
        for (unsigned k = 1; k < nargs; ++k) {
            const Value v = top(in, s, "an argument");
            if (v.kind == Kind::Uninitialised || v.kind == Kind::UninitialisedThis || v.kind == Kind::ReturnAddress)
                fail(in, "cannot pass " + world_.describe(v) + " as an argument");
            s.stack.pop_back();
        }
        popReference(in, s);
        push(in, s, Value::of(Kind::Pending));
    }

    void checkReturn(const Instruction& in, State& s, const MethodType& type, char letter)
    {
        const char declared = type.isVoid                          ? 'v'
                              : type.result.size() == 2            ? 'i'
                              : type.result.empty()                ? '?'
                              : type.result[0].kind == Kind::Short ? 's'
                                                                   : 'a';
        static const std::map<char, const char*> names{{'v', "returns nothing"},
                                                       {'s', "returns a short"},
                                                       {'i', "returns an int"},
                                                       {'a', "returns a reference"},
                                                       {'?', "returns no known type"}};
        if (declared != letter)
            fail(in, "returns from a method that " + std::string(names.at(declared)));
        if (letter != 'v')
            popAssignable(in, s, type.result, {"the returned value"});
        if (s.thisUninitialised)
            fail(in, "returns from a constructor before it calls its superclass's constructor");
    }

    void branchBack(const Instruction& in, const State& s) const
    {
        for (const unsigned target : in.targets)
            if (target <= in.offset)
                for (const auto* list : {&s.stack, &s.locals})
                    for (const Value& v : *list)
                        if (v.kind == Kind::Uninitialised)
                            fail(in,
                                 "branches back to " + number(target) + " while " + world_.describe(v) + " is kept");
    }

    const std::set<unsigned>& subroutineLocals(unsigned start)
    {
        auto found = written_.find(start);
        if (found != written_.end())
            return found->second;
        std::set<unsigned> written;
        std::vector<std::size_t> todo;
        std::vector<bool> seen(code_.size(), false);
        if (const auto i = indexOf(start))
            todo.push_back(*i);
        while (!todo.empty()) {
            const std::size_t i = todo.back();
            todo.pop_back();
            if (seen[i])
                continue;
            seen[i] = true;
            const Instruction& in = code_[i];
            if (const auto stored = storedLocal(in)) {
                written.insert(*stored);
                if (in.opcode == 0x2A || (in.opcode >= 0x33 && in.opcode <= 0x36))
                    written.insert(*stored + 1);
            }
            if (in.opcode == 0x72)
                continue;
            for (const unsigned target : in.targets)
                if (const auto t = indexOf(target))
                    todo.push_back(*t);
            if (fallsThrough(in.opcode) && i + 1 < code_.size())
                todo.push_back(i + 1);
        }
        return written_.emplace(start, std::move(written)).first->second;
    }

    static std::optional<unsigned> storedLocal(const Instruction& in)
    {
        const std::uint8_t op = in.opcode;
        if (op >= 0x28 && op <= 0x2A)
            return static_cast<unsigned>(in.operands[0]);
        if (op >= 0x2B && op <= 0x36)
            return static_cast<unsigned>((op - 0x2B) % 4);
        if (op == 0x59 || op == 0x5A || op == 0x96 || op == 0x97)
            return static_cast<unsigned>(in.operands[0]);
        return std::nullopt;
    }

    // Stores, and a constructor's call, which initialises the locals that
    // hold its object.
    static bool changesLocals(std::uint8_t op) { return (op >= 0x28 && op <= 0x36) || op == 0x8C; }

    static bool fallsThrough(std::uint8_t op)
    {
        switch (op) {
        case 0x70: // goto
        case 0xA8: // goto_w
        case 0x71: // jsr: its return comes back through ret
        case 0x72: // ret
        case 0x73:
        case 0x74:
        case 0x75:
        case 0x76: // switches
        case 0x77:
        case 0x78:
        case 0x79:
        case 0x7A: // returns
        case 0x93: // athrow
            return false;
        default:
            return true;
        }
    }

    void ret(const Instruction& in, State& s)
    {
        const unsigned index = static_cast<unsigned>(in.operands[0]);
        const Value v = local(in, s, index);
        if (v.kind != Kind::ReturnAddress)
            fail(in, "needs a return address in local " + number(index) + ", which holds " + world_.describe(v));
        const auto& written = subroutineLocals(v.at);
        for (std::size_t j = 0; j < code_.size(); ++j) {
            const Instruction& call = code_[j];
            if (call.opcode != 0x71 || call.targets.empty() || call.targets[0] != v.at || !states_[j] ||
                j + 1 >= code_.size())
                continue;
            State after = *states_[j];
            after.stack = s.stack;
            // The caller's locals, but those the subroutine writes. Its return
            // address is spent once it has returned: the subroutine may be
            // called again.
            for (std::size_t k = 0; k < after.locals.size(); ++k)
                if (written.count(static_cast<unsigned>(k)) != 0)
                    after.locals[k] =
                        s.locals[k].kind == Kind::ReturnAddress && s.locals[k].at == v.at ? Value{} : s.locals[k];
            merge(j + 1, std::move(after));
        }
    }

    // Runs the basic block that begins at instruction `i` from its state,
    // on into the next instruction wherever that one has no other way in;
    // each block's end hands its state to where control goes.
    void step(std::size_t i)
    {
        // The block runs in one State kept for the purpose, whose room is
        // made once for the method.
        State& s = scratch_;
        s.stack.assign(states_[i]->stack.begin(), states_[i]->stack.end());
        s.locals.assign(states_[i]->locals.begin(), states_[i]->locals.end());
        s.thisUninitialised = states_[i]->thisUninitialised;
        for (;;) {
            const Instruction& in = code_[i];
            if (++visits_ > visitsPerInstruction * code_.size())
                fail(in, "has types that do not settle");
            // The handlers that guard the instruction see its locals before
            // it, and after it where it changes them.
            for (const auto* h : guards_[i])
                enterHandler(*h, s);
            execute(in, s);
            branchBack(in, s);
            if (changesLocals(in.opcode))
                for (const auto* h : guards_[i])
                    enterHandler(*h, s);
            if (in.opcode == 0x72) {
                ret(in, s);
                return;
            }
            if (in.opcode == 0x71) {
                for (const Value& v : s.locals)
                    if (v.kind == Kind::ReturnAddress && v.at == in.targets[0])
                        fail(in, "calls the subroutine at " + number(in.targets[0]) + " from inside itself");
                push(in, s, Value{Kind::ReturnAddress, 0, 0, in.targets[0]});
                merge(targetOf(in, in.targets[0]), s);
                return;
            }
            for (const unsigned target : in.targets)
                merge(targetOf(in, target), s);
            if (!fallsThrough(in.opcode))
                return;
            if (i + 1 >= code_.size())
                fail(in, "runs off the end of the method");
            if (joins_[i + 1]) {
                merge(i + 1, s);
                return;
            }
            ++i;
            // A subroutine's callers are found by their states; the dump shows every one.
            if (keepStates_ || code_[i].opcode == 0x71)
                states_[i] = s;
        }
    }

    void execute(const Instruction& in, State& s)
    {
        const std::uint8_t op = in.opcode;
        const auto operand = [&](std::size_t k) { return static_cast<unsigned>(in.operands[k]); };
        const Value shortValue = Value::of(Kind::Short);
        // Constants and loads.
        if (op == 0x00)
            return;
        if (op == 0x01)
            return push(in, s, Value::of(Kind::Null));
        if ((op >= 0x02 && op <= 0x08) || op == 0x10 || op == 0x11)
            return push(in, s, shortValue);
        if ((op >= 0x09 && op <= 0x0F) || (op >= 0x12 && op <= 0x14)) {
            push(in, s, Value::of(Kind::IntHigh));
            return push(in, s, Value::of(Kind::IntLow));
        }
        if (op == 0x15)
            return loadReference(in, s, operand(0));
        if (op == 0x16)
            return loadShort(in, s, operand(0));
        if (op == 0x17)
            return loadInt(in, s, operand(0));
        if (op >= 0x18 && op <= 0x1B)
            return loadReference(in, s, op - 0x18u);
        if (op >= 0x1C && op <= 0x1F)
            return loadShort(in, s, op - 0x1Cu);
        if (op >= 0x20 && op <= 0x23)
            return loadInt(in, s, op - 0x20u);
        switch (op) {
        case 0x24:
            return arrayLoad(in, s, "L", "an array of references");
        case 0x25:
            return arrayLoad(in, s, "BZ", "a byte[] or boolean[]");
        case 0x26:
            return arrayLoad(in, s, "S", "a short[]");
        case 0x27:
            return arrayLoad(in, s, "I", "an int[]");
        case 0x28:
            return storeReference(in, s, operand(0));
        case 0x29:
            return storeShort(in, s, operand(0));
        case 0x2A:
            return storeInt(in, s, operand(0));
        default:
            break;
        }
        if (op >= 0x2B && op <= 0x2E)
            return storeReference(in, s, op - 0x2Bu);
        if (op >= 0x2F && op <= 0x32)
            return storeShort(in, s, op - 0x2Fu);
        if (op >= 0x33 && op <= 0x36)
            return storeInt(in, s, op - 0x33u);
        switch (op) {
        case 0x37:
            return arrayStore(in, s, "L", "an array of references");
        case 0x38:
            return arrayStore(in, s, "BZ", "a byte[] or boolean[]");
        case 0x39:
            return arrayStore(in, s, "S", "a short[]");
        case 0x3A:
            return arrayStore(in, s, "I", "an int[]");
        case 0x3B: // pop
            if (!s.stack.empty() && s.stack.back().kind == Kind::Pending) {
                s.stack.pop_back();
                return;
            }
            wholeWords(in, s, 1);
            s.stack.pop_back();
            return;
        case 0x3C: // pop2
            if (!s.stack.empty() && s.stack.back().kind == Kind::Pending) {
                s.stack.pop_back();
                return;
            }
            wholeWords(in, s, 2);
            s.stack.resize(s.stack.size() - 2);
            return;
        case 0x3D: // dup
        case 0x3E: // dup2
        {
            const std::size_t m = op == 0x3D ? 1 : 2;
            wholeWords(in, s, m);
            const std::vector<Value> copy(s.stack.end() - static_cast<std::ptrdiff_t>(m), s.stack.end());
            for (const Value& v : copy)
                push(in, s, v);
            return;
        }
        case 0x3F: { // dup_x: m words copied n words down
            const unsigned m = operand(0) >> 4, n = operand(0) & 0x0F;
            if (m < 1 || m > 4 || (n != 0 && (n < m || n > m + 4)))
                fail(in, "has the operand " + number(operand(0)) + ", which no dup_x takes");
            wholeWords(in, s, std::max(m, n));
            wholeWords(in, s, m);
            const std::vector<Value> copy(s.stack.end() - m, s.stack.end());
            const std::size_t at = s.stack.size() - n;
            s.stack.insert(s.stack.begin() + static_cast<std::ptrdiff_t>(at), copy.begin(), copy.end());
            return checkHeight(in, s);
        }
        case 0x40: { // swap_x: the top m words and the n below them trade places
            const unsigned m = operand(0) >> 4, n = operand(0) & 0x0F;
            if (m < 1 || m > 2 || n < 1 || n > 2)
                fail(in, "has the operand " + number(operand(0)) + ", which no swap_x takes");
            wholeWords(in, s, m + n);
            wholeWords(in, s, m);
            std::rotate(s.stack.end() - (m + n), s.stack.end() - m, s.stack.end());
            return;
        }
        default:
            break;
        }
        if (op >= 0x41 && op <= 0x58 && op != 0x4B && op != 0x4C) {
            if (op % 2 == 1) { // the short forms
                popShort(in, s);
                popShort(in, s);
                return push(in, s, shortValue);
            }
            popInt(in, s);
            popInt(in, s);
            push(in, s, Value::of(Kind::IntHigh));
            return push(in, s, Value::of(Kind::IntLow));
        }
        switch (op) {
        case 0x4B: // sneg
            popShort(in, s);
            return push(in, s, shortValue);
        case 0x4C: // ineg
            popInt(in, s);
            push(in, s, Value::of(Kind::IntHigh));
            return push(in, s, Value::of(Kind::IntLow));
        case 0x59: // sinc
        case 0x96: {
            const Value& v = local(in, s, operand(0));
            if (v.kind != Kind::Short)
                fail(in, "needs a short in local " + number(operand(0)) + ", which holds " + world_.describe(v));
            return;
        }
        case 0x5A: // iinc
        case 0x97: {
            State copy = s;
            loadInt(in, copy, operand(0));
            return;
        }
        case 0x5B: // s2b
            popShort(in, s);
            return push(in, s, shortValue);
        case 0x5C: // s2i
            popShort(in, s);
            push(in, s, Value::of(Kind::IntHigh));
            return push(in, s, Value::of(Kind::IntLow));
        case 0x5D: // i2b
        case 0x5E: // i2s
            popInt(in, s);
            return push(in, s, shortValue);
        case 0x5F: // icmp
            popInt(in, s);
            popInt(in, s);
            return push(in, s, shortValue);
        default:
            break;
        }
        if ((op >= 0x60 && op <= 0x65) || (op >= 0x98 && op <= 0x9D))
            return popShort(in, s);
        if (op == 0x66 || op == 0x67 || op == 0x9E || op == 0x9F) {
            popReference(in, s);
            return;
        }
        if (op == 0x68 || op == 0x69 || op == 0xA0 || op == 0xA1) {
            popReference(in, s);
            popReference(in, s);
            return;
        }
        if ((op >= 0x6A && op <= 0x6F) || (op >= 0xA2 && op <= 0xA7)) {
            popShort(in, s);
            return popShort(in, s);
        }
        const MethodType& returns = type_;
        switch (op) {
        case 0x70:
        case 0xA8:
        case 0x71:
        case 0x72:
            return;
        case 0x73:
        case 0x75:
            return popShort(in, s);
        case 0x74:
        case 0x76:
            return popInt(in, s);
        case 0x77:
            return checkReturn(in, s, returns, 'a');
        case 0x78:
            return checkReturn(in, s, returns, 's');
        case 0x79:
            return checkReturn(in, s, returns, 'i');
        case 0x7A:
            return checkReturn(in, s, returns, 'v');
        default:
            break;
        }
        static const char letters[] = {'a', 'b', 's', 'i'};
        if (op >= 0x7B && op <= 0x7E)
            return getStatic(in, s, letters[op - 0x7B]);
        if (op >= 0x7F && op <= 0x82)
            return putStatic(in, s, letters[op - 0x7F]);
        if (op >= 0x83 && op <= 0x86)
            return getField(in, s, letters[op - 0x83], false);
        if (op >= 0x87 && op <= 0x8A)
            return putField(in, s, letters[op - 0x87], false);
        if (op >= 0xA9 && op <= 0xAC)
            return getField(in, s, letters[op - 0xA9], false);
        if (op >= 0xAD && op <= 0xB0)
            return getField(in, s, letters[op - 0xAD], true);
        if (op >= 0xB1 && op <= 0xB4)
            return putField(in, s, letters[op - 0xB1], false);
        if (op >= 0xB5 && op <= 0xB8)
            return putField(in, s, letters[op - 0xB5], true);
        switch (op) {
        case 0x8B:
        case 0x8C:
        case 0x8D:
            return invoke(in, s);
        case 0x8E:
            return invokeInterface(in, s);
        case 0x8F: // new
            return push(in, s, Value{Kind::Uninitialised, 0, entry(in).classRef.raw, in.offset});
        case 0x90: { // newarray
            static const std::map<unsigned, std::uint8_t> elements{{10, 'Z'}, {11, 'B'}, {12, 'S'}, {13, 'I'}};
            const auto found = elements.find(operand(0));
            if (found == elements.end())
                fail(in, "makes an array of type " + number(operand(0)) + ", which is none of 10 to 13");
            popShort(in, s);
            return push(in, s, Value::array(found->second));
        }
        case 0x91: // anewarray
            popShort(in, s);
            return push(in, s, Value::array('L', entry(in).classRef.raw));
        case 0x92: // arraylength
            popArray(in, s, "ZBSIL", "an array");
            return push(in, s, shortValue);
        case 0x93: { // athrow
            const Value thrown = popReference(in, s);
            // Throwable is known where java.lang's export file is given.
            if (const auto throwable = world_.classNamed("java/lang/Throwable"))
                judge(in, world_.assignable(thrown, Value::object(*throwable)),
                      [&] { return "needs a Throwable, where there is " + world_.describe(thrown); });
            return;
        }
        case 0x94:   // checkcast
        case 0x95: { // instanceof
            popReference(in, s);
            if (op == 0x95)
                return push(in, s, shortValue);
            static const std::map<unsigned, std::uint8_t> elements{
                {10, 'Z'}, {11, 'B'}, {12, 'S'}, {13, 'I'}, {14, 'L'}};
            if (operand(0) == 0)
                return push(in, s, Value::object(entry(in).classRef.raw));
            const auto found = elements.find(operand(0));
            if (found == elements.end())
                fail(in, "casts to type " + number(operand(0)) + ", which is none of 0 and 10 to 14");
            ClassKey element = anyClass;
            if (found->second == 'L' && operand(1) < p_.pool.size() &&
                p_.pool[operand(1)].kind == static_cast<int>(cap::PoolKind::ClassRef))
                element = p_.pool[operand(1)].classRef.raw;
            return push(in, s, Value::array(found->second, element));
        }
        default:
            fail(in, "is no instruction the verifier knows");
        }
    }

    const cap::Package& p_;
    const ClassWorld& world_;
    const cap::DescribedClass& cls_;
    const Method& method_;
    const std::vector<Instruction>& code_;
    std::vector<unsigned>& unchecked_;
    PackageIndex& index_;
    MethodType type_;
    std::vector<int>& indexAt_; // by offset from the bytecode's start: the instruction there, or -1
    std::vector<bool>& joins_;
    std::vector<std::vector<const cap::Handler*>>& guards_; // the handlers that guard each instruction
    std::vector<std::optional<State>>& states_;
    // Instructions whose state changed, lowest first, each once.
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>>& work_;
    std::vector<bool>& queued_;
    bool keepStates_ = false;
    State& scratch_;
    std::size_t visits_ = 0;
    std::map<unsigned, std::set<unsigned>> written_;
};

std::string methodLabel(const ClassWorld& world, const cap::DescribedClass& cls, const Method& method)
{
    std::string owner = world.className(cls.thisRef->raw);
    if (method.name)
        return owner + "." + *method.name;
    return "token " + std::to_string(method.token) + " of " + owner;
}

} // namespace

Result verifyBytecode(const cap::Package& package, const std::vector<std::shared_ptr<const exp::ExportFile>>& imported,
                      bool keepStates)
{
    Result result;
    const ClassWorld world(package, imported);
    PackageIndex index(package, world);
    Workspace work;
    for (const auto& cls : package.classes) {
        if (cls.isInterface() && !cls.fields.empty())
            result.faults.push_back({cap::descriptorTag, "interface " + world.className(cls.thisRef->raw),
                                     cls.thisRef.place, "an interface declares fields"});
        for (const auto& field : cls.fields) {
            const ClassKey recorded = static_cast<ClassKey>(field.ref.first << 8 | field.ref.second);
            if ((field.flags & 0x08) == 0 && recorded != cls.thisRef->raw)
                result.faults.push_back({cap::descriptorTag, "instance field token " + std::to_string(field.token),
                                         cls.thisRef.place,
                                         "the entry of a field of " + world.className(cls.thisRef->raw) + " names " +
                                             world.className(recorded) + " as the field's class"});
        }
        for (const auto& method : cls.methods) {
            if (!method.defined() || (method.header.flags & 0x4) != 0)
                continue;
            MethodVerifier verifier(package, world, index, cls, method, work, keepStates);
            if (const auto fault = verifier.run())
                result.faults.push_back(
                    {methodTag, "method " + methodLabel(world, cls, method), fault->offset, fault->problem});
            if (keepStates)
                verifier.states(result.states);
        }
    }
    std::sort(work.unchecked.begin(), work.unchecked.end());
    result.unchecked =
        static_cast<unsigned>(std::unique(work.unchecked.begin(), work.unchecked.end()) - work.unchecked.begin());
    return result;
}

} // namespace tolvane::verifier
