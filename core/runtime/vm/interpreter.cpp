// The interpreter: every Java Card instruction on 16-bit words, with ints as
// two words where a package uses them. References in the constant pool were
// resolved when the package was linked, so an instruction costs a switch and
// what it does. Every word's kind and every bound is checked as it runs: the
// verifier proves a package never trips them, and a package run without it
// ends in an exception, never outside an object.

#include "core/runtime/vm/vm.h"

#include "core/cap/bytecode.h"

#include <algorithm>
#include <limits>

namespace tolvane::runtime {
namespace {

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Empty:
        return "an unset word";
    case Kind::Short:
        return "a short";
    case Kind::IntHigh:
    case Kind::IntLow:
        return "half an int";
    case Kind::Reference:
        return "a reference";
    case Kind::ReturnAddress:
        return "a return address";
    }
    return "a word";
}

const char* arrayName(ArrayType type)
{
    switch (type) {
    case ArrayType::Boolean:
        return "boolean[]";
    case ArrayType::Byte:
        return "byte[]";
    case ArrayType::Short:
        return "short[]";
    case ArrayType::Int:
        return "int[]";
    case ArrayType::Reference:
        return "Object[]";
    case ArrayType::None:
        break;
    }
    return "an object";
}

inline std::int16_t s16(std::int32_t value)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
}

inline std::int32_t s32(std::int64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

} // namespace

std::vector<Word> Vm::call(const Method* method, const std::vector<Word>& args, std::uint16_t context)
{
    // A class whose tables lack the method (a malformed package) calls nothing.
    if (!method)
        fault("a call of a method the applet's class does not have");
    const std::size_t depth = frames_.size();
    const std::uint32_t base = frames_.empty() ? 0 : frames_.back().sp;
    if (base + args.size() + 2 > stack_.size())
        throw Halt("the runtime's stack is full");
    std::copy(args.begin(), args.end(), stack_.begin() + base);
    if (method->native) {
        NativeCall native{*this, *method, stack_.data() + base};
        {
            const ServingApi serving(*this, method);
            method->native(native);
        }
        std::vector<Word> result;
        if (method->returns == Returns::Int)
            result = {native.result[0], native.result[1]};
        else if (method->returns != Returns::Nothing)
            result = {native.result[0]};
        return result;
    }
    if (method->nargs != args.size())
        fault("a call of " + method->name + " with " + std::to_string(args.size()) + " words, which takes " +
              std::to_string(method->nargs));
    if (frames_.size() >= settings.maxDepth)
        throw Halt("calls went deeper than " + std::to_string(settings.maxDepth) + " frames");
    if (method->codeStart >= method->codeEnd)
        fault("a call of " + method->name + ", which has no code");
    const std::uint32_t stackBase = base + method->nargs + method->maxLocals;
    if (stackBase + method->maxStack > stack_.size())
        throw Halt("the runtime's stack is full");
    for (std::uint32_t i = base + method->nargs; i < stackBase; ++i)
        stack_[i] = {};
    if (profile) [[unlikely]] {
        profile->account(frames_, instructionsRun());
        profile->entered(method);
    }
    frames_.push_back(
        {method, method->codeStart, 0, base, stackBase, stackBase, stackBase + method->maxStack, context});
    result_.clear();
    const ServingApi bytecode(*this, nullptr);
    try {
        execute(depth);
    } catch (...) {
        if (profile) [[unlikely]]
            profile->account(frames_, instructionsRun());
        frames_.resize(depth);
        throw;
    }
    return result_;
}

// Kept out of the interpreter's loop, which holds only their test.
void Vm::profileEnter(const Method* method)
{
    profile->account(frames_, instructionsRun());
    profile->entered(method);
}

void Vm::profileLeave()
{
    profile->account(frames_, instructionsRun());
}

void Vm::startBudget()
{
    if (profile) [[unlikely]]
        profile->startCommand();
    if (rearm_) // the command before ended on the instruction under a breakpoint
        rearm();
    budgetLeft = 0;
    budgetBeyond_ = settings.budget;
    // With a tracer the first instruction asks for its slice, and so is seen.
    if (!tracer)
        nextSlice();
}

// The budget is handed out in slices, so that the loop's one test of it
// also lets a stop request end a command that would run long.
void Vm::nextSlice()
{
    if (settings.stop && settings.stop->load(std::memory_order_relaxed))
        throw Halt("the command was stopped by a request to stop");
    if (budgetBeyond_ == 0)
        throw Halt("the command ran past its budget of " + std::to_string(settings.budget) + " instructions");
    const std::uint64_t slice = tracer ? std::max<std::uint64_t>(tracer->slice(), 1) : std::uint64_t{1} << 20;
    budgetLeft = std::min(slice, budgetBeyond_);
    budgetBeyond_ -= budgetLeft;
}

std::uint64_t Vm::instructionsRun() const
{
    return settings.budget - budgetBeyond_ - budgetLeft;
}

void Vm::execute(std::size_t depth)
{
    for (;;) {
        try {
            run(depth);
            return;
        } catch (const Resume&) {
            // on from the innermost frame's pc
        } catch (const Thrown& thrown) {
            if (tracer) [[unlikely]]
                traceThrow(thrown.object);
            if (!handle(thrown.object, depth))
                throw;
        } catch (Halt& halt) {
            if (halt.frames.empty())
                halt.frames = stackNow();
            throw;
        }
    }
}

// Finds the handler for `thrown` in the frames above `depth`, innermost
// first, dropping each frame that has none.
bool Vm::handle(Ref thrown, std::size_t depth)
{
    const Object* exception = live(thrown) ? heap_[thrown].get() : nullptr;
    while (frames_.size() > depth) {
        Frame& frame = frames_.back();
        for (const auto& handler : frame.method->package->handlers)
            if (frame.pc >= handler.start && frame.pc < handler.end &&
                (!handler.catches || (exception && exception->cls && exception->cls->isSubclassOf(handler.catches)))) {
                if (handler.handler < frame.method->codeStart || handler.handler >= frame.method->codeEnd ||
                    frame.stackEnd == frame.stackBase)
                    break; // a handler outside its method, or no room for what it catches: not taken
                if (auto found = throws_.find(thrown); found != throws_.end())
                    found->second.caught = true;
                frame.pc = handler.handler;
                frame.sp = frame.stackBase;
                stack_[frame.sp++] = {static_cast<std::int16_t>(thrown), Kind::Reference};
                return true;
            }
        if (profile) [[unlikely]]
            profile->account(frames_, instructionsRun());
        frames_.pop_back();
    }
    return false;
}

// Whether a handler in the frames running would take `thrown`, as handle()
// looks for one, without dropping a frame.
bool Vm::wouldCatch(Ref thrown) const
{
    const Object* exception = live(thrown) ? heap_[thrown].get() : nullptr;
    for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame)
        for (const auto& handler : frame->method->package->handlers)
            if (frame->pc >= handler.start && frame->pc < handler.end &&
                (!handler.catches || (exception && exception->cls && exception->cls->isSubclassOf(handler.catches))))
                return handler.handler >= frame->method->codeStart && handler.handler < frame->method->codeEnd &&
                       frame->stackEnd != frame->stackBase;
    return false;
}

// Where a slice of the budget runs out: a breakpoint passed over is set
// again, the tracer sees the instruction about to run, and the next slice
// begins.
void Vm::sliceEnded()
{
    if (rearm_)
        rearm();
    if (tracer)
        tracer->step(*this);
    nextSlice();
}

