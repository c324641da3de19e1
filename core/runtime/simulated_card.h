#pragma once

// A Java Card without the card: load files linked on it as a card links them
// (the API is there from the start), applets installed and selected, and
// commands answered by running their bytecode. When a command ends in an
// exception nobody caught, the answer says which, where, and on which source
// line, where the CAP file's Debug component tells.

#include "core/cap/load_file.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvane::runtime {

struct CardSettings {
    std::size_t persistentBytes = 128 * 1024; // what `new` and persistent arrays may take
    std::size_t transientBytes = 8 * 1024;    // what transient arrays may take
    std::uint64_t budget = 100'000'000;       // instructions one command may run
    unsigned maxDepth = 128;                  // frames one command may stack
    bool t0 = false;                          // the transport is T=0: case 4 answers 61 xx
    bool trace = false;                       // a diagnostic for every exception thrown, caught or not
    const std::atomic<bool>* stop = nullptr;  // once set (by a signal), the command running ends
};

// One method of a diagnostic's stack, innermost first.
struct StackFrame {
    std::string cls, method;  // from Debug, else by offset ("class@0012", "method@0104")
    unsigned offset = 0;      // the instruction, in Method, as --dump numbers it
    std::string file;         // from Debug
    unsigned line = 0;        // 0 where Debug does not tell
    std::string text() const; // "com/acme/Wallet.process at 0104 (Wallet.java:88)"
};

// Why an exception was thrown: its class and reason, and where.
struct Diagnostic {
    std::string exception;          // "javacard.framework.ISOException"
    std::optional<unsigned> reason; // the reason of a CardException or CardRuntimeException
    std::string detail;             // what the runtime saw ("index 8 outside a byte[8]")
    std::vector<StackFrame> frames;
    bool caught = false;
    std::string apiCall;                    // the API method that threw it: "javacard.framework.Util.arrayCopy([BS[BSS)S"
    std::vector<std::string> lines() const; // the exception, then a line for each frame
};

struct Response {
    std::vector<std::uint8_t> data;
    std::uint16_t sw = 0;
    std::vector<Diagnostic> diagnostics; // the uncaught exception, and with trace every exception thrown
    std::uint64_t instructions = 0;
    std::string cardReason; // why the card answered itself, before or without an applet ("logical channel 2 is not open")
    std::vector<std::uint8_t> bytes() const; // data then status word
};

// A loaded package's applet.
struct AppletInfo {
    std::vector<std::uint8_t> aid;
    std::string packageName;
};

class Vm;

class SimulatedCard {
public:
    explicit SimulatedCard(const CardSettings& settings = {});
    ~SimulatedCard();
    SimulatedCard(const SimulatedCard&) = delete;
    SimulatedCard& operator=(const SimulatedCard&) = delete;

    // Links the load file's package against what is installed. Throws Error
    // (Simulation) naming what refuses it: an import missing or too old, a
    // reference the imported package does not have, a package the checks
    // could not decode.
    void load(const LoadFile& file, const std::string& path);
    // The applets of the package loaded last.
    std::vector<AppletInfo> lastApplets() const;
    // Makes an instance of the applet `module` (of a package loaded) with
    // the instance AID and install parameters given, and gives the AID it
    // registered (which an applet may choose). Throws Error (Simulation)
    // where the install method fails or does not register, with the
    // diagnostic on the following lines.
    std::vector<std::uint8_t> install(const std::vector<std::uint8_t>& module,
                                      const std::vector<std::uint8_t>& instance,
                                      const std::vector<std::uint8_t>& privileges,
                                      const std::vector<std::uint8_t>& parameters);

    // Answers one command.
    Response transmit(std::span<const std::uint8_t> command);
    // A card reset (or a power loss and power on): an open transaction is
    // undone, transient memory cleared, no applet selected, and every
    // logical channel but the basic one closed.
    void reset();
    std::vector<std::uint8_t> atr() const;

private:
    struct Elsewhere {
        bool instance = false, package = false;
    };
    Elsewhere activeElsewhere(std::size_t instance) const;
    std::optional<std::pair<std::uint16_t, std::string>> select(std::size_t instance, Response& response);
    std::pair<std::uint16_t, std::string> manageChannel(std::span<const std::uint8_t> command, unsigned lc);
    void deselect();
    void finishCommand(Response& response);

    std::unique_ptr<Vm> vm_;
    std::vector<std::uint8_t> pending_; // a T=0 answer that waits for GET RESPONSE
};

} // namespace tolvane::runtime
