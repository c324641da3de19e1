#pragma once

// The options of tolvane-cli, listed once: the help text, the manual page and
// the shell completion are all made from this list, so that they cannot drift.

#include <span>
#include <string>

namespace tolvane::cli {

// The modes an option goes with, beyond the one it may choose itself.
enum class Scope {
    Any,
    Script,           // --apdu or --send: what the load's commands are
    SecurityDomain,   // --apdu, --send, --list, --info or --delete
    LoadFile,         // the modes that make a load file, and --send
    Card,             // --list, --info, --delete or --send
    CardKey,          // --list, --delete or --send: they open a secure channel
    Delete,           // --delete or --card-state: --force
    Install,          // --apdu, --send, --install or --create-sd: what INSTALL [for install] gives
    PutKeys,          // --put-keys: the new keys
    Move,             // --move: where to
    ToCap,            // --to-cap
    Dump,             // --dump
    Verify,           // the modes that check a load file, and --to-cap
    ScriptOrCommands, // --apdu or --send (the script's format), --simulate (the commands' file)
    Simulate,         // --simulate
    Trace,            // the card modes but --readers, and --simulate
};

// Whether an option's argument must be given. An optional one is taken from
// the next argument only where that is a number (a port), never a CAP file;
// the help text's brackets only show it, they decide nothing.
enum class Value { Required, Optional };

struct Option {
    const char* shortName; // "-q", or nullptr
    const char* longName;  // "--quiet"
    const char* argument;  // "FILE" for an option that takes one, or nullptr
    const char* help;      // one line of the help text
    const char* details;   // what the manual page says of it
    Scope scope = Scope::Any;
    Value value = Value::Required; // of the argument, where there is one
};

std::span<const Option> options();

// The help text: usage, a line about what the program does, then each option
// on a line of its own.
std::string helpText();

// The manual page tolvane-cli(1), in roff.
std::string manualPage(const std::string& version);

// A bash completion script for tolvane-cli.
std::string bashCompletion();

} // namespace tolvane::cli
