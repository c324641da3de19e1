#pragma once

// A debug adapter for the simulated card: an editor speaking the Debug
// Adapter Protocol launches the card with CAP files, sets breakpoints by
// source line (or by method and bytecode offset where a package has no
// Debug component), steps through the bytecode the card runs, reads the
// frames' locals and the objects they reach, and sends commands to the
// card from its debug console, or lets a script's commands run.

#include "core/runtime/card/simulated_card.h"
#include "core/runtime/debug/dap_channel.h"
#include "core/runtime/vm/vm.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolvane::runtime {

// What a launch names; the command line's are its defaults.
struct DebugLaunch {
    std::vector<std::string> files;      // CAP files, in load order
    std::string script;                  // commands sent once configuration is done; empty: none
    std::string cardFile;                // where the card is kept; empty: in memory
    std::vector<std::string> sourceDirs; // where sources are found by their package's folders
    bool stopOnEntry = false;
};

// What makes the card for a launch: made (from its card file where one is
// named) with the files loaded; then their applets installed, with a line
// for each. Both throw Error.
struct DebugCardMaker {
    std::function<std::unique_ptr<SimulatedCard>(const DebugLaunch&)> make;
    std::function<std::vector<std::string>(SimulatedCard&)> install;
    // What the session leaves behind (a profile), kept before the client
    // hears of the end: a client may end the process as soon as it does.
    std::function<void()> ending;
};

class Debugger : public Tracer {
public:
    Debugger(DapChannel& channel, DebugCardMaker maker, DebugLaunch defaults);
    ~Debugger() override;

    // Serves the client until it disconnects or its input ends; the exit
    // status (0, or 1 where the input ended in a fault).
    int serve();

    // The tracer's side: the card calls these while a command runs.
    void step(Vm& vm) override;
    std::uint64_t slice() const override;
    void breakpoint(Vm& vm) override;
    void thrown(Vm& vm, Ref thrown, bool caught) override;

private:
    enum class Mode { Running, Entry, Next, StepIn, StepOut, Instruction, Pause };
    struct VariableSource {
        std::size_t frame = 0; // locals of frames()[frame]
        Ref object = nullRef;  // else an object's fields or elements
    };

    void handle(const nlohmann::json& request);
    void respond(const nlohmann::json& request, nlohmann::json body = nlohmann::json::object());
    void fail(const nlohmann::json& request, const std::string& message);
    void event(const std::string& name, nlohmann::json body = nlohmann::json::object());
    void output(const std::string& text, const char* category = "stdout");

    void launch(const nlohmann::json& request);
    void configurationDone(const nlohmann::json& request);
    void setBreakpoints(const nlohmann::json& request);
    void setInstructionBreakpoints(const nlohmann::json& request);
    void applyBreakpoints();
    nlohmann::json stackTrace(const nlohmann::json& arguments) const;
    nlohmann::json variables(const nlohmann::json& arguments);
    nlohmann::json frameLocals(std::size_t frame);
    // A word (with the next, for an int) as its descriptor, else its kind,
    // says; a field never written holds zero, a local not yet set nothing.
    nlohmann::json valueOf(const std::string& name, Word word, Word low, const std::string& descriptor,
                           bool field = false);
    nlohmann::json objectValue(const std::string& name, Ref ref);
    void evaluate(const nlohmann::json& request);
    void resume(Mode mode, const nlohmann::json& arguments);

    // A command sent to the card, its answer told as output: the data and
    // status word in hex.
    std::string transmit(const std::vector<std::uint8_t>& command);
    void runScript();
    void stop(const std::string& reason, const std::string& description = {});
    bool stepDone(const Vm& vm) const;
    const MethodDebug* debugOf(const Method* method) const;
    std::string sourcePathOf(const MethodDebug& debug) const;
    std::size_t frameIndex(long long id) const;

    DapChannel& channel_;
    DebugCardMaker maker_;
    DebugLaunch launch_;
    std::unique_ptr<SimulatedCard> card_;
    int seq_ = 1;
    bool configured_ = false, ending_ = false, stopped_ = false, running_ = false;
    bool linesFrom1_ = true, columnsFrom1_ = true;
    // terminate ends the card's run; disconnect ends the session, and
    // nothing is written after its answer.
    bool terminated_ = false, disconnected_ = false;
    bool over() const { return ending_ || terminated_; }
    Mode mode_ = Mode::Running;
    // Where a step began: the command, the depth, the method and its line.
    std::uint64_t command_ = 0, stepCommand_ = 0;
    std::size_t stepDepth_ = 0;
    const Method* stepMethod_ = nullptr;
    unsigned stepLine_ = 0, stepPc_ = 0;
    std::uint64_t stoppedAt_ = ~std::uint64_t{0}; // instructions run when last stopped, in lastStopCommand_
    std::uint64_t lastStopCommand_ = 0;
    unsigned polls_ = 0;
    bool breakOnAll_ = false, breakOnUncaught_ = true;
    std::optional<std::pair<Ref, std::string>> exception_; // what the stop on an exception is for
    std::map<std::string, std::vector<unsigned>> sourceLines_; // by the client's path: the lines asked for
    std::map<std::string, std::string> clientPaths_;            // a Debug source path, as the client names it
    std::vector<std::pair<std::string, unsigned>> instructionBreakpoints_; // package name, offset
    std::map<std::pair<std::string, unsigned>, unsigned> placed_; // a source line asked for: where it landed (0: nowhere)
    std::set<std::size_t> placedInstructions_;                      // the instruction breakpoints set
    std::size_t packagesSeen_ = 0;                                  // the packages they were laid over
    std::vector<VariableSource> sources_;                                  // by variablesReference - 1
    std::vector<nlohmann::json> deferred_; // commands from the console that came while one ran
    std::vector<std::string> script_;
    std::size_t scriptAt_ = 0;
    Vm* vm_ = nullptr;
};

} // namespace tolvane::runtime
