#include "core/runtime/debug/debugger.h"

#include "core/base/error.h"
#include "core/base/hex.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tolvane::runtime {
namespace {

using nlohmann::json;

// How many instructions run between two looks at the client while nothing
// is stepped: a pause is seen within that many.
constexpr std::uint64_t runningSlice = 4096;

// "S" short, "[B" byte[], "Lcom/acme/Purse;" com.acme.Purse.
std::string typeName(const std::string& descriptor)
{
    if (descriptor.empty())
        return {};
    switch (descriptor[0]) {
    case 'S':
        return "short";
    case 'B':
        return "byte";
    case 'Z':
        return "boolean";
    case 'I':
        return "int";
    case '[':
        return typeName(descriptor.substr(1)) + "[]";
    case 'L': {
        std::string name = descriptor.substr(1, descriptor.size() - 2);
        std::replace(name.begin(), name.end(), '/', '.');
        return name;
    }
    default:
        return descriptor;
    }
}

std::string shortName(std::string name)
{
    const auto cut = name.find_last_of("/.");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

const char* arrayTypeName(ArrayType type)
{
    switch (type) {
    case ArrayType::Boolean:
        return "boolean";
    case ArrayType::Byte:
        return "byte";
    case ArrayType::Short:
        return "short";
    case ArrayType::Int:
        return "int";
    default:
        return "Object";
    }
}

std::string fileName(const std::string& path)
{
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// "com/acme/wallet@0104": a method's instruction, as stack frames give it
// and instruction breakpoints take it.
std::string instructionReference(const Package& package, unsigned pc)
{
    std::string text = package.name + "@";
    appendHex(text, static_cast<std::uint8_t>(pc >> 8), HexCase::Upper);
    appendHex(text, static_cast<std::uint8_t>(pc), HexCase::Upper);
    return text;
}

} // namespace

Debugger::Debugger(DapChannel& channel, DebugCardMaker maker, DebugLaunch defaults)
    : channel_(channel), maker_(std::move(maker)), launch_(std::move(defaults))
{
}

Debugger::~Debugger()
{
    if (card_)
        card_->setTracer(nullptr);
}

int Debugger::serve()
{
    while (!ending_) {
        // Between commands: what came while one ran, then the script's next
        // one, once no request waits.
        if (!deferred_.empty()) {
            const json request = std::move(deferred_.front());
            deferred_.erase(deferred_.begin());
            handle(request);
            continue;
        }
        if (configured_ && !terminated_ && scriptAt_ < script_.size() && !channel_.ready()) {
            runScript();
            continue;
        }
        const auto message = channel_.read();
        if (!message)
            break;
        handle(*message);
    }
    return ending_ || channel_.problem().empty() ? 0 : 1;
}

namespace {

// A request's number and name, whatever its fields hold.
json requestSeq(const json& request)
{
    const auto found = request.find("seq");
    return found != request.end() && found->is_number_integer() ? *found : json(0);
}

std::string requestName(const json& request)
{
    const auto found = request.find("command");
    return found != request.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A number of the client's as the protocol means it: a whole number from
// `least` to `most`, or the request fails saying so. A float or a number
// out of range is never converted (which would be undefined).
long long wholeValue(const json& value, const std::string& what, long long least, long long most)
{
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= static_cast<std::uint64_t>(most))
        return static_cast<long long>(value.get<std::uint64_t>());
    if (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() >= least &&
        value.get<std::int64_t>() <= most)
        return value.get<std::int64_t>();
    throw Error(ErrorKind::Simulation, {},
                what + " is no whole number from " + std::to_string(least) + " to " + std::to_string(most));
}

// The field `name` of `object` as above, `fallback` where it is not given.
long long wholeNumber(const json& object, const char* name, long long fallback, long long least = 0,
                      long long most = 0xFFFFFFFF)
{
    const auto found = object.is_object() ? object.find(name) : object.end();
    return found == object.end() || found->is_null() ? fallback : wholeValue(*found, name, least, most);
}

} // namespace

void Debugger::respond(const json& request, json body)
{
    if (disconnected_)
        return;
    channel_.write({{"seq", seq_++},
                    {"type", "response"},
                    {"request_seq", requestSeq(request)},
                    {"command", requestName(request)},
                    {"success", true},
                    {"body", std::move(body)}});
}

void Debugger::fail(const json& request, const std::string& message)
{
    if (disconnected_)
        return;
    channel_.write({{"seq", seq_++},
                    {"type", "response"},
                    {"request_seq", requestSeq(request)},
                    {"command", requestName(request)},
                    {"success", false},
                    {"message", message},
                    {"body", {{"error", {{"id", 1}, {"format", message}, {"showUser", true}}}}}});
}

void Debugger::event(const std::string& name, json body)
{
    if (disconnected_)
        return;
    channel_.write({{"seq", seq_++}, {"type", "event"}, {"event", name}, {"body", std::move(body)}});
}

void Debugger::output(const std::string& text, const char* category)
{
    event("output", {{"category", category}, {"output", text + "\n"}});
}

void Debugger::handle(const json& request)
{
    const auto type = request.find("type");
    if (type == request.end() || *type != "request")
        return;
    const std::string command = requestName(request);
    const json arguments = request.contains("arguments") && request["arguments"].is_object() ? request["arguments"]
                                                                                              : json::object();
    try {
        if (command == "initialize") {
            linesFrom1_ = arguments.value("linesStartAt1", true);
            columnsFrom1_ = arguments.value("columnsStartAt1", true);
            respond(request,
                    {{"supportsConfigurationDoneRequest", true},
                     {"supportsInstructionBreakpoints", true},
                     {"supportsSteppingGranularity", true},
                     {"supportsExceptionInfoRequest", true},
                     {"supportsTerminateRequest", true},
                     {"supportsEvaluateForHovers", true},
                     {"exceptionBreakpointFilters",
                      json::array({{{"filter", "uncaught"},
                                    {"label", "Uncaught exceptions"},
                                    {"description", "An exception the applet does not catch: the one that ends the "
                                                    "command, an ISOException's status word included"},
                                    {"default", true}},
                                   {{"filter", "all"},
                                    {"label", "All exceptions"},
                                    {"description", "Every exception thrown, caught or not"},
                                    {"default", false}}})}});
        } else if (command == "launch") {
            launch(request);
        } else if (command == "attach") {
            fail(request, "The card is started by launch: attach has nothing to reach");
        } else if (command == "setBreakpoints") {
            setBreakpoints(request);
        } else if (command == "setInstructionBreakpoints") {
            setInstructionBreakpoints(request);
        } else if (command == "setExceptionBreakpoints") {
            const auto filters = arguments.value("filters", json::array());
            breakOnAll_ = std::find(filters.begin(), filters.end(), "all") != filters.end();
            breakOnUncaught_ = std::find(filters.begin(), filters.end(), "uncaught") != filters.end();
            respond(request);
        } else if (command == "configurationDone") {
            configurationDone(request);
        } else if (command == "threads") {
            respond(request, {{"threads", json::array({{{"id", 1}, {"name", "card"}}})}});
        } else if (command == "stackTrace") {
            if (!stopped_)
                return fail(request, "The card is not stopped");
            respond(request, stackTrace(arguments));
        } else if (command == "scopes") {
            if (!stopped_)
                return fail(request, "The card is not stopped");
            sources_.push_back({frameIndex(wholeNumber(arguments, "frameId", 0)), nullRef});
            respond(request, {{"scopes", json::array({{{"name", "Locals"},
                                                       {"presentationHint", "locals"},
                                                       {"variablesReference", sources_.size()},
                                                       {"expensive", false}}})}});
        } else if (command == "variables") {
            if (!stopped_)
                return fail(request, "The card is not stopped");
            respond(request, variables(arguments));
        } else if (command == "exceptionInfo") {
            if (!stopped_ || !exception_)
                return fail(request, "The card is not stopped at an exception");
            const Diagnostic diagnostic = vm_->diagnosticOf(exception_->first);
            std::string stack;
            for (const auto& line : diagnostic.lines())
                stack += line + "\n";
            respond(request, {{"exceptionId", diagnostic.exception},
                              {"description", exception_->second},
                              {"breakMode", breakOnAll_ ? "always" : "unhandled"},
                              {"details", {{"typeName", diagnostic.exception}, {"stackTrace", stack}}}});
        } else if (command == "continue") {
            resume(Mode::Running, arguments);
            respond(request, {{"allThreadsContinued", true}});
        } else if (command == "next" || command == "stepIn" || command == "stepOut") {
            const bool instruction = arguments.value("granularity", "") == "instruction";
            resume(instruction          ? Mode::Instruction
                   : command == "next"  ? Mode::Next
                   : command == "stepIn" ? Mode::StepIn
                                         : Mode::StepOut,
                   arguments);
            respond(request);
        } else if (command == "pause") {
            if (running_ && !stopped_)
                mode_ = Mode::Pause;
            else if (!stopped_)
                output("Nothing runs: the card waits for a command.", "console");
            respond(request);
        } else if (command == "evaluate") {
            evaluate(request);
        } else if (command == "disconnect" || command == "terminate") {
            if (!over()) {
                if (maker_.ending)
                    maker_.ending();
                event("exited", {{"exitCode", 0}});
                event("terminated");
            }
            // terminate ends the card's run; the disconnect that follows is
            // answered, and nothing after that answer.
            (command == "terminate" ? terminated_ : ending_) = true;
            stopped_ = false;
            respond(request);
            disconnected_ = ending_;
        } else {
            fail(request, "'" + command + "' is not a request this adapter serves");
        }
    } catch (const Error& error) {
        fail(request, error.message());
    } catch (const json::exception& error) {
        fail(request, std::string("The request's arguments do not fit: ") + error.what());
    } catch (const std::out_of_range& error) {
        fail(request, std::string("The request names what is not there: ") + error.what());
    }
}

void Debugger::launch(const json& request)
{
    if (card_)
        return fail(request, "The card is launched already");
    const json arguments = request.contains("arguments") && request["arguments"].is_object() ? request["arguments"]
                                                                                              : json::object();
    DebugLaunch launch = launch_;
    if (arguments.contains("capFiles"))
        launch.files = arguments["capFiles"].get<std::vector<std::string>>();
    launch.script = arguments.value("script", launch.script);
    launch.cardFile = arguments.value("cardFile", launch.cardFile);
    launch.stopOnEntry = arguments.value("stopOnEntry", launch.stopOnEntry);
    if (arguments.contains("sourceDirs"))
        launch.sourceDirs = arguments["sourceDirs"].get<std::vector<std::string>>();
    script_.clear();
    if (!launch.script.empty()) {
        std::ifstream in(launch.script);
        if (!in)
            return fail(request, "Cannot read the script " + launch.script);
        for (std::string line; std::getline(in, line);)
            script_.push_back(line);
    }
    try {
        card_ = maker_.make(launch);
    } catch (const Error& error) {
        std::string message = error.message();
        for (const auto& line : error.followingLines())
            message += "\n" + line;
        return fail(request, message);
    }
    launch_ = std::move(launch);
    vm_ = &card_->vm();
    if (!arguments.value("noDebug", false))
        card_->setTracer(this);
    respond(request);
    event("initialized");
}

void Debugger::configurationDone(const json& request)
{
    if (!card_)
        return fail(request, "Launch the card first");
    if (configured_)
        return fail(request, "The configuration is done already");
    respond(request);
    configured_ = true;
    if (launch_.stopOnEntry)
        mode_ = Mode::Entry;
    // The applets are installed now, so that a breakpoint in a constructor
    // is met.
    running_ = true;
    ++command_;
    try {
        for (const auto& line : maker_.install(*card_))
            output(line);
    } catch (const Error& error) {
        output(error.message(), "stderr");
        for (const auto& line : error.followingLines())
            output(line, "stderr");
    }
    running_ = false;
    if (!ending_ && script_.empty())
        output("The card waits: type a command in hex (or reset) in the debug console.", "console");
}

void Debugger::runScript()
{
    std::string line = script_[scriptAt_++];
    if (const auto hash = line.find('#'); hash != std::string::npos)
        line.erase(hash);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    try {
        if (line == "reset") {
            card_->reset();
            output("reset: " + spacedHex(card_->atr()));
        } else if (const auto command = bytesFromHex(line, HexSpaces::Ignored); command && command->size() >= 4) {
            transmit(*command);
        } else if (!line.empty()) {
            output(launch_.script + ", line " + std::to_string(scriptAt_) + ": '" + line +
                       "' is no command APDU in hex; the script stops here",
                   "stderr");
            scriptAt_ = script_.size();
        }
    } catch (const Error& error) {
        output(error.message() + "; the script stops here", "stderr");
        scriptAt_ = script_.size();
    }
    if (scriptAt_ == script_.size() && !ending_)
        output("The script has ended: type a command in hex (or reset) in the debug console.", "console");
}

std::string Debugger::transmit(const std::vector<std::uint8_t>& command)
{
    running_ = true;
    ++command_;
    Response response;
    try {
        response = card_->transmit(command);
    } catch (...) { // the card file could not be written: said by the caller
        running_ = false;
        throw;
    }
    running_ = false;
    // A package loaded or deleted by the command: the breakpoints asked for
    // are laid again over what the card now holds.
    if (vm_->packages().size() != packagesSeen_)
        applyBreakpoints();
    std::string text = "=> " + spacedHex(command) + "\n<= " + spacedHex(response.bytes());
    if (!response.cardReason.empty())
        text += "\n   The card answered without an applet: " + response.cardReason;
    for (const auto& diagnostic : response.diagnostics)
        for (const auto& line : diagnostic.lines())
            text += "\n   " + line;
    output(text);
    std::string result = spacedHex(response.data);
    if (!result.empty())
        result += "  ";
    const std::uint8_t sw[] = {static_cast<std::uint8_t>(response.sw >> 8), static_cast<std::uint8_t>(response.sw)};
    return result + spacedHex(sw);
}

void Debugger::evaluate(const json& request)
{
    const json arguments = request.contains("arguments") && request["arguments"].is_object() ? request["arguments"]
                                                                                              : json::object();
    std::string expression = arguments.value("expression", "");
    const auto first = expression.find_first_not_of(" \t");
    expression = first == std::string::npos ? "" : expression.substr(first, expression.find_last_not_of(" \t") - first + 1);
    const std::string context = arguments.value("context", "repl");
    // A local of the frame stopped in, by its name.
    if (stopped_) {
        const std::size_t frame = frameIndex(wholeNumber(arguments, "frameId", 1));
        for (const auto& variable : frameLocals(frame))
            if (variable["name"] == expression) {
                respond(request, {{"result", variable["value"]},
                                  {"type", variable.value("type", "")},
                                  {"variablesReference", variable["variablesReference"]}});
                return;
            }
    }
    if (context != "repl") {
        fail(request, "No local named '" + expression + "'");
        return;
    }
    if (!card_ || !configured_) {
        fail(request, "The card is not launched yet");
        return;
    }
    if (terminated_) {
        fail(request, "The session is terminated");
        return;
    }
    if (running_ && !stopped_) {
        deferred_.push_back(request); // sent once the command running ends
        return;
    }
    if (running_) {
        fail(request, "A command is running: continue it, and send this one once it has ended");
        return;
    }
    if (expression == "reset") {
        card_->reset();
        respond(request, {{"result", "reset: " + spacedHex(card_->atr())}, {"variablesReference", 0}});
        return;
    }
    const auto command = bytesFromHex(expression, HexSpaces::Ignored);
    if (!command || command->size() < 4) {
        fail(request, "'" + expression + "' is no command APDU in hex (nor a local's name)");
        return;
    }
    const std::string answer = transmit(*command);
    respond(request, {{"result", answer}, {"variablesReference", 0}});
}

void Debugger::resume(Mode mode, const json&)
{
    if (!stopped_)
        return;
    const auto& frames = vm_->frames();
    stepCommand_ = command_;
    stepDepth_ = frames.size();
    stepMethod_ = frames.empty() ? nullptr : frames.back().method;
    stepPc_ = frames.empty() ? 0 : frames.back().pc;
    const MethodDebug* debug = frames.empty() ? nullptr : debugOf(stepMethod_);
    stepLine_ = debug ? debug->lineAt(stepPc_) : 0;
    mode_ = mode;
    stopped_ = false;
}

std::uint64_t Debugger::slice() const
{
    return mode_ == Mode::Running ? runningSlice : 1;
}

void Debugger::step(Vm& vm)
{
    vm_ = &vm;
    // A look at the client now and then: a pause, new breakpoints, a
    // disconnect.
    if (mode_ == Mode::Running || ++polls_ % runningSlice == 0)
        while (!over() && channel_.ready())
            if (const auto message = channel_.read())
                handle(*message);
    if (over())
        throw Halt("the debugger ended the session");
    switch (mode_) {
    case Mode::Running:
        return;
    case Mode::Entry:
        return stop("entry");
    case Mode::Pause:
        return stop("pause");
    default:
        if (stepDone(vm))
            stop("step");
    }
}

bool Debugger::stepDone(const Vm& vm) const
{
    if (command_ != stepCommand_)
        return true; // the step went past the end of its command: the next one stops at once
    const auto& frames = vm.frames();
    const std::size_t depth = frames.size();
    const Frame& frame = frames.back();
    const MethodDebug* debug = debugOf(frame.method);
    const unsigned line = debug ? debug->lineAt(frame.pc) : 0;
    const bool moved = stepLine_ == 0 ? frame.pc != stepPc_ : line != 0 && line != stepLine_;
    switch (mode_) {
    case Mode::Instruction:
        return true;
    case Mode::StepOut:
        return depth < stepDepth_;
    case Mode::Next:
        if (depth != stepDepth_)
            return depth < stepDepth_;
        return frame.method != stepMethod_ || moved;
    case Mode::StepIn:
        return depth != stepDepth_ || frame.method != stepMethod_ || moved;
    default:
        return false;
    }
}

void Debugger::breakpoint(Vm& vm)
{
    vm_ = &vm;
    // Stopped here already, by a step that ended on it.
    if (stoppedAt_ == vm.instructionsRun() && lastStopCommand_ == command_)
        return;
    stop("breakpoint");
}

void Debugger::thrown(Vm& vm, Ref thrown, bool caught)
{
    vm_ = &vm;
    if (!breakOnAll_ && (caught || !breakOnUncaught_))
        return;
    const Diagnostic diagnostic = vm.diagnosticOf(thrown);
    Diagnostic head = diagnostic;
    head.frames.clear();
    head.caught = caught;
    exception_ = {thrown, head.lines().front()};
    stop("exception", exception_->second);
}

void Debugger::stop(const std::string& reason, const std::string& description)
{
    stopped_ = true;
    mode_ = Mode::Running;
    sources_.clear();
    stoppedAt_ = vm_->instructionsRun();
    lastStopCommand_ = command_;
    json body{{"reason", reason}, {"threadId", 1}, {"allThreadsStopped", true}};
    if (!description.empty()) {
        body["description"] = description;
        body["text"] = description;
    }
    event("stopped", body);
    while (stopped_ && !over()) {
        const auto message = channel_.read();
        if (!message) {
            ending_ = true;
            break;
        }
        handle(*message);
    }
    sources_.clear();
    exception_.reset();
    if (over())
        throw Halt("the debugger ended the session");
}

const MethodDebug* Debugger::debugOf(const Method* method) const
{
    if (!method || !method->package)
        return nullptr;
    const auto found = method->package->debug.find(method->offset);
    return found != method->package->debug.end() ? &found->second : nullptr;
}

std::string Debugger::sourcePathOf(const MethodDebug& debug) const
{
    const std::string key = debug.sourcePath();
    if (const auto found = clientPaths_.find(key); found != clientPaths_.end())
        return found->second;
    namespace fs = std::filesystem;
    std::vector<std::string> dirs = launch_.sourceDirs;
    if (dirs.empty())
        dirs.push_back(".");
    for (const auto& dir : dirs)
        for (const auto& candidate : {fs::path(dir) / key, fs::path(dir) / fileName(key)}) {
            std::error_code error;
            if (fs::is_regular_file(candidate, error))
                return fs::absolute(candidate, error).lexically_normal().string();
        }
    return key;
}

std::size_t Debugger::frameIndex(long long from) const
{
    // Frame ids count from the innermost frame, 1 up.
    const auto& frames = vm_->frames();
    if (from < 1 || static_cast<std::size_t>(from) > frames.size())
        throw Error(ErrorKind::Simulation, {}, "no frame " + std::to_string(from));
    return frames.size() - from;
}

json Debugger::stackTrace(const json& arguments) const
{
    const auto& frames = vm_->frames();
    const auto start = static_cast<std::size_t>(wholeNumber(arguments, "startFrame", 0));
    const auto levels = static_cast<std::size_t>(wholeNumber(arguments, "levels", 0));
    json list = json::array();
    for (std::size_t i = start; i < frames.size() && (levels == 0 || i < start + levels); ++i) {
        const Frame& frame = frames[frames.size() - 1 - i];
        const MethodDebug* debug = debugOf(frame.method);
        const unsigned line = debug ? debug->lineAt(frame.pc) : 0;
        json entry{{"id", i + 1},
                   {"name", debug ? shortName(debug->cls) + "." + debug->method : vm_->methodName(frame.method)},
                   {"line", line == 0 ? 0u : linesFrom1_ ? line : line - 1},
                   {"column", line == 0 || !columnsFrom1_ ? 0 : 1}, // the line's first column
                   {"instructionPointerReference", instructionReference(*frame.method->package, frame.pc)}};
        if (debug) {
            const std::string path = sourcePathOf(*debug);
            entry["source"] = {{"name", fileName(path)}, {"path", path}};
        }
        if (line == 0)
            entry["presentationHint"] = "subtle";
        list.push_back(entry);
    }
    return {{"stackFrames", list}, {"totalFrames", frames.size()}};
}

json Debugger::variables(const json& arguments)
{
    const auto reference = static_cast<std::size_t>(wholeNumber(arguments, "variablesReference", 0));
    if (reference < 1 || reference > sources_.size())
        throw Error(ErrorKind::Simulation, {}, "no variables " + std::to_string(reference));
    const VariableSource source = sources_[reference - 1];
    if (source.object == nullRef)
        return {{"variables", frameLocals(source.frame)}};
    json list = json::array();
    const Object* object = vm_->peek(source.object);
    if (!object)
        return {{"variables", list}};
    if (object->array != ArrayType::None) {
        const std::size_t length = object->length();
        const std::size_t start = std::min(static_cast<std::size_t>(wholeNumber(arguments, "start", 0)), length);
        const auto count = static_cast<std::size_t>(wholeNumber(arguments, "count", 0));
        const std::size_t end = count == 0 ? length : std::min(length, start + count);
        for (std::size_t i = start; i < end; ++i) {
            const std::string name = "[" + std::to_string(i) + "]";
            switch (object->array) {
            case ArrayType::Boolean:
                list.push_back({{"name", name}, {"value", object->bytes[i] ? "true" : "false"}, {"variablesReference", 0}});
                break;
            case ArrayType::Byte: {
                std::string value = std::to_string(static_cast<std::int8_t>(object->bytes[i])) + " (0x";
                appendHex(value, object->bytes[i], HexCase::Upper);
                list.push_back({{"name", name}, {"value", value + ")"}, {"variablesReference", 0}});
                break;
            }
            case ArrayType::Short:
                list.push_back({{"name", name}, {"value", std::to_string(object->shorts[i])}, {"variablesReference", 0}});
                break;
            case ArrayType::Int:
                list.push_back({{"name", name}, {"value", std::to_string(object->ints[i])}, {"variablesReference", 0}});
                break;
            default:
                list.push_back(objectValue(name, object->refs[i]));
            }
        }
        return {{"variables", list}};
    }
    // An instance: each class's fields, by Debug's names where it has them,
    // else by token.
    std::vector<const Class*> chain;
    for (const Class* cls = object->cls; cls; cls = cls->super)
        chain.insert(chain.begin(), cls);
    for (const Class* cls : chain) {
        const ClassDebug* described = nullptr;
        if (cls->package && !cls->package->api)
            if (const auto found = cls->package->classDebug.find(cls->offset); found != cls->package->classDebug.end())
                described = &found->second;
        const auto cellAt = [&](unsigned cell) { return cell < object->cells.size() ? object->cells[cell] : Word{}; };
        if (described) {
            for (const auto& field : described->fields)
                list.push_back(valueOf(field.name, cellAt(cls->firstCell + field.token),
                                       cellAt(cls->firstCell + field.token + 1), field.descriptor, true));
            continue;
        }
        for (unsigned cell = cls->firstCell; cell < cls->cells; ++cell) {
            const Word word = cellAt(cell);
            list.push_back(valueOf(shortName(cls->name) + ".field " + std::to_string(cell - cls->firstCell), word,
                                   cellAt(cell + 1), "", true));
            if (word.kind == Kind::IntHigh)
                ++cell;
        }
    }
    // What the API object keeps beyond its fields.
    if (object->native)
        for (const auto& [name, value] : object->native->shown())
            list.push_back({{"name", name}, {"value", value}, {"variablesReference", 0}});
    return {{"variables", list}};
}

json Debugger::frameLocals(std::size_t index)
{
    const Frame& frame = vm_->frames().at(index);
    const MethodDebug* debug = debugOf(frame.method);
    json list = json::array();
    if (debug && !debug->variables.empty()) {
        for (const auto& variable : debug->variables)
            if (frame.pc >= variable.start && frame.pc < variable.end)
                list.push_back(valueOf(variable.name, vm_->local(frame, variable.index),
                                       vm_->local(frame, variable.index + 1), variable.descriptor));
        return list;
    }
    // Without Debug: every local word by its index, as its kind says.
    const unsigned count = frame.method->nargs + frame.method->maxLocals;
    for (unsigned i = 0; i < count; ++i) {
        const Word word = vm_->local(frame, i);
        const std::string name = i == 0 && !frame.method->isStatic ? "this" : "local " + std::to_string(i);
        list.push_back(valueOf(name, word, vm_->local(frame, i + 1), ""));
        if (word.kind == Kind::IntHigh)
            ++i;
    }
    return list;
}

json Debugger::valueOf(const std::string& name, Word word, Word low, const std::string& descriptor, bool field)
{
    const char kind = descriptor.empty() ? '\0' : descriptor[0];
    if (kind == 'L' || kind == '[' || (kind == '\0' && word.kind == Kind::Reference)) {
        json value = objectValue(name, word.kind == Kind::Reference ? static_cast<Ref>(word.value) : nullRef);
        if (word.kind != Kind::Reference && word.kind != Kind::Empty)
            value["value"] = "(not a reference)";
        if (!descriptor.empty() && value["type"] == "")
            value["type"] = typeName(descriptor);
        return value;
    }
    std::string text, type = typeName(descriptor);
    if (word.kind == Kind::Empty && !field) {
        text = "(no value yet)";
    } else if (word.kind == Kind::Empty) { // a field never written holds its type's zero
        text = kind == 'Z' ? "false" : "0";
    } else if (kind == 'I' || (kind == '\0' && word.kind == Kind::IntHigh)) {
        if (word.kind == Kind::IntHigh && low.kind == Kind::IntLow)
            text = std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(word.value))
                                                                << 16 |
                                                            static_cast<std::uint16_t>(low.value)));
        else
            text = "(not an int)";
        type = "int";
    } else if (kind == 'Z') {
        text = word.value ? "true" : "false";
    } else if (word.kind == Kind::ReturnAddress) {
        text = "return address " + std::to_string(static_cast<std::uint16_t>(word.value));
    } else {
        text = std::to_string(word.value);
        if (type.empty())
            type = word.kind == Kind::Short ? "short" : "";
    }
    return {{"name", name}, {"value", text}, {"type", type}, {"variablesReference", 0}};
}

