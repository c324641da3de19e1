#include "cli/options.h"

namespace tolvane::cli {
namespace {

// Its size is counted by the compiler, so that no entry is ever left empty.
constexpr Option list[] = {
    {nullptr, "--scan", nullptr, "walk the local headers instead of reading a ZIP archive",
     "Walk the CAP file's local headers from its first byte instead of reading it as a ZIP archive, taking "
     "every entry as it lies, the manifest included. For CAP files whose entries are all stored with their "
     "sizes in their local headers; any other gets \"Wrong CAP file format. Exiting.\" and exit status 1."},
    {nullptr, "--load-file", nullptr, "write the load file that card loaders send",
     "Write the Load File Data Block that card loaders send instead of the plain IJC file: the components, "
     "checked as a card would check them, in the reference load order (Header, Directory, Import, Applet, "
     "Class, Method, StaticField, Export, ConstantPool, RefLocation, StaticResources, Descriptor), without "
     "Debug, custom components or any other entry. Every component is decoded and checked against the others "
     "(constant pool references, classes, bytecode, handlers, the Descriptor's methods, reference locations, "
     "static fields), and a CAP file that fails is refused, naming the component, the field and the offset. "
     "The report adds the package, its applets and imports (named where well known), the oldest Java Card "
     "and GlobalPlatform releases that provide them, what was left out and why, and the SHA-1 and SHA-256 of "
     "the bytes written."},
    {nullptr, "--check", nullptr, "check as --load-file does and report; write nothing",
     "Check each CAP file and report as --load-file does, hashes included, without writing any file: for a "
     "build that must fail before anything reaches a card."},
    {nullptr, "--dump", nullptr, "check as --check does, then show every component decoded",
     "Check each CAP file as --check does, then show every component decoded: the imports with their names, "
     "the applets, the constant pool, and each class and interface with its fields and methods, each "
     "method's handlers and bytecode an instruction a line, constant pool references resolved. With --json, "
     "the object adds a \"decoded\" member. Writes nothing."},
    {nullptr, "--apdu", nullptr, "write the commands that load and install the load file",
     "Make the load file as --load-file does, then write NAME.apdu beside the CAP file (or -o FILE), by the same "
     "rules as the IJC file: the command APDUs a loader sends, one a line in upper-case hex with spaces, '#' "
     "comments first: DELETE with --replace, INSTALL [for load], the LOAD blocks of the load file with its C4 "
     "tag and length (after a DAP block with --dap-key), and INSTALL [for install and make selectable] for each "
     "applet. Each is a case 3 command of class 80, for any APDU tool (pcsc-tools' scriptor reads it as it is)."},
    {nullptr, "--script", "FORMAT|FILE", "with --apdu: scriptor or gpshell; with --simulate: the commands",
     "With --apdu, the script's format: scriptor (one APDU a line) or gpshell (send_apdu -sc 1 -APDU HEX a line, "
     "after a comment that a secure channel must be opened first). With --simulate, the file of commands to send: "
     "one command APDU in hex a line (spaces allowed, as --apdu writes them), '#' beginning a comment, and reset "
     "alone on a line to reset the card; without it, standard input.",
     Scope::ScriptOrCommands},
    {nullptr, "--sd", "AID", "with --apdu: the security domain to load into",
     "With --apdu or a card, the AID of the security domain that INSTALL [for load] names and that the card "
     "modes select (default A000000151000000).",
     Scope::SecurityDomain},
    {nullptr, "--block-size", "N", "with --apdu: bytes of load file a LOAD block carries",
     "With --apdu, the bytes each LOAD block carries, 1 to 255 (default 247, which leaves room for a secure "
     "channel's C-MAC). A load is refused that would take more than 256 blocks, naming a size that would do.",
     Scope::Script},
    {nullptr, "--hash", "KIND", "with --apdu: none, sha1, sha256, sha384 or sha512",
     "With --apdu, the Load File Data Block hash that INSTALL [for load] carries: none (the default, or sha256 "
     "with --dap-key), sha1, sha256, sha384 or sha512.",
     Scope::Script},
    {nullptr, "--privileges", "HEX", "with --apdu: the applets' privileges, 1 or 3 bytes",
     "With --apdu, --send or --install, the privileges that INSTALL [for install] gives each applet: 1 or 3 bytes "
     "in hex (default 00). With --create-sd, what is OR-ed with the security domain privilege 80 (A0 for "
     "delegated management).",
     Scope::Install},
    {nullptr, "--params", "HEX", "with --apdu: the application parameters inside C9",
     "With --apdu, --send, --install or --create-sd, the application parameters that INSTALL [for install] "
     "passes inside its C9 tag, in hex (default none: C9 00).",
     Scope::Install},
    {nullptr, "--instance", "AID", "with --apdu: the instance AID of the one applet",
     "With --apdu, --send or --install, the instance AID to install the package's one applet (or the module) as; "
     "refused for a package of several.",
     Scope::Install},
    {nullptr, "--replace", nullptr, "with --apdu: first DELETE the package and what depends on it",
     "With --apdu, begin with DELETE of the package and everything that depends on it.", Scope::Script},
    {nullptr, "--load-only", nullptr, "with --apdu: no INSTALL [for install]",
     "With --apdu, load the package and install no applet.", Scope::Script},
    {nullptr, "--dap-key", "FILE", "with --apdu and --dap-sd: sign a DAP with this key",
     "With --apdu, sign the Load File Data Block hash for a DAP with the key in FILE: a PEM private key without "
     "a passphrase (RSA 1024: PKCS#1 v1.5 with SHA-1; longer RSA: PSS with SHA-256, MGF1 SHA-256 and a 32-byte "
     "salt; EC P-256 or P-384: ECDSA with SHA-256 or SHA-384, r then s) or an AES key in hex (CMAC). The hash "
     "is sha256 unless --hash names another.",
     Scope::Script},
    {nullptr, "--dap-sd", "AID", "with --dap-key: the security domain of the DAP",
     "With --dap-key, the AID of the security domain whose DAP block carries the signature (tag E2, the AID "
     "under 4F, the signature under C3).",
     Scope::Script},
    {nullptr, "--readers", nullptr, "list the card readers, one a line",
     "List the card readers that the PC/SC service (pcscd) knows, one a line, each with whether it holds a card. "
     "Takes no file."},
    {nullptr, "--list", nullptr, "list what the card holds",
     "Open a secure channel to the card's security domain and list what it holds: the issuer security domain, "
     "the applications and security domains (AID, life cycle state, privileges) and the load files (AID, version, "
     "modules), each with its security domain where the card gives it. With --json, one object with reader, isd, "
     "applications and load_files. Takes no file."},
    {nullptr, "--info", nullptr, "show the card's ATR, recognition data, CPLC and keys",
     "Show, without a secure channel, the card's ATR, its card recognition data (GlobalPlatform version, secure "
     "channel), its CPLC fields and its key information template. Takes no file."},
    {nullptr, "--send", nullptr, "load and install each file onto the card",
     "Check each CAP file as --check does (a refusal sends nothing and touches no reader), open a secure channel "
     "and do on the card what --apdu's script says: every --apdu option applies. Before INSTALL [for load] the "
     "card's load files are listed, and a package the CAP file imports that the card has in an older version "
     "refuses the load before anything is sent. The LOAD block size follows the security level (247 with C-MAC, "
     "239 with encryption, less where the card says so). A refusal names the command, the status word and what "
     "it means; a failed LOAD names its block."},
    {nullptr, "--delete", nullptr, "delete each AID given from the card",
     "Delete each AID given (a load file, an application or a security domain) from the card. Where something "
     "depends on it, the refusal names it; --force deletes that too."},
    {nullptr, "--force", nullptr, "with --delete: delete what depends on it too",
     "With --delete, delete the object and everything that depends on it (a package's instances). With "
     "--card-state, allow a state that cannot be undone (initialized, secured, terminated).",
     Scope::Delete},
    {nullptr, "--put-keys", nullptr, "put a new key set onto the card",
     "Put a new key set (ENC, MAC, DEK) onto the card's security domain with PUT KEY, from --new-key, "
     "--new-key-enc with --new-key-mac and --new-key-dek, or --new-key-file. DES keys of 16 bytes under SCP02, "
     "AES keys of 16, 24 or 32 bytes under SCP03: another length is refused before PUT KEY is sent. Without "
     "--new-key-version the key set the session opened with is replaced and keeps its version; with it, that "
     "version is replaced where the card's key information lists it and added where not, and a line says "
     "which. The card's check values are compared with those computed here, then a new secure channel is "
     "opened with the new keys to prove them. Keys never appear in any output: versions, types and check "
     "values only. With --json, a put_keys member."},
    {nullptr, "--new-key", "HEX", "with --put-keys: the new key for ENC, MAC and DEK",
     "With --put-keys, the new key for all three of ENC, MAC and DEK, in hex; 'default' for the test key "
     "40..4F, or 'random' for fresh keys from the system's random source (of the length of the keys the "
     "session opened with), which needs --save-keys.",
     Scope::PutKeys},
    {nullptr, "--new-key-enc", "HEX", "with --put-keys: the new ENC key",
     "With --put-keys, the new ENC key, with --new-key-mac and --new-key-dek.", Scope::PutKeys},
    {nullptr, "--new-key-mac", "HEX", "with --put-keys: the new MAC key",
     "With --put-keys, the new MAC key, with --new-key-enc and --new-key-dek.", Scope::PutKeys},
    {nullptr, "--new-key-dek", "HEX", "with --put-keys: the new DEK key",
     "With --put-keys, the new DEK key, with --new-key-enc and --new-key-mac.", Scope::PutKeys},
    {nullptr, "--new-key-file", "FILE", "with --put-keys: read the new keys from FILE",
     "With --put-keys, read the new keys from FILE, in the format of --key-file.", Scope::PutKeys},
    {nullptr, "--new-kdf", "KIND", "with --put-keys: diversify the new keys: emv, visa2 or kdf3",
     "With --put-keys, take the new keys as master keys and diversify them with the card's diversification data "
     "before they are put, as --kdf does; the same master keys and --kdf then open the card.",
     Scope::PutKeys},
    {nullptr, "--new-key-version", "HEX", "with --put-keys: the new key set's version, 01 to 7F",
     "With --put-keys, the version of the new key set, one byte in hex from 01 to 7F.", Scope::PutKeys},
    {nullptr, "--save-keys", "FILE", "with --put-keys: first write the new keys to FILE",
     "With --put-keys, write the new keys to FILE in the format of --key-file before PUT KEY is sent, with a "
     "comment naming the key version and the diversification (the master keys are saved). FILE is made with "
     "mode 0600, and never over an existing file: one that exists refuses the command before the card is "
     "touched.",
     Scope::PutKeys},
    {nullptr, "--lock-app", nullptr, "lock each application AID given",
     "Lock each application whose AID is given (SET STATUS): it cannot be selected until it is unlocked."},
    {nullptr, "--unlock-app", nullptr, "unlock each application AID given",
     "Unlock each application whose AID is given (SET STATUS), back to the state it had."},
    {nullptr, "--card-state", "STATE", "set the card's life cycle state",
     "Set the card's life cycle state (SET STATUS): initialized, secured, locked, unlocked or terminated. "
     "initialized, secured and terminated cannot be undone and need --force; without it nothing is sent. A "
     "locked card answers SELECT of its security domain with 62 83, which is taken as an answer: --card-state "
     "unlocked and --list work on it."},
    {nullptr, "--make-default", nullptr, "make the application AID given the default",
     "Give the application whose AID is given the card reset privilege (INSTALL [for make selectable]): the card "
     "selects it whenever it starts."},
    {nullptr, "--install", nullptr, "install a module of a load file on the card: LOAD-FILE-AID MODULE-AID",
     "Install a module of a load file the card holds (INSTALL [for install and make selectable]), given as "
     "LOAD-FILE-AID MODULE-AID, with --instance, --privileges and --params as --apdu takes them. Refused before "
     "anything is sent where the card lists no such load file or module."},
    {nullptr, "--create-sd", nullptr, "make a security domain with the AID given",
     "Make a supplementary security domain with the AID given, from the security domain load file and module "
     "the card lists (A0000001515350, A000000151535041): privilege 80 OR-ed with --privileges, and install "
     "parameters naming the session's secure channel. --put-keys --sd AID then adds its first key set."},
    {nullptr, "--move", nullptr, "move the application or load file AID given: with --to",
     "Move the application or load file whose AID is given to the security domain that --to names (INSTALL "
     "[for extradition], sent to the session's security domain)."},
    {nullptr, "--to", "AID", "with --move: the security domain to move to",
     "With --move, the AID of the security domain to move the object to.", Scope::Move},
    {nullptr, "--store-data", nullptr, "personalise an application: AID HEX...",
     "Personalise the application whose AID is given first (INSTALL [for personalization]), then send one STORE "
     "DATA for each HEX given after it, in the secure channel. A block the channel cannot carry is refused "
     "before anything is sent."},
    {nullptr, "--simulate", nullptr, "run the applets on a simulated card and send them commands",
     "Load each file given (a CAP file, IJC file or load file, checked as --check checks it) in order on a "
     "simulated Java Card whose API is there from the start, as a card links them (an import missing or too old "
     "refuses the load, naming it), so that a library goes before the packages that use it. Install every applet "
     "of the last file (as --instance, --privileges and --params say), then send the commands of --script (or "
     "standard input) and print each with its answer; with --json, one object per command and a last one with "
     "the run's figures (report.schema.json's simulation objects). A command that ends in an exception nobody "
     "caught answers 6F00 (an ISOException its reason), and a diagnostic follows it: the exception, its reason, "
     "and each method of the stack with its offset as --dump numbers it and its source line where the CAP file "
     "has a Debug component. A call of the API the simulated card does not serve throws, and is named. Exit "
     "status 0 when the script ran, 1 when a load or an install failed."},
    {nullptr, "--vpcd", "[HOST:]PORT", "with --simulate: serve the card to pcscd through vpcd",
     "With --simulate, serve the simulated card to pcscd through the vsmartcard vpcd driver listening at HOST "
     "(default 127.0.0.1) and PORT (35963 for its first reader), until interrupted: every PC/SC program then "
     "reaches the applets. Each command and answer goes to standard output, the diagnostics to standard error.",
     Scope::Simulate},
    {nullptr, "--budget", "N", "with --simulate: the instructions one command may run",
     "With --simulate, the instructions one command may run before it is stopped with a diagnostic (default "
     "100000000), so that a loop without end answers 6F00 instead of hanging.",
     Scope::Simulate},
    {nullptr, "--memory", "BYTES", "with --simulate: the card's persistent memory",
     "With --simulate, the bytes of persistent memory the simulated card has for packages and objects (default "
     "131072); past it, new throws SystemException NO_RESOURCE. Transient memory is 8192 bytes.",
     Scope::Simulate},
    {nullptr, "--t0", nullptr, "with --simulate: the transport is T=0",
     "With --simulate, answer as a T=0 card: a command of case 4 answers 61xx, and GET RESPONSE gives the data.",
     Scope::Simulate},
    {nullptr, "--channels", "4|20", "with --simulate: 4 logical channels, as Java Card 2 reads classes, or 20",
     "With --simulate, a card of 20 logical channels (the default), whose class bytes are coded as Java Card 3 "
     "codes them (40 to 7F and C0 to FF name channels 4 to 19, so E0 and F0 name channel 4), or of 4, as Java "
     "Card 2 cards read any class byte (the channel in its low two bits), for applets that use classes such as "
     "E0 or F0 for their own commands. A card file keeps it, and opens only with the same.",
     Scope::Simulate},
    {nullptr, "--card-scp", "02|03[:I]", "with --simulate: the card's secure channel protocol",
     "With --simulate, the secure channel protocol the card's issuer security domain speaks: 03 (SCP03, i 70, "
     "the default; 03:00, 03:10 or 03:30 for another i) or 02 (SCP02, i 55; 02:15 for i 15).",
     Scope::Simulate},
    {nullptr, "--profile", "FILE", "with --simulate: where the commands' instructions went",
     "With --simulate, write the commands' folded stacks to FILE once the script ends or --vpcd is stopped (a "
     "line for each stack of methods, outermost first, then the instructions run in its innermost method: the "
     "input of flame graph tools; the counts add up to the commands' instructions), and end the text output "
     "with the methods that ran most: instructions in the method, with what it called, and calls.",
     Scope::Simulate},
    {nullptr, "--dap", "[PORT]", "with --simulate: be a debug adapter for an editor (on stdin and stdout, or PORT)",
     "With --simulate, serve the Debug Adapter Protocol to one editor, on standard input and output, or with PORT "
     "on a TCP port of 127.0.0.1: its launch request (whose capFiles, script, cardFile, stopOnEntry and "
     "sourceDirs default to the command line's) makes the card, breakpoints stop at source lines of the Debug "
     "component (or at instructions by method and offset), the frames show their locals and the objects they "
     "reach, and commands in hex typed in the debug console go to the card, as do the script's once the "
     "configuration is done. Nothing else is written to standard output. --profile FILE is written when the "
     "session ends.",
     Scope::Simulate, Value::Optional},
    {nullptr, "--coverage", "FILE", "with --simulate: which lines and branches ran, as an LCOV tracefile",
     "With --simulate, write what the run reached to FILE once the script ends or --vpcd is stopped: an LCOV "
     "tracefile (each source line with code and how often it ran, each method and its calls, each branch's "
     "outcomes, every case of a switch) for the packages that have a Debug component, their sources named by "
     "their packages' folders (com/acme/wallet/Wallet.java): genhtml makes its HTML report, lcov -a adds two "
     "runs. A FILE ending in .json, or a run where no package has Debug, gets JSON instead: each method's "
     "instructions and branches by bytecode offset, as --dump numbers them.",
     Scope::Simulate},
    {nullptr, "--card-file", "FILE", "with --simulate: keep the whole card in FILE",
     "With --simulate, the card is kept in FILE: its packages, applets, their objects and static fields, keys, "
     "PINs, life cycle states and counters. A FILE that does not exist is a new empty card; after each command "
     "that changes the card, FILE is replaced whole and atomically, so that a card stopped at any moment (even "
     "killed) starts again from its last complete command. A FILE that is corrupt, of another format version or no "
     "card file is refused, and left as it was. --card-scp and --card-keys make a new card only.",
     Scope::Simulate},
    {nullptr, "--card-keys", "HEX|ENC:MAC:DEK", "with --simulate: the card's first key set",
     "With --simulate, the keys of the card's first key set, version 01: one for ENC, MAC and DEK, or the three "
     "joined by ':' (default the test key 404142434445464748494A4B4C4D4E4F): AES keys of 16, 24 or 32 bytes under "
     "SCP03, DES keys of 16 under SCP02.",
     Scope::Simulate},
    {nullptr, "--reader", "NAME", "with a card: the reader to use",
     "The reader to use, as --readers names it. Without it, the one reader that holds a card; where several do, "
     "a refusal names them.",
     Scope::Card},
    {nullptr, "--trace", nullptr, "with a card: every command and response; with --simulate: every exception",
     "Show every command on standard error as sent (wrapped by the secure channel) and as meant (plain), and "
     "every response with its status word in words. Keys never appear. With --simulate, a diagnostic for every "
     "exception thrown, caught or not.",
     Scope::Trace},
    {nullptr, "--key", "HEX", "with a card: the key for ENC, MAC and DEK",
     "The card's key, used for all three of ENC, MAC and DEK: 16 bytes in hex for SCP02, 16, 24 or 32 for SCP03. "
     "Without any key option the default test key 40..4F is used, and a line says so. A key on the command line "
     "shows in the process list: --key-file keeps it out of it.",
     Scope::CardKey},
    {nullptr, "--key-enc", "HEX", "with a card: the ENC key", "The ENC key, with --key-mac and --key-dek.",
     Scope::CardKey},
    {nullptr, "--key-mac", "HEX", "with a card: the MAC key", "The MAC key, with --key-enc and --key-dek.",
     Scope::CardKey},
    {nullptr, "--key-dek", "HEX", "with a card: the DEK key", "The DEK key, with --key-enc and --key-mac.",
     Scope::CardKey},
    {nullptr, "--key-file", "FILE", "with a card: read the keys from FILE",
     "Read the keys from FILE: one enc=HEX, mac=HEX, dek=HEX or key=HEX line each ('#' begins a comment), so "
     "that they do not show in the process list.",
     Scope::CardKey},
    {nullptr, "--key-version", "HEX", "with a card: the key set's version",
     "The version of the card's key set to use, one byte in hex (default 00: the card's default set).", Scope::Card},
    {nullptr, "--kdf", "KIND", "with a card: diversify the key: emv, visa2 or kdf3",
     "Take the key as a master key and diversify it with the card's diversification data: emv, visa2 (3DES, "
     "for SCP02) or kdf3 (AES, for SCP03).",
     Scope::Card},
    {nullptr, "--scp", "VERSION", "with a card: insist on secure channel 02 or 03",
     "Insist on SCP02 or SCP03; by default the card's answer to INITIALIZE UPDATE chooses.", Scope::Card},
    {nullptr, "--security", "LEVEL", "with a card: mac (the default) or enc",
     "The secure channel's security level: mac (C-MAC) or enc (C-MAC and C-DECRYPTION).", Scope::Card},
    {nullptr, "--to-cap", nullptr, "turn an IJC file or load file back into a CAP file",
     "Read each file as a sequence of components (an IJC file or a load file, told by its content: a Header "
     "with DECAFFED first) and write NAME.cap beside it (or -o FILE), by the IJC file's rules: a ZIP archive, "
     "every entry deflated, with each component as PACKAGE/javacard/NAME.cap, Debug kept where the input holds "
     "it, and a META-INF/MANIFEST.MF with the Java Card attributes the components give. --load-file, --check, "
     "--dump and --apdu take such files too; --load-file then writes NAME.load.ijc, never over its input."},
    {nullptr, "--to-exp", nullptr, "write each package's export file from its CAP file",
     "Check each CAP file as --check does, then write its package's export file (format 2.1) as NAME.exp beside "
     "it (or -o FILE): its public classes and interfaces with their tokens, and their public and protected "
     "fields and methods with names and types, so that packages can be built against a library whose export file "
     "was lost. The names come from the Debug component: a CAP file without one is refused. With --exp-path, "
     "the superclasses and interfaces of imported classes come from their export files."},
    {nullptr, "--compare-exp", nullptr, "whether NEW.exp may replace OLD.exp on cards",
     "Take two export files of one library, OLD.exp and NEW.exp, and say whether the new version may replace the "
     "old one on cards that hold packages linked to it: every class, method and field of OLD still in NEW with "
     "the same token, kind and type, no less open and not newly final; no method added to an interface; every "
     "compile-time constant's value unchanged; the same major version and a higher minor one. Each break is a "
     "line, and the exit status 1; otherwise one line says that NEW may replace OLD."},
    {nullptr, "--package", "PATH", "with --to-cap: the package path, for CAP 2.1",
     "With --to-cap, the package's path in the CAP file (such as com/acme/wallet). The Header of CAP 2.2 and "
     "later names it; for CAP 2.1 without this option the path is made from the package AID, aid/AID, and the "
     "report says so.",
     Scope::ToCap},
    {nullptr, "--no-verify", nullptr, "only warn of what the checks of the components find",
     "With --load-file, --check or --dump, decode and check every component, and verify the types of every "
     "method's bytecode, but only warn of what the checks find, and write the load file all the same: for the "
     "rare converter known to write something odd. With --to-cap, make the CAP file all the same.",
     Scope::Verify},
    {nullptr, "--types", nullptr, "with --dump: the verifier's types before each instruction",
     "With --dump, show before each instruction of a method the types the bytecode verifier found on the stack "
     "(bottom first) and in the locals (by number; those that hold nothing usable left out). A method the "
     "verifier refused shows them up to the instruction refused; an instruction no way reaches says so.",
     Scope::Dump},
    {nullptr, "--target", "VERSION", "refuse a CAP file that needs a Java Card newer than VERSION",
     "With --load-file, --check or --dump, refuse a CAP file whose imported packages need a newer Java Card "
     "release than VERSION (such as 3.0.4), naming the package and both releases.",
     Scope::LoadFile},
    {nullptr, "--exp-path", "PATH", "check references to imported packages against their export files",
     "With --load-file, --check, --dump, --apdu or --send, check every reference to an imported package against "
     "the package's export file: that its class, method or field exists with that token and kind, that the type "
     "the Descriptor component records is the export file's, and that superclasses are neither final nor "
     "interfaces. PATH is a folder laid out as a Java Card SDK's api_export_files "
     "(PATH/javacard/framework/javacard/framework.exp) or a JAR or ZIP file holding such folders, such as the "
     "SDK's lib/tools.jar; repeat the option, or join paths with ':'. The export file of an imported package is "
     "the one with its AID and major version, and the nearest minor version at least the imported one. Without "
     "it, $JC_HOME/api_export_files where JC_HOME is set. A package with no export file found is said to be "
     "unchecked.",
     Scope::LoadFile},
    {nullptr, "--no-descriptor", nullptr, "leave the Descriptor component out of load files",
     "With --load-file or --check, leave the Descriptor component out of the load file, as some loaders do.",
     Scope::LoadFile},
    {"-o", "--output", "FILE", "write the IJC file to FILE ('-': standard output)",
     "Write the IJC file to FILE instead of beside the CAP file; one CAP file only. With '-' the IJC file goes "
     "to standard output, whole or not at all, and the report to standard error. FILE is written as the IJC "
     "file beside the CAP file is: never through a link, and never half."},
    {"-q", "--quiet", nullptr, "print no report, only errors",
     "Print no report (text or JSON); errors still go to standard error."},
    {nullptr, "--json", nullptr, "report one JSON object per CAP file (JSON Lines)",
     "Report one JSON object per CAP file, one per line, instead of the text report. Its fields are "
     "documented by the JSON Schema report.schema.json shipped with the program."},
    {"-h", "--help", nullptr, "show this help and exit", "Show a summary of the options and exit."},
    {nullptr, "--version", nullptr, "show the version and exit", "Show the version and exit."},
};

std::string namesOf(const Option& option)
{
    std::string names = option.shortName != nullptr ? std::string(option.shortName) + ", " : "    ";
    names += option.longName;
    if (option.argument != nullptr)
        names += std::string(" ") + option.argument;
    return names;
}

// Roff text: a backslash and a leading dot or quote would be read as requests.
std::string roff(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

} // namespace

std::span<const Option> options()
{
    return list;
}

std::string helpText()
{
    std::string text = "Usage: tolvane-cli [OPTION]... CAPFILE...\n"
                       "Convert each CAP file to an IJC file beside it (the same name, ending in .ijc).\n"
                       "\n"
                       "The report goes to standard output; an error goes to standard error, and the\n"
                       "next CAP file is converted all the same.\n"
                       "\n";
    constexpr std::size_t column = 24;
    for (const auto& option : list) {
        std::string names = "  " + namesOf(option);
        names += names.size() < column ? std::string(column - names.size(), ' ') : "  ";
        text += names + option.help + "\n";
    }
    text += "  --                    take every later argument as a CAP file\n"
            "\n"
            "Exit status: 0 if every file converted (or checked), 1 if any failed,\n"
            "2 for a usage error.\n";
    return text;
}

std::string manualPage(const std::string& version)
{
    std::string page = ".TH TOLVANE\\-CLI 1 \"\" \"tolvane " + version +
                       "\" \"User Commands\"\n"
                       ".SH NAME\n"
                       "tolvane\\-cli \\- convert Java Card CAP files to IJC files and load files\n"
                       ".SH SYNOPSIS\n"
                       ".B tolvane\\-cli\n"
                       "[\\fIOPTION\\fR]... \\fICAPFILE\\fR...\n"
                       ".SH DESCRIPTION\n"
                       "Converts each CAP file (a ZIP archive of CAP components) in turn into an IJC file "
                       "beside it, the same name ending in\n"
                       ".IR .ijc :\n"
                       "the components, each with its tag and size, one after the other. A report of what went "
                       "in goes to standard output, one line each; an error goes to standard error as one line, "
                       "\\fBtolvane\\-cli:\\fR \\fIMESSAGE\\fR, and the next CAP file is converted all the same. "
                       "The IJC file of a failed conversion is left empty, never partly written; it is never "
                       "written through a symbolic or hard link.\n"
                       ".PP\n"
                       "A relative \\fICAPFILE\\fR is taken against the current folder, and the report shows "
                       "its absolute path.\n"
                       ".SH OPTIONS\n";
    for (const auto& option : list) {
        page += ".TP\n";
        page += option.shortName != nullptr ? "\\fB" + roff(option.shortName) + "\\fR, " : "";
        page += "\\fB" + roff(option.longName) + "\\fR";
        if (option.argument != nullptr)
            page += " \\fI" + roff(option.argument) + "\\fR";
        page += "\n" + roff(option.details) + "\n";
    }
    page += ".TP\n\\fB\\-\\-\\fR\nTake every later argument as a CAP file.\n"
            ".SH \"EXIT STATUS\"\n"
            ".TP\n0\nEvery CAP file converted (or, with \\fB\\-\\-check\\fR, passed its checks).\n"
            ".TP\n1\nAt least one conversion failed; its error is on standard error.\n"
            ".TP\n2\nThe options or arguments were wrong (a usage error).\n"
            ".SH FILES\n"
            ".TP\n\\fINAME\\fR.ijc\n"
            "The IJC file or load file written beside \\fINAME\\fR.cap, unless \\fB\\-o\\fR names another.\n"
            ".TP\n/usr/share/tolvane/report.schema.json\n"
            "The JSON Schema of the \\fB\\-\\-json\\fR report.\n"
            ".TP\n/usr/share/tolvane/card.schema.json\n"
            "The JSON Schema of the \\fB\\-\\-json\\fR output of the card modes.\n"
            ".SH EXAMPLES\n"
            "Convert every CAP file of a folder:\n"
            ".PP\n.RS\ntolvane\\-cli build/*.cap\n.RE\n.PP\n"
            "Hash the load file that a loader would send, without writing a file:\n"
            ".PP\n.RS\ntolvane\\-cli \\-\\-load\\-file \\-o \\- wallet.cap | sha256sum\n.RE\n.PP\n"
            "Fail a build when a CAP file would not load:\n"
            ".PP\n.RS\ntolvane\\-cli \\-\\-check \\-q build/*.cap\n.RE\n"
            ".SH \"SEE ALSO\"\n"
            ".BR tolvane (1)\n";
    return page;
}

std::string bashCompletion()
{
    std::string words;
    std::string withFile;
    for (const auto& option : list) {
        for (const char* name : {option.shortName, option.longName}) {
            if (name == nullptr)
                continue;
            words += std::string(words.empty() ? "" : " ") + name;
            if (option.argument != nullptr)
                withFile += std::string(withFile.empty() ? "" : "|") + name;
        }
    }
    return "# bash completion for tolvane-cli\n"
           "_tolvane_cli()\n"
           "{\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    case $prev in\n"
           "        " +
           withFile +
           ")\n"
           "            compopt -o filenames 2>/dev/null\n"
           "            COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "            return ;;\n"
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" +
           words +
           " --\" -- \"$cur\"))\n"
           "    else\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        COMPREPLY=($(compgen -f -X '!*.[cC][aA][pP]' -- \"$cur\") $(compgen -d -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -F _tolvane_cli tolvane-cli\n";
}

} // namespace tolvane::cli
