#pragma once

// What running a command on the simulated card gives: the answer, the
// exceptions seen on the way with where they were thrown, and the settings
// that bound a run.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::runtime {

struct CardSettings {
    std::size_t persistentBytes = 128 * 1024; // what `new` and persistent arrays may take
    std::size_t transientBytes = 8 * 1024;    // what transient arrays may take
    std::uint64_t budget = 100'000'000;       // instructions one command may run
    unsigned maxDepth = 128;                  // frames one command may stack
    bool t0 = false;                          // the transport is T=0: case 4 answers 61 xx
    // Logical channels: 20 as Java Card 3 codes the class byte (channels 4
    // to 19 where bit 40 is set, so E0 and F0 name channel 4), or 4 as Java
    // Card 2 cards read it, the channel in bits 01 and 02 of any class byte.
    unsigned channels = 20;
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

} // namespace tolvane::runtime