// At a breakpoint: the tracer sees it, then the instruction's own opcode
// goes back for one instruction, a slice of one that sets the breakpoint
// again when it ends, and Resume takes the loop up again. Returns where no
// breakpoint is set there.
void Vm::passBreakpoint(unsigned pc)
{
    const Package* at = frames_.back().method->package;
    if (!breakpoints_.count({at, pc}))
        return;
    ++budgetLeft; // this was no instruction: the one under it runs next
    if (tracer)
        tracer->breakpoint(*this);
    const auto found = breakpoints_.find({at, pc});
    if (found == breakpoints_.end())
        throw Resume{}; // cleared while stopped: its opcode is back for good
    for (const auto& package : packages_)
        if (package.get() == at)
            package->code[pc] = found->second;
    rearm_ = {at, pc};
    budgetBeyond_ += budgetLeft - 1;
    budgetLeft = 1;
    throw Resume{};
}

void Vm::rearm()
{
    for (const auto& package : packages_)
        if (package.get() == rearm_->first && breakpoints_.count(*rearm_))
            package->code[rearm_->second] = breakpointOpcode;
    rearm_.reset();
}

// A throw is told once, though each frame's execute() that it passes
// through sees it.
void Vm::traceThrow(Ref thrown)
{
    const std::pair<Ref, std::uint64_t> seen{thrown, instructionsRun()};
    if (seen == lastTraced_)
        return;
    lastTraced_ = seen;
    tracer->thrown(*this, thrown, wouldCatch(thrown));
}

Word Vm::local(const Frame& frame, unsigned index) const
{
    return frame.locals + index < frame.stackBase ? stack_[frame.locals + index] : Word{};
}

bool Vm::setBreakpoint(Package& package, unsigned pc)
{
    if (breakpoints_.count({&package, pc}))
        return true;
    const Method* method = nullptr;
    for (const auto& candidate : package.methods)
        if (!candidate->native && pc >= candidate->codeStart && pc < candidate->codeEnd)
            method = candidate.get();
    if (!method)
        return false;
    // Only where an instruction begins: the method read with its own opcodes.
    std::vector<std::uint8_t> code(package.code.begin(), package.code.end());
    for (const auto& [at, opcode] : breakpoints_)
        if (at.first == &package)
            code[at.second] = opcode;
    try {
        bool begins = false;
        for (const auto& instruction : cap::disassemble(code, method->codeStart, method->codeEnd))
            begins = begins || instruction.offset == pc;
        if (!begins)
            return false;
    } catch (const cap::FindingError&) {
        return false;
    }
    breakpoints_[{&package, pc}] = package.code[pc];
    package.code[pc] = breakpointOpcode;
    return true;
}

void Vm::clearBreakpoints()
{
    rearm_.reset();
    for (const auto& [at, opcode] : breakpoints_)
        for (const auto& package : packages_)
            if (package.get() == at.first)
                package->code[at.second] = opcode;
    breakpoints_.clear();
}

std::uint8_t Vm::opcodeAt(const Package& package, unsigned pc) const
{
    const auto found = breakpoints_.find({&package, pc});
    return found != breakpoints_.end() ? found->second : package.code.at(pc);
}

std::optional<std::uint16_t> Vm::previousContext() const
{
    const std::uint16_t current = currentContext();
    for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame)
        if (frame->context != current)
            return frame->context;
    return std::nullopt;
}

const Method* Vm::virtualMethod(const Object& target, unsigned token) const
{
    const Class* cls = target.array == ArrayType::None && target.cls ? target.cls : api.object;
    return token < cls->virtuals.size() ? cls->virtuals[token] : nullptr;
}

// The words on the stack are checked for what each instruction takes: a
// method that the verifier would refuse trips one of these checks.
#define FAULT(text)                                                                                                    \
    do {                                                                                                               \
        f->pc = pc;                                                                                                    \
        fault(text);                                                                                                   \
    } while (0)
#define NEED(count)                                                                                                    \
    do {                                                                                                               \
        if (pc + (count) >= end) [[unlikely]]                                                                          \
            FAULT("the code ends inside an instruction");                                                              \
    } while (0)
#define POP(kindWanted, into)                                                                                          \
    do {                                                                                                               \
        if (sp <= f->stackBase) [[unlikely]]                                                                           \
            FAULT("an instruction takes more words than the stack holds");                                             \
        into = st[--sp];                                                                                               \
        if (into.kind != (kindWanted)) [[unlikely]]                                                                    \
            FAULT(std::string("an instruction wants ") + kindName(kindWanted) + " and finds " + kindName(into.kind));  \
    } while (0)
#define PUSH(word)                                                                                                     \
    do {                                                                                                               \
        if (sp >= f->stackEnd) [[unlikely]]                                                                            \
            FAULT("the stack grows past the method's max_stack");                                                      \
        st[sp++] = (word);                                                                                             \
    } while (0)
#define PUSH_SHORT(v) PUSH((Word{s16(v), Kind::Short}))
#define PUSH_INT(v)                                                                                                    \
    do {                                                                                                               \
        const std::int32_t pushed = (v);                                                                               \
        PUSH((Word{s16(pushed >> 16), Kind::IntHigh}));                                                                \
        PUSH((Word{s16(pushed), Kind::IntLow}));                                                                       \
    } while (0)
#define PUSH_REF(r) PUSH((Word{static_cast<std::int16_t>(r), Kind::Reference}))
#define POP_SHORT(into)                                                                                                \
    do {                                                                                                               \
        Word popped;                                                                                                   \
        POP(Kind::Short, popped);                                                                                      \
        into = popped.value;                                                                                           \
    } while (0)
#define POP_INT(into)                                                                                                  \
    do {                                                                                                               \
        Word low, high;                                                                                                \
        POP(Kind::IntLow, low);                                                                                        \
        POP(Kind::IntHigh, high);                                                                                      \
        into = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(high.value)) << 16 |    \
                                         static_cast<std::uint16_t>(low.value));                                       \
    } while (0)
#define POP_REF(into)                                                                                                  \
    do {                                                                                                               \
        Word popped;                                                                                                   \
        POP(Kind::Reference, popped);                                                                                  \
        into = static_cast<Ref>(popped.value);                                                                         \
    } while (0)
#define LOCAL(index)                                                                                                   \
    ([&]() -> Word& {                                                                                                  \
        const unsigned at = (index);                                                                                   \
        if (f->locals + at >= f->stackBase) [[unlikely]]                                                               \
            FAULT("local " + std::to_string(at) + " is past the method's locals");                                     \
        return st[f->locals + at];                                                                                     \
    }())
#define BRANCH(offset)                                                                                                 \
    do {                                                                                                               \
        const std::int64_t target = static_cast<std::int64_t>(pc) + (offset);                                          \
        if (target < f->method->codeStart || target >= end) [[unlikely]]                                               \
            FAULT("a branch to " + std::to_string(target) + ", outside its method");                                   \
        pc = static_cast<std::uint32_t>(target);                                                                       \
        goto next;                                                                                                     \
    } while (0)