json Debugger::objectValue(const std::string& name, Ref ref)
{
    if (ref == nullRef)
        return {{"name", name}, {"value", "null"}, {"type", ""}, {"variablesReference", 0}};
    const Object* object = vm_->peek(ref);
    if (!object)
        return {{"name", name}, {"value", "(no object " + std::to_string(ref) + ")"}, {"type", ""}, {"variablesReference", 0}};
    json value{{"name", name}};
    if (object->array != ArrayType::None) {
        const std::size_t length = object->length();
        const std::string type =
            object->array == ArrayType::Reference && object->cls ? shortName(object->cls->name) : arrayTypeName(object->array);
        std::string text = type + "[" + std::to_string(length) + "]";
        if (object->array == ArrayType::Byte && length > 0) {
            const std::size_t shown = std::min<std::size_t>(length, 32);
            text += " " + spacedHex(std::span(object->bytes.data(), shown)) + (shown < length ? " …" : "");
        }
        value["value"] = text;
        value["type"] = type + "[]";
        sources_.push_back({0, ref});
        value["variablesReference"] = length > 0 ? sources_.size() : 0;
        value["indexedVariables"] = length;
        return value;
    }
    const std::string cls = object->cls ? object->cls->name : "Object";
    value["value"] = shortName(cls) + " (object " + std::to_string(ref) + ")";
    std::string type = cls;
    std::replace(type.begin(), type.end(), '/', '.');
    value["type"] = type;
    sources_.push_back({0, ref});
    value["variablesReference"] =
        object->cells.empty() && (!object->native || object->native->shown().empty()) ? 0 : sources_.size();
    return value;
}