#define DEREF(ref, into)                                                                                               \
    do {                                                                                                               \
        if ((ref) == nullRef) [[unlikely]] {                                                                           \
            f->pc = pc;                                                                                                \
            throwNew(api.nullPointer, std::nullopt, "a null reference used");                                          \
        }                                                                                                              \
        if (!live(ref)) [[unlikely]]                                                                                   \
            FAULT("a reference to no object");                                                                         \
        into = heap_[ref].get();                                                                                       \
        if (behindFirewall(*into, f->context)) [[unlikely]]                                                            \
            FAULT("an access to an object of another applet's context");                                               \
    } while (0)

void Vm::run(std::size_t depth)
{
    Frame* f = &frames_.back();
    const std::uint8_t* code = f->method->package->code.data();
    std::uint32_t pc = f->pc;
    std::uint32_t end = f->method->codeEnd;
    std::uint32_t sp = f->sp;
    Word* st = stack_.data();

    const auto u8at = [&](std::uint32_t at) { return code[at]; };
    const auto s8at = [&](std::uint32_t at) { return static_cast<std::int8_t>(code[at]); };
    const auto u16at = [&](std::uint32_t at) { return static_cast<std::uint16_t>(code[at] << 8 | code[at + 1]); };
    const auto s16at = [&](std::uint32_t at) { return static_cast<std::int16_t>(u16at(at)); };
    const auto s32at = [&](std::uint32_t at) {
        return static_cast<std::int32_t>(std::uint32_t{u16at(at)} << 16 | u16at(at + 2));
    };
    const auto poolSlot = [&](unsigned index, std::uint8_t kind) -> const PoolSlot& {
        const auto& pool = f->method->package->pool;
        if (index >= pool.size() || (pool[index].kind != kind && !(kind == 6 && pool[index].kind == 4))) [[unlikely]]
            FAULT("ConstantPool entry " + std::to_string(index) + " is not what the instruction takes");
        return pool[index];
    };
    // Enters `method` with its arguments on the stack; `resume` is where the
    // caller goes on.
    const auto enter = [&](const Method* method, std::uint32_t resume, std::uint16_t context) {
        if (!method) [[unlikely]]
            FAULT("a call of a method the class does not have");
        if (sp < f->stackBase + method->nargs) [[unlikely]]
            FAULT("a call of " + method->name + " with fewer words on the stack than it takes");
        const std::uint32_t argBase = sp - method->nargs;
        if (method->native) {
            f->pc = pc;
            f->sp = sp;
            NativeCall native{*this, *method, st + argBase};
            {
                const ServingApi serving(*this, method);
                method->native(native);
            }
            // A native may run bytecode again (a server's
            // getShareableInterfaceObject), which pushes frames of its own.
            f = &frames_.back();
            st = stack_.data();
            sp = argBase;
            switch (method->returns) {
            case Returns::Nothing:
                break;
            case Returns::Int:
                PUSH(native.result[0]);
                PUSH(native.result[1]);
                break;
            default:
                PUSH(native.result[0]);
            }
            pc = resume;
            return;
        }
        if (method->codeStart >= method->codeEnd) [[unlikely]]
            FAULT("a call of " + method->name + ", which has no code");
        if (frames_.size() >= settings.maxDepth) [[unlikely]] {
            f->pc = pc;
            throw Halt("calls went deeper than " + std::to_string(settings.maxDepth) + " frames");
        }
        const std::uint32_t stackBase = argBase + method->nargs + method->maxLocals;
        if (stackBase + method->maxStack > stack_.size()) [[unlikely]] {
            f->pc = pc;
            throw Halt("the runtime's stack is full");
        }
        for (std::uint32_t i = argBase + method->nargs; i < stackBase; ++i)
            st[i] = {};
        f->pc = pc;
        f->resume = resume;
        f->sp = argBase;
        if (profile) [[unlikely]]
            profileEnter(method);
        frames_.push_back(
            {method, method->codeStart, 0, argBase, stackBase, stackBase, stackBase + method->maxStack, context});
        f = &frames_.back();
        code = method->package->code.data();
        pc = method->codeStart;
        end = method->codeEnd;
        sp = stackBase;
    };
    // Leaves the current frame with `words` of result.
    const auto leave = [&](const Word* words, unsigned count) -> bool {
        if (profile) [[unlikely]]
            profileLeave();
        frames_.pop_back();
        if (frames_.size() == depth) {
            result_.assign(words, words + count);
            return true;
        }
        f = &frames_.back();
        code = f->method->package->code.data();
        end = f->method->codeEnd;
        sp = f->sp;
        pc = f->resume;
        for (unsigned i = 0; i < count; ++i)
            PUSH(words[i]);
        return false;
    };
    const auto checkStored = [&](Ref value) {
        if (value != nullRef && live(value) && (heap_[value]->global || heap_[value]->temporary)) [[unlikely]] {
            f->pc = pc;
            throwNew(api.security, std::nullopt,
                     heap_[value]->global ? "a global array kept in a field or an array"
                                          : "a temporary runtime object kept in a field or an array");
        }
    };
    const auto arrayAt = [&](Ref ref, ArrayType type, std::int16_t index, const char* what) -> Object& {
        Object* array;
        DEREF(ref, array);
        if (array->array != type && !(type == ArrayType::Byte && array->array == ArrayType::Boolean)) [[unlikely]]
            FAULT(std::string(what) + " on " + arrayName(array->array));
        if (index < 0 || static_cast<std::size_t>(index) >= array->length()) [[unlikely]] {
            f->pc = pc;
            throwNew(api.arrayIndex, std::nullopt,
                     "index " + std::to_string(index) + " outside a " + arrayName(array->array) + " of " +
                         std::to_string(array->length()));
        }
        return *array;
    };
    const auto instanceOf = [&](const Object& object, std::uint8_t type, const Class* cls) {
        switch (type) {
        case 0:
            if (object.array != ArrayType::None)
                return cls == api.object;
            return object.cls && object.cls->isSubclassOf(cls);
        case 10:
            return object.array == ArrayType::Boolean;
        case 11:
            return object.array == ArrayType::Byte;
        case 12:
            return object.array == ArrayType::Short;
        case 13:
            return object.array == ArrayType::Int;
        case 14:
            return object.array == ArrayType::Reference && (!object.cls || !cls || object.cls->isSubclassOf(cls));
        default:
            return false;
        }
    };
    const auto fieldOf = [&](Ref ref, unsigned index, unsigned cells) -> std::pair<Object*, unsigned> {
        const PoolSlot& slot = poolSlot(index, 2);
        Object* object;
        DEREF(ref, object);
        if (object->array != ArrayType::None || slot.cell + cells > object->cells.size()) [[unlikely]]
            FAULT("a field access to an object that has no such field");
        return {object, slot.cell};
    };
    const auto staticOf = [&](unsigned index, unsigned size, bool reference) -> std::pair<Package*, unsigned> {
        const PoolSlot& slot = poolSlot(index, 5);
        Package& package = *slot.staticsOf;
        const unsigned offset = slot.staticOffset;
        const std::size_t refBytes = package.staticRefs.size() * 2;
        if (reference ? (offset % 2 != 0 || offset + 2 > refBytes)
                      : (offset < refBytes || offset + size > package.staticBytes.size())) [[unlikely]]
            FAULT("a static field access outside the fields of its kind");
        return {&package, offset};
    };
    const auto readCell = [&](const Object& object, unsigned cell, Kind kind) -> Word {
        const Word word = object.cells[cell];
        if (word.kind == Kind::Empty)
            return {0, kind};
        if (word.kind != kind) [[unlikely]]
            FAULT(std::string("a field read as ") + kindName(kind) + " holds " + kindName(word.kind));
        return word;
    };
    const auto makeArray = [&](ArrayType type, std::int16_t length, const Class* element) {
        if (length < 0) [[unlikely]] {
            f->pc = pc;
            throwNew(api.negativeSize, std::nullopt, "an array of length " + std::to_string(length));
        }
        f->pc = pc;
        f->sp = sp;
        const Ref made = newArray(type, static_cast<std::size_t>(length), Memory::Persistent, element);
        heap_[made]->context = f->context;
        return made;
    };

next:
    for (;;) {
        if (budgetLeft == 0) [[unlikely]] {
            f->pc = pc;
            sliceEnded();
        }
        --budgetLeft;
        if (pc >= end) [[unlikely]]
            FAULT("the code runs off the end of its method");
        f->pc = pc;
        const std::uint8_t opcode = code[pc];
        switch (opcode) {
        case 0x00: // nop
            pc += 1;
            break;
        case 0x01: // aconst_null
            PUSH_REF(nullRef);
            pc += 1;
            break;
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07:
        case 0x08: // sconst_m1 .. sconst_5
            PUSH_SHORT(opcode - 0x03);
            pc += 1;
            break;
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x0E:
        case 0x0F: // iconst_m1 .. iconst_5
            PUSH_INT(opcode - 0x0A);
            pc += 1;
            break;
        case 0x10: // bspush
            NEED(1);
            PUSH_SHORT(s8at(pc + 1));
            pc += 2;
            break;
        case 0x11: // sspush
            NEED(2);
            PUSH_SHORT(s16at(pc + 1));
            pc += 3;
            break;
        case 0x12: // bipush
            NEED(1);
            PUSH_INT(s8at(pc + 1));
            pc += 2;
            break;
        case 0x13: // sipush
            NEED(2);
            PUSH_INT(s16at(pc + 1));
            pc += 3;
            break;
        case 0x14: // iipush
            NEED(4);
            PUSH_INT(s32at(pc + 1));
            pc += 5;
            break;
        case 0x15:
        case 0x16: { // aload, sload
            NEED(1);
            const Word word = LOCAL(u8at(pc + 1));
            const Kind want = opcode == 0x15 ? Kind::Reference : Kind::Short;
            if (word.kind != want) [[unlikely]]
                FAULT(std::string("a load of ") + kindName(want) + " from a local holding " + kindName(word.kind));
            PUSH(word);
            pc += 2;
            break;
        }
        case 0x17: { // iload
            NEED(1);
            const unsigned index = u8at(pc + 1);
            const Word high = LOCAL(index), low = LOCAL(index + 1);
            if (high.kind != Kind::IntHigh || low.kind != Kind::IntLow) [[unlikely]]
                FAULT("an int load from locals that hold no int");
            PUSH(high);
            PUSH(low);
            pc += 2;
            break;
        }
        case 0x18:
        case 0x19:
        case 0x1A:
        case 0x1B:
        case 0x1C:
        case 0x1D:
        case 0x1E:
        case 0x1F: { // aload_n, sload_n
            const Word word = LOCAL(opcode & 3u);
            const Kind want = opcode < 0x1C ? Kind::Reference : Kind::Short;
            if (word.kind != want) [[unlikely]]
                FAULT(std::string("a load of ") + kindName(want) + " from a local holding " + kindName(word.kind));
            PUSH(word);
            pc += 1;
            break;
        }
        case 0x20:
        case 0x21:
        case 0x22:
        case 0x23: { // iload_n
            const unsigned index = opcode - 0x20u;
            const Word high = LOCAL(index), low = LOCAL(index + 1);
            if (high.kind != Kind::IntHigh || low.kind != Kind::IntLow) [[unlikely]]
                FAULT("an int load from locals that hold no int");
            PUSH(high);
            PUSH(low);
            pc += 1;
            break;
        }
        case 0x24: { // aaload
            std::int16_t index;
            Ref ref;
            POP_SHORT(index);
            POP_REF(ref);
            PUSH_REF(arrayAt(ref, ArrayType::Reference, index, "aaload").refs[static_cast<std::size_t>(index)]);
            pc += 1;
            break;
        }
        case 0x25: { // baload
            std::int16_t index;
            Ref ref;
            POP_SHORT(index);
            POP_REF(ref);
            PUSH_SHORT(static_cast<std::int8_t>(
                arrayAt(ref, ArrayType::Byte, index, "baload").bytes[static_cast<std::size_t>(index)]));
            pc += 1;
            break;
        }
        case 0x26: { // saload
            std::int16_t index;
            Ref ref;
            POP_SHORT(index);
            POP_REF(ref);
            PUSH_SHORT(arrayAt(ref, ArrayType::Short, index, "saload").shorts[static_cast<std::size_t>(index)]);
            pc += 1;
            break;
        }
        case 0x27: { // iaload
            std::int16_t index;
            Ref ref;
            POP_SHORT(index);
            POP_REF(ref);
            PUSH_INT(arrayAt(ref, ArrayType::Int, index, "iaload").ints[static_cast<std::size_t>(index)]);
            pc += 1;
            break;
        }
        case 0x28: { // astore: a reference, or a subroutine's return address
            NEED(1);
            if (sp <= f->stackBase) [[unlikely]]
                FAULT("an instruction takes more words than the stack holds");
            const Word word = st[--sp];
            if (word.kind != Kind::Reference && word.kind != Kind::ReturnAddress) [[unlikely]]
                FAULT(std::string("astore of ") + kindName(word.kind));
            LOCAL(u8at(pc + 1)) = word;
            pc += 2;
            break;
        }
        case 0x29: { // sstore
            NEED(1);
            Word word;
            POP(Kind::Short, word);
            LOCAL(u8at(pc + 1)) = word;
            pc += 2;
            break;
        }
        case 0x2A: { // istore
            NEED(1);
            Word low, high;
            POP(Kind::IntLow, low);
            POP(Kind::IntHigh, high);
            const unsigned index = u8at(pc + 1);
            LOCAL(index) = high;
            LOCAL(index + 1) = low;
            pc += 2;
            break;
        }
        case 0x2B:
        case 0x2C:
        case 0x2D:
        case 0x2E: { // astore_n: a reference, or a subroutine's return address
            if (sp <= f->stackBase) [[unlikely]]
                FAULT("an instruction takes more words than the stack holds");
            const Word word = st[--sp];
            if (word.kind != Kind::Reference && word.kind != Kind::ReturnAddress) [[unlikely]]
                FAULT(std::string("astore of ") + kindName(word.kind));
            LOCAL(opcode - 0x2Bu) = word;
            pc += 1;
            break;
        }
        case 0x2F:
        case 0x30:
        case 0x31:
        case 0x32: { // sstore_n
            Word word;
            POP(Kind::Short, word);
            LOCAL(opcode - 0x2Fu) = word;
            pc += 1;
            break;
        }
        case 0x33:
        case 0x34:
        case 0x35:
        case 0x36: { // istore_n
            Word low, high;
            POP(Kind::IntLow, low);
            POP(Kind::IntHigh, high);
            const unsigned index = opcode - 0x33u;
            LOCAL(index) = high;
            LOCAL(index + 1) = low;
            pc += 1;
            break;
        }
        case 0x37: { // aastore
            Ref value, ref;
            std::int16_t index;
            POP_REF(value);
            POP_SHORT(index);
            POP_REF(ref);
            Object& array = arrayAt(ref, ArrayType::Reference, index, "aastore");
            if (value != nullRef) {
                if (!live(value)) [[unlikely]]
                    FAULT("a reference to no object");
                const Object& stored = *heap_[value];
                if (array.cls && !instanceOf(stored, 0, array.cls)) [[unlikely]] {
                    f->pc = pc;
                    throwNew(api.arrayStore, std::nullopt,
                             (stored.cls ? stored.cls->name : std::string(arrayName(stored.array))) +
                                 " stored in an array of " + array.cls->name);
                }
                checkStored(value);
            }
            setRef(ref, static_cast<std::size_t>(index), value);
            pc += 1;
            break;
        }
        case 0x38: { // bastore
            std::int16_t value, index;
            Ref ref;
            POP_SHORT(value);
            POP_SHORT(index);
            POP_REF(ref);
            arrayAt(ref, ArrayType::Byte, index, "bastore");
            setByte(ref, static_cast<std::size_t>(index), static_cast<std::uint8_t>(value));
            pc += 1;
            break;
        }
        case 0x39: { // sastore
            std::int16_t value, index;
            Ref ref;
            POP_SHORT(value);
            POP_SHORT(index);
            POP_REF(ref);
            arrayAt(ref, ArrayType::Short, index, "sastore");
            setShort(ref, static_cast<std::size_t>(index), value);
            pc += 1;
            break;
        }
        case 0x3A: { // iastore
            std::int32_t value;
            std::int16_t index;
            Ref ref;
            POP_INT(value);
            POP_SHORT(index);
            POP_REF(ref);
            arrayAt(ref, ArrayType::Int, index, "iastore");
            setInt(ref, static_cast<std::size_t>(index), value);
            pc += 1;
            break;
        }
        case 0x3B:   // pop
        case 0x3C: { // pop2
            const unsigned count = opcode == 0x3B ? 1 : 2;
            if (sp < f->stackBase + count) [[unlikely]]
                FAULT("an instruction takes more words than the stack holds");
            sp -= count;
            pc += 1;
            break;
        }
        case 0x3D:   // dup
        case 0x3E: { // dup2
            const unsigned count = opcode == 0x3D ? 1 : 2;
            if (sp < f->stackBase + count) [[unlikely]]
                FAULT("an instruction takes more words than the stack holds");
            for (unsigned i = 0; i < count; ++i) {
                const Word copy = st[sp - count];
                PUSH(copy);
            }
            pc += 1;
            break;
        }
        case 0x3F: { // dup_x: the top m words copied under the top n
            NEED(1);
            const unsigned m = u8at(pc + 1) >> 4, n = u8at(pc + 1) & 0x0F;
            if (m < 1 || m > 4 || (n != 0 && (n < m || n > m + 4))) [[unlikely]]
                FAULT("dup_x with operand " + std::to_string(u8at(pc + 1)));
            const unsigned depthOf = n == 0 ? m : n;
            if (sp < f->stackBase + depthOf || sp + m > f->stackEnd) [[unlikely]]
                FAULT("dup_x past the stack");
            Word copy[4];
            for (unsigned i = 0; i < m; ++i)
                copy[i] = st[sp - m + i];
            for (unsigned i = 0; i < depthOf; ++i)
                st[sp + m - 1 - i] = st[sp - 1 - i];
            for (unsigned i = 0; i < m; ++i)
                st[sp - depthOf + i] = copy[i];
            sp += m;
            pc += 2;
            break;
        }
        case 0x40: { // swap_x: the top m words swapped with the n under them
            NEED(1);
            const unsigned m = u8at(pc + 1) >> 4, n = u8at(pc + 1) & 0x0F;
            if (m < 1 || m > 2 || n < 1 || n > 2 || sp < f->stackBase + m + n) [[unlikely]]
                FAULT("swap_x with operand " + std::to_string(u8at(pc + 1)));
            Word words[4];
            for (unsigned i = 0; i < m + n; ++i)
                words[i] = st[sp - m - n + i];
            for (unsigned i = 0; i < m; ++i)
                st[sp - m - n + i] = words[n + i];
            for (unsigned i = 0; i < n; ++i)
                st[sp - n + i] = words[i];
            pc += 2;
            break;
        }
        case 0x41:
        case 0x43:
        case 0x45:
        case 0x47:
        case 0x49:
        case 0x4D:
        case 0x4F:
        case 0x51:
        case 0x53:
        case 0x55:
        case 0x57: { // short arithmetic
            std::int16_t b, a;
            POP_SHORT(b);
            POP_SHORT(a);
            std::int32_t r = 0;
            switch (opcode) {
            case 0x41:
                r = a + b;
                break;
            case 0x43:
                r = a - b;
                break;
            case 0x45:
                r = a * b;
                break;
            case 0x47:
            case 0x49:
                if (b == 0) [[unlikely]] {
                    f->pc = pc;
                    throwNew(api.arithmetic, std::nullopt, "a short divided by zero");
                }
                r = opcode == 0x47 ? a / b : a % b;
                break;
            case 0x4D:
                r = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << (b & 0x1F));
                break;
            case 0x4F:
                r = a >> (b & 0x1F);
                break;
            case 0x51:
                r = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(a)) >> (b & 0x1F));
                break;
            case 0x53:
                r = a & b;
                break;
            case 0x55:
                r = a | b;
                break;
            default:
                r = a ^ b;
            }
            PUSH_SHORT(r);
            pc += 1;
            break;
        }
        case 0x42:
        case 0x44:
        case 0x46:
        case 0x48:
        case 0x4A:
        case 0x54:
        case 0x56:
        case 0x58: { // int arithmetic
            std::int32_t b, a;
            POP_INT(b);
            POP_INT(a);
            std::int64_t r = 0;
            switch (opcode) {
            case 0x42:
                r = std::int64_t{a} + b;
                break;
            case 0x44:
                r = std::int64_t{a} - b;
                break;
            case 0x46:
                r = std::int64_t{a} * b;
                break;
            case 0x48:
            case 0x4A:
                if (b == 0) [[unlikely]] {
                    f->pc = pc;
                    throwNew(api.arithmetic, std::nullopt, "an int divided by zero");
                }
                if (a == std::numeric_limits<std::int32_t>::min() && b == -1)
                    r = opcode == 0x48 ? a : 0;
                else
                    r = opcode == 0x48 ? a / b : a % b;
                break;
            case 0x54:
                r = a & b;
                break;
            case 0x56:
                r = a | b;
                break;
            default:
                r = a ^ b;
            }
            PUSH_INT(s32(r));
            pc += 1;
            break;
        }
        case 0x4E:
        case 0x50:
        case 0x52: { // ishl, ishr, iushr: the count is an int
            std::int32_t count, a;
            POP_INT(count);
            POP_INT(a);
            const unsigned s = static_cast<unsigned>(count) & 0x1F;
            const std::int32_t r = opcode == 0x4E   ? static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << s)
                                   : opcode == 0x50 ? a >> s
                                                    : static_cast<std::int32_t>(static_cast<std::uint32_t>(a) >> s);
            PUSH_INT(r);
            pc += 1;
            break;
        }
        case 0x4B: { // sneg
            std::int16_t a;
            POP_SHORT(a);
            PUSH_SHORT(-a);
            pc += 1;
            break;
        }
        case 0x4C: { // ineg
            std::int32_t a;
            POP_INT(a);
            PUSH_INT(s32(-std::int64_t{a}));
            pc += 1;
            break;
        }
        case 0x59: { // sinc
            NEED(2);
            Word& local = LOCAL(u8at(pc + 1));
            if (local.kind != Kind::Short) [[unlikely]]
                FAULT("sinc of a local holding " + std::string(kindName(local.kind)));
            local.value = s16(local.value + s8at(pc + 2));
            pc += 3;
            break;
        }
        case 0x96: { // sinc_w
            NEED(3);
            Word& local = LOCAL(u8at(pc + 1));
            if (local.kind != Kind::Short) [[unlikely]]
                FAULT("sinc_w of a local holding " + std::string(kindName(local.kind)));
            local.value = s16(local.value + s16at(pc + 2));
            pc += 4;
            break;
        }
        case 0x5A:
        case 0x97: { // iinc, iinc_w
            NEED(opcode == 0x5A ? 2 : 3);
            const unsigned index = u8at(pc + 1);
            Word& high = LOCAL(index);
            Word& low = LOCAL(index + 1);
            if (high.kind != Kind::IntHigh || low.kind != Kind::IntLow) [[unlikely]]
                FAULT("iinc of locals that hold no int");
            const std::int32_t value =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(high.value)) << 16 |
                                          static_cast<std::uint16_t>(low.value));
            const std::int32_t r = s32(std::int64_t{value} + (opcode == 0x5A ? s8at(pc + 2) : s16at(pc + 2)));
            high.value = s16(r >> 16);
            low.value = s16(r);
            pc += opcode == 0x5A ? 3 : 4;
            break;
        }
        case 0x5B: { // s2b
            std::int16_t a;
            POP_SHORT(a);
            PUSH_SHORT(static_cast<std::int8_t>(a));
            pc += 1;
            break;
        }
        case 0x5C: { // s2i
            std::int16_t a;
            POP_SHORT(a);
            PUSH_INT(a);
            pc += 1;
            break;
        }
        case 0x5D:
        case 0x5E: { // i2b, i2s
            std::int32_t a;
            POP_INT(a);
            PUSH_SHORT(opcode == 0x5D ? static_cast<std::int8_t>(a) : s16(a));
            pc += 1;
            break;
        }
        case 0x5F: { // icmp
            std::int32_t b, a;
            POP_INT(b);
            POP_INT(a);
            PUSH_SHORT(a < b ? -1 : a > b ? 1 : 0);
            pc += 1;
            break;
        }
        case 0x60:
        case 0x61:
        case 0x62:
        case 0x63:
        case 0x64:
        case 0x65:
        case 0x98:
        case 0x99:
        case 0x9A:
        case 0x9B:
        case 0x9C:
        case 0x9D: { // ifeq .. ifle, and their wide forms
            const bool wide = opcode >= 0x98;
            NEED(wide ? 2 : 1);
            std::int16_t a;
            POP_SHORT(a);
            const unsigned test = wide ? opcode - 0x98u : opcode - 0x60u;
            const bool taken = test == 0   ? a == 0
                               : test == 1 ? a != 0
                               : test == 2 ? a < 0
                               : test == 3 ? a >= 0
                               : test == 4 ? a > 0
                                           : a <= 0;
            if (taken)
                BRANCH(wide ? s16at(pc + 1) : s8at(pc + 1));
            pc += wide ? 3 : 2;
            break;
        }
        case 0x66:
        case 0x67:
        case 0x9E:
        case 0x9F: { // ifnull, ifnonnull
            const bool wide = opcode >= 0x9E;
            NEED(wide ? 2 : 1);
            Ref a;
            POP_REF(a);
            if ((a == nullRef) == (opcode == 0x66 || opcode == 0x9E))
                BRANCH(wide ? s16at(pc + 1) : s8at(pc + 1));
            pc += wide ? 3 : 2;
            break;
        }
        case 0x68:
        case 0x69:
        case 0xA0:
        case 0xA1: { // if_acmpeq, if_acmpne
            const bool wide = opcode >= 0xA0;
            NEED(wide ? 2 : 1);
            Ref b, a;
            POP_REF(b);
            POP_REF(a);
            if ((a == b) == (opcode == 0x68 || opcode == 0xA0))
                BRANCH(wide ? s16at(pc + 1) : s8at(pc + 1));
            pc += wide ? 3 : 2;
            break;
        }
        case 0x6A:
        case 0x6B:
        case 0x6C:
        case 0x6D:
        case 0x6E:
        case 0x6F:
        case 0xA2:
        case 0xA3:
        case 0xA4:
        case 0xA5:
        case 0xA6:
        case 0xA7: { // if_scmpeq .. if_scmple
            const bool wide = opcode >= 0xA2;
            NEED(wide ? 2 : 1);
            std::int16_t b, a;
            POP_SHORT(b);
            POP_SHORT(a);
            const unsigned test = wide ? opcode - 0xA2u : opcode - 0x6Au;
            const bool taken = test == 0   ? a == b
                               : test == 1 ? a != b
                               : test == 2 ? a < b
                               : test == 3 ? a >= b
                               : test == 4 ? a > b
                                           : a <= b;
            if (taken)
                BRANCH(wide ? s16at(pc + 1) : s8at(pc + 1));
            pc += wide ? 3 : 2;
            break;
        }
        case 0x70: // goto
            NEED(1);
            BRANCH(s8at(pc + 1));
        case 0xA8: // goto_w
            NEED(2);
            BRANCH(s16at(pc + 1));
        case 0x71: { // jsr
            NEED(2);
            PUSH((Word{static_cast<std::int16_t>(pc + 3), Kind::ReturnAddress}));
            BRANCH(s16at(pc + 1));
        }
        case 0x72: { // ret
            NEED(1);
            const Word word = LOCAL(u8at(pc + 1));
            if (word.kind != Kind::ReturnAddress) [[unlikely]]
                FAULT("ret through a local that holds no return address");
            const std::uint32_t target = static_cast<std::uint16_t>(word.value);
            if (target < f->method->codeStart || target >= end) [[unlikely]]
                FAULT("ret outside its method");
            pc = target;
            break;
        }
        case 0x73: { // stableswitch
            NEED(6);
            std::int16_t index;
            POP_SHORT(index);
            const std::int16_t low = s16at(pc + 3), high = s16at(pc + 5);
            if (high < low || pc + 7 + 2u * static_cast<unsigned>(high - low + 1) > end) [[unlikely]]
                FAULT("stableswitch past its method");
            if (index >= low && index <= high)
                BRANCH(s16at(pc + 7 + 2u * static_cast<unsigned>(index - low)));
            BRANCH(s16at(pc + 1));
        }
        case 0x74: { // itableswitch
            NEED(10);
            std::int32_t index;
            POP_INT(index);
            const std::int32_t low = s32at(pc + 3), high = s32at(pc + 7);
            const std::int64_t count = std::int64_t{high} - low + 1;
            if (count < 1 || pc + 11 + 2 * count > end) [[unlikely]]
                FAULT("itableswitch past its method");
            if (index >= low && index <= high)
                BRANCH(s16at(pc + 11 + static_cast<std::uint32_t>(2 * (std::int64_t{index} - low))));
            BRANCH(s16at(pc + 1));
        }
        case 0x75: { // slookupswitch
            NEED(4);
            std::int16_t key;
            POP_SHORT(key);
            const unsigned pairs = u16at(pc + 3);
            if (pc + 5 + 4u * pairs > end) [[unlikely]]
                FAULT("slookupswitch past its method");
            for (unsigned i = 0; i < pairs; ++i)
                if (s16at(pc + 5 + 4 * i) == key)
                    BRANCH(s16at(pc + 7 + 4 * i));
            BRANCH(s16at(pc + 1));
        }
        case 0x76: { // ilookupswitch
            NEED(4);
            std::int32_t key;
            POP_INT(key);
            const unsigned pairs = u16at(pc + 3);
            if (pc + 5 + 6u * pairs > end) [[unlikely]]
                FAULT("ilookupswitch past its method");
            for (unsigned i = 0; i < pairs; ++i)
                if (s32at(pc + 5 + 6 * i) == key)
                    BRANCH(s16at(pc + 9 + 6 * i));
            BRANCH(s16at(pc + 1));
        }
        case 0x77:
        case 0x78: { // areturn, sreturn
            Word value;
            POP(opcode == 0x77 ? Kind::Reference : Kind::Short, value);
            if (leave(&value, 1))
                return;
            break;
        }
        case 0x79: { // ireturn
            Word words[2];
            POP(Kind::IntLow, words[1]);
            POP(Kind::IntHigh, words[0]);
            if (leave(words, 2))
                return;
            break;
        }
        case 0x7A: // return
            if (leave(nullptr, 0))
                return;
            break;
        case 0x7B: { // getstatic_a
            NEED(2);
            const auto [package, offset] = staticOf(u16at(pc + 1), 2, true);
            PUSH_REF(package->staticRefs[offset / 2]);
            pc += 3;
            break;
        }
        case 0x7C:
        case 0x7D:
        case 0x7E: { // getstatic_b, _s, _i
            NEED(2);
            const unsigned size = opcode == 0x7C ? 1 : opcode == 0x7D ? 2 : 4;
            const auto [package, offset] = staticOf(u16at(pc + 1), size, false);
            const std::uint8_t* at = package->staticBytes.data() + offset;
            if (size == 1)
                PUSH_SHORT(static_cast<std::int8_t>(at[0]));
            else if (size == 2)
                PUSH_SHORT(static_cast<std::int16_t>(at[0] << 8 | at[1]));
            else
                PUSH_INT(static_cast<std::int32_t>(std::uint32_t{at[0]} << 24 | at[1] << 16 | at[2] << 8 | at[3]));
            pc += 3;
            break;
        }
        case 0x7F: { // putstatic_a
            NEED(2);
            Ref value;
            POP_REF(value);
            const auto [package, offset] = staticOf(u16at(pc + 1), 2, true);
            checkStored(value);
            setStaticRef(*package, offset / 2, value);
            pc += 3;
            break;
        }
        case 0x80:
        case 0x81:
        case 0x82: { // putstatic_b, _s, _i
            NEED(2);
            const unsigned size = opcode == 0x80 ? 1 : opcode == 0x81 ? 2 : 4;
            std::int32_t value;
            if (size == 4) {
                POP_INT(value);
            } else {
                std::int16_t s;
                POP_SHORT(s);
                value = s;
            }
            const auto [package, offset] = staticOf(u16at(pc + 1), size, false);
            for (unsigned i = 0; i < size; ++i)
                setStaticByte(*package, offset + i, static_cast<std::uint8_t>(value >> (8 * (size - 1 - i))));
            pc += 3;
            break;
        }
        case 0x83:
        case 0x84:
        case 0x85:
        case 0x86:
        case 0xA9:
        case 0xAA:
        case 0xAB:
        case 0xAC:
        case 0xAD:
        case 0xAE:
        case 0xAF:
        case 0xB0: { // getfield_<t>, _w, _this
            const bool wide = opcode >= 0xA9 && opcode <= 0xAC;
            const bool self = opcode >= 0xAD;
            const unsigned type = self ? opcode - 0xADu : wide ? opcode - 0xA9u : opcode - 0x83u;
            NEED(wide ? 2 : 1);
            const unsigned index = wide ? u16at(pc + 1) : u8at(pc + 1);
            Ref ref;
            if (self) {
                const Word word = LOCAL(0);
                if (word.kind != Kind::Reference) [[unlikely]]
                    FAULT("getfield_this where local 0 holds " + std::string(kindName(word.kind)));
                ref = static_cast<Ref>(word.value);
            } else {
                POP_REF(ref);
            }
            const auto [object, cell] = fieldOf(ref, index, type == 3 ? 2 : 1);
            if (type == 0) {
                PUSH(readCell(*object, cell, Kind::Reference));
            } else if (type == 3) {
                PUSH(readCell(*object, cell, Kind::IntHigh));
                PUSH(readCell(*object, cell + 1, Kind::IntLow));
            } else {
                const Word word = readCell(*object, cell, Kind::Short);
                PUSH_SHORT(type == 1 ? static_cast<std::int8_t>(word.value) : word.value);
            }
            pc += wide ? 3 : 2;
            break;
        }
        case 0x87:
        case 0x88:
        case 0x89:
        case 0x8A:
        case 0xB1:
        case 0xB2:
        case 0xB3:
        case 0xB4:
        case 0xB5:
        case 0xB6:
        case 0xB7:
        case 0xB8: { // putfield_<t>, _w, _this
            const bool wide = opcode >= 0xB1 && opcode <= 0xB4;
            const bool self = opcode >= 0xB5;
            const unsigned type = self ? opcode - 0xB5u : wide ? opcode - 0xB1u : opcode - 0x87u;
            NEED(wide ? 2 : 1);
            const unsigned index = wide ? u16at(pc + 1) : u8at(pc + 1);
            Word words[2];
            if (type == 3) {
                POP(Kind::IntLow, words[1]);
                POP(Kind::IntHigh, words[0]);
            } else {
                POP(type == 0 ? Kind::Reference : Kind::Short, words[0]);
                if (type == 1)
                    words[0].value = static_cast<std::int8_t>(words[0].value);
            }
            Ref ref;
            if (self) {
                const Word word = LOCAL(0);
                if (word.kind != Kind::Reference) [[unlikely]]
                    FAULT("putfield_this where local 0 holds " + std::string(kindName(word.kind)));
                ref = static_cast<Ref>(word.value);
            } else {
                POP_REF(ref);
            }
            const auto [object, cell] = fieldOf(ref, index, type == 3 ? 2 : 1);
            (void)object;
            if (type == 0)
                checkStored(static_cast<Ref>(words[0].value));
            setCell(ref, cell, words[0]);
            if (type == 3)
                setCell(ref, cell + 1, words[1]);
            pc += wide ? 3 : 2;
            break;
        }
        case 0x8B: { // invokevirtual
            NEED(2);
            const PoolSlot& slot = poolSlot(u16at(pc + 1), 3);
            if (sp < f->stackBase + slot.argWords) [[unlikely]]
                FAULT("invokevirtual with fewer words on the stack than it takes");
            const Word self = st[sp - slot.argWords];
            if (self.kind != Kind::Reference) [[unlikely]]
                FAULT("invokevirtual on " + std::string(kindName(self.kind)));
            Object* target;
            DEREF(static_cast<Ref>(self.value), target);
            const Method* method = nullptr;
            if (slot.packageToken) {
                const Class* cls = target->cls;
                if (cls && cls->package == slot.cls->package && slot.token < cls->packageVirtuals.size())
                    method = cls->packageVirtuals[slot.token];
            } else {
                method = virtualMethod(*target, slot.token);
            }
            if (method && method->nargs != slot.argWords) [[unlikely]]
                FAULT("invokevirtual of " + method->name + " with " + std::to_string(slot.argWords) +
                      " words, which takes " + std::to_string(method->nargs));
            enter(method, pc + 3, f->context);
            break;
        }
        case 0x8C: { // invokespecial: a constructor, a private method, or a superclass's
            NEED(2);
            const unsigned index = u16at(pc + 1);
            const PoolSlot& slot = poolSlot(index, 6);
            const Method* method = slot.method;
            if (slot.kind == 4) {
                const Class* owner = f->method->owner ? f->method->owner : slot.cls;
                const Class* super = owner ? owner->super : nullptr;
                const auto& table = super ? (slot.packageToken ? super->packageVirtuals : super->virtuals)
                                          : std::vector<const Method*>{};
                method = super && slot.token < table.size() ? table[slot.token] : nullptr;
            }
            if (method && (method->nargs == 0 || sp < f->stackBase + method->nargs ||
                           st[sp - method->nargs].kind != Kind::Reference)) [[unlikely]]
                FAULT("invokespecial without an object under its arguments");
            if (method && static_cast<Ref>(st[sp - method->nargs].value) == nullRef) [[unlikely]]
                throwNew(api.nullPointer, std::nullopt, "invokespecial on a null reference");
            enter(method, pc + 3, f->context);
            break;
        }
        case 0x8D: { // invokestatic
            NEED(2);
            const PoolSlot& slot = poolSlot(u16at(pc + 1), 6);
            enter(slot.method, pc + 3, f->context);
            break;
        }
        case 0x8E: { // invokeinterface
            NEED(4);
            const unsigned nargs = u8at(pc + 1);
            const PoolSlot& slot = poolSlot(u16at(pc + 2), 1);
            const unsigned token = u8at(pc + 4);
            if (nargs == 0 || sp < f->stackBase + nargs) [[unlikely]]
                FAULT("invokeinterface with fewer words on the stack than it takes");
            const Word self = st[sp - nargs];
            if (self.kind != Kind::Reference) [[unlikely]]
                FAULT("invokeinterface on " + std::string(kindName(self.kind)));
            const Ref ref = static_cast<Ref>(self.value);
            if (ref == nullRef) [[unlikely]]
                throwNew(api.nullPointer, std::nullopt, "invokeinterface on a null reference");
            if (!live(ref)) [[unlikely]]
                FAULT("a reference to no object");
            const Object& target = *heap_[ref];
            std::uint16_t context = f->context;
            if (behindFirewall(target, f->context)) {
                // Another applet's object answers only through a Shareable interface.
                if (!slot.cls->isShareable && !slot.cls->isSubclassOf(api.shareable)) [[unlikely]]
                    FAULT("a call through " + slot.cls->name + " on an object of another applet's context");
                context = target.context;
            }
            const Method* method =
                target.cls && target.array == ArrayType::None ? target.cls->interfaceMethod(slot.cls, token) : nullptr;
            if (!method) [[unlikely]]
                FAULT("the object does not implement method " + std::to_string(token) + " of " + slot.cls->name);
            if (method->nargs != nargs) [[unlikely]]
                FAULT("invokeinterface of " + method->name + " with " + std::to_string(nargs) + " words, which takes " +
                      std::to_string(method->nargs));
            enter(method, pc + 5, context);
            break;
        }
        case 0x8F: { // new
            NEED(2);
            const PoolSlot& slot = poolSlot(u16at(pc + 1), 1);
            if (slot.cls->isInterface) [[unlikely]]
                FAULT("new of interface " + slot.cls->name);
            f->sp = sp;
            const Ref made = newInstance(slot.cls);
            heap_[made]->context = f->context;
            PUSH_REF(made);
            pc += 3;
            break;
        }
        case 0x90: { // newarray
            NEED(1);
            std::int16_t length;
            POP_SHORT(length);
            const std::uint8_t type = u8at(pc + 1);
            if (type < 10 || type > 13) [[unlikely]]
                FAULT("newarray of type " + std::to_string(type));
            const ArrayType types[] = {ArrayType::Boolean, ArrayType::Byte, ArrayType::Short, ArrayType::Int};
            PUSH_REF(makeArray(types[type - 10], length, nullptr));
            pc += 2;
            break;
        }
        case 0x91: { // anewarray
            NEED(2);
            std::int16_t length;
            POP_SHORT(length);
            const PoolSlot& slot = poolSlot(u16at(pc + 1), 1);
            PUSH_REF(makeArray(ArrayType::Reference, length, slot.cls));
            pc += 3;
            break;
        }
        case 0x92: { // arraylength
            Ref ref;
            POP_REF(ref);
            Object* array;
            DEREF(ref, array);
            if (array->array == ArrayType::None) [[unlikely]]
                FAULT("arraylength of an object that is no array");
            PUSH_SHORT(static_cast<std::int16_t>(array->length()));
            pc += 1;
            break;
        }
        case 0x93: { // athrow
            Ref ref;
            POP_REF(ref);
            Object* thrown;
            DEREF(ref, thrown);
            if (thrown->array != ArrayType::None || !thrown->cls || !thrown->cls->isSubclassOf(api.throwable))
                [[unlikely]]
                FAULT("athrow of an object that is no Throwable");
            noteThrow(ref, {});
            throw Thrown{ref};
        }
        case 0x94:
        case 0x95: { // checkcast, instanceof
            NEED(3);
            Ref ref;
            POP_REF(ref);
            const std::uint8_t type = u8at(pc + 1);
            const Class* cls = nullptr;
            if (type == 0 || type == 14)
                cls = poolSlot(u16at(pc + 2), 1).cls;
            else if (type < 10 || type > 13) [[unlikely]]
                FAULT("checkcast or instanceof of type " + std::to_string(type));
            bool is = false;
            if (ref != nullRef) {
                if (!live(ref)) [[unlikely]]
                    FAULT("a reference to no object");
                is = instanceOf(*heap_[ref], type, cls);
            }
            if (opcode == 0x95) {
                PUSH_SHORT(is ? 1 : 0);
            } else {
                if (ref != nullRef && !is) [[unlikely]]
                    throwNew(api.classCast, std::nullopt,
                             "a cast of " +
                                 (heap_[ref]->cls && heap_[ref]->array == ArrayType::None
                                      ? heap_[ref]->cls->name
                                      : std::string(arrayName(heap_[ref]->array))) +
                                 " to " + (cls ? cls->name : std::string("an array")));
                PUSH_REF(ref);
            }
            pc += 4;
            break;
        }

        default:
            // A breakpoint's opcode: the instruction's own is put back for
            // one instruction, and the loop taken up again (through
            // execute(), which keeps this path out of the loop's way).
            if (opcode == breakpointOpcode) {
                f->sp = sp;
                passBreakpoint(pc);
            }
            FAULT("opcode " + std::to_string(opcode) + ", which no Java Card runs");
        }
    }
}

} // namespace tolvane::runtime