void Debugger::setBreakpoints(const json& request)
{
    const json arguments = request.contains("arguments") && request["arguments"].is_object() ? request["arguments"]
                                                                                              : json::object();
    const json source = arguments.value("source", json::object());
    const std::string path = source.value("path", source.value("name", ""));
    std::vector<unsigned> lines;
    if (arguments.contains("breakpoints"))
        for (const auto& breakpoint : arguments["breakpoints"])
            lines.push_back(static_cast<unsigned>(wholeNumber(breakpoint, "line", 0, 0, 0xFFFFFF)) + (linesFrom1_ ? 0 : 1));
    else if (arguments.contains("lines"))
        for (const auto& line : arguments["lines"])
            lines.push_back(static_cast<unsigned>(wholeValue(line, "a line", 0, 0xFFFFFF)) + (linesFrom1_ ? 0 : 1));
    sourceLines_[path] = lines;
    applyBreakpoints();
    // Where each landed: the line asked for, or the next that has code.
    json list = json::array();
    for (const unsigned line : lines) {
        json entry{{"verified", false}, {"line", linesFrom1_ ? line : line - 1}, {"source", source}};
        const auto placed = placed_.find({path, line});
        if (placed != placed_.end() && placed->second != 0)
            entry = {{"verified", true}, {"line", linesFrom1_ ? placed->second : placed->second - 1}, {"source", source}};
        else
            entry["message"] = card_ ? "No code at or after line " + std::to_string(line) + " of " + fileName(path) +
                                           " in the packages loaded"
                                     : "The card is not launched yet";
        list.push_back(entry);
    }
    respond(request, {{"breakpoints", list}});
}

void Debugger::setInstructionBreakpoints(const json& request)
{
    const json arguments = request.contains("arguments") && request["arguments"].is_object() ? request["arguments"]
                                                                                              : json::object();
    instructionBreakpoints_.clear();
    std::vector<std::string> references;
    for (const auto& breakpoint : arguments.value("breakpoints", json::array())) {
        const std::string reference = breakpoint.value("instructionReference", "");
        const auto at = reference.rfind('@');
        unsigned pc = 0;
        try {
            pc = at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(reference.substr(at + 1), nullptr, 16));
        } catch (const std::exception&) {
            pc = 0;
        }
        pc = static_cast<unsigned>(static_cast<long long>(pc) + wholeNumber(breakpoint, "offset", 0, -0x10000, 0x10000));
        instructionBreakpoints_.push_back({at == std::string::npos ? std::string() : reference.substr(0, at), pc});
        references.push_back(reference);
    }
    applyBreakpoints();
    json list = json::array();
    for (std::size_t i = 0; i < instructionBreakpoints_.size(); ++i) {
        const bool verified = placedInstructions_.count(i) != 0;
        json entry{{"verified", verified}, {"instructionReference", references[i]}};
        if (!verified)
            entry["message"] = "No instruction begins at " + references[i] + " in the packages loaded";
        list.push_back(entry);
    }
    respond(request, {{"breakpoints", list}});
}

// Every breakpoint asked for, laid again over the packages the card has:
// a source line by the Debug source file that the client's path names
// (its file name, and where several packages have one of that name, the
// one whose folders end the path), on the first instruction of the line,
// or of the next line that has code.
void Debugger::applyBreakpoints()
{
    placed_.clear();
    placedInstructions_.clear();
    if (!vm_)
        return;
    packagesSeen_ = vm_->packages().size();
    vm_->clearBreakpoints();
    for (const auto& [path, lines] : sourceLines_) {
        std::vector<std::pair<Package*, const MethodDebug*>> candidates;
        bool anySuffix = false;
        for (const auto& package : vm_->packages()) {
            if (package->api)
                continue;
            for (const auto& [offset, debug] : package->debug) {
                if (debug.file.empty() || fileName(path) != debug.file)
                    continue;
                const std::string key = debug.sourcePath();
                const bool suffix = path == key || (path.size() > key.size() &&
                                                    path.compare(path.size() - key.size(), key.size(), key) == 0 &&
                                                    (path[path.size() - key.size() - 1] == '/' ||
                                                     path[path.size() - key.size() - 1] == '\\'));
                if (suffix && !anySuffix) {
                    candidates.clear();
                    anySuffix = true;
                }
                if (suffix || !anySuffix)
                    candidates.push_back({package.get(), &debug});
                clientPaths_[key] = path;
            }
        }
        for (const unsigned line : lines) {
            unsigned best = 0;
            for (const auto& [package, debug] : candidates)
                for (const auto& entry : debug->lines)
                    if (entry.line >= line && (best == 0 || entry.line < best))
                        best = entry.line;
            placed_[{path, line}] = best;
            if (best == 0)
                continue;
            for (const auto& [package, debug] : candidates) {
                std::optional<unsigned> first;
                for (const auto& entry : debug->lines)
                    if (entry.line == best && (!first || entry.start < *first))
                        first = entry.start;
                if (first)
                    vm_->setBreakpoint(*package, *first);
            }
        }
    }
    for (std::size_t i = 0; i < instructionBreakpoints_.size(); ++i)
        for (const auto& package : vm_->packages())
            if (!package->api && package->name == instructionBreakpoints_[i].first &&
                vm_->setBreakpoint(*package, instructionBreakpoints_[i].second))
                placedInstructions_.insert(i);
}

} // namespace tolvane::runtime
