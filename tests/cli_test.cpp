// tolvane-cli run as a process: what other tools rely on is its output, its
// error lines and its exit status.

#include "core/exp/export_file.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace tolvane {
namespace {

using namespace testing;

ProcessResult runCli(const std::vector<std::string>& arguments, const TempDir& dir)
{
    return runProcess(TOLVANE_CLI, arguments, dir.path());
}

ByteVector walletZip()
{
    const auto wallet = walletComponents();
    return buildZip({{"Header.cap", wallet.headerEntry}, {"Directory.cap", wallet.directory}});
}

std::string walletReport(const std::string& path)
{
    return "CAP file name: " + path +
           "\n Javacard version: 2.2\n Package AID: A0000000620301\n Package name: com/acme/wallet\n"
           "CAP components:\n ---\n1. Header.cap 33 bytes\n2. Directory.cap 34 bytes\n ---\n"
           " Total IJC: 67 bytes\n\nDone.\n";
}

TEST(Cli, ConvertsEachFileAndReportsOnStandardOutput)
{
    TempDir dir;
    writeFile(dir.file("a.cap"), walletZip());
    std::filesystem::create_directory(dir.file("sub"));
    writeFile(dir.file("sub/b.cap"), walletZip());

    // Relative paths are made absolute against the current folder.
    const auto run = runCli({"a.cap", "sub/b.cap"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, walletReport(dir.file("a.cap")) + walletReport(dir.file("sub/b.cap")));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.file("a.ijc")).size(), 67u);
    EXPECT_EQ(readFile(dir.file("sub/b.ijc")).size(), 67u);
}

TEST(Cli, GoesOnAfterAFailedFile)
{
    TempDir dir;
    writeFile(dir.file("text.cap"), bytesOf("not an archive"));
    writeFile(dir.file("good.cap"), walletZip());
    const auto missing = dir.file("missing.cap");

    const auto run = runCli({dir.file("text.cap"), missing, dir.file("good.cap")}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "CAP file name: " + dir.file("text.cap") + "\nCAP file name: " + missing + "\n" +
                           walletReport(dir.file("good.cap")));
    EXPECT_EQ(run.err, "tolvane-cli: Unhandled Archive Type.\n"
                       "tolvane-cli: Cannot open file \"" +
                           missing + "\". No such file or directory.\n");
    EXPECT_EQ(readFile(dir.file("good.ijc")).size(), 67u);
}

TEST(Cli, ARefusedCardScriptLeavesNoFile)
{
    TempDir dir;
    writeFile(dir.file("text.cap"), bytesOf("not an archive"));
    writeFile(dir.file("wallet.cap"), walletZip()); // no load file: it lacks most components
    for (const char* cap : {"text.cap", "wallet.cap"}) {
        SCOPED_TRACE(cap);
        const auto run = runCli({"--apdu", dir.file(cap)}, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"text.cap", "wallet.cap"}));
    }
}

TEST(Cli, EmptyArgumentIsNoCapFile)
{
    TempDir dir;
    const auto run = runCli({""}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "tolvane-cli: No CAP file chosen.\n");
    EXPECT_FALSE(exists(dir.file(".ijc")));
}

TEST(Cli, ScanWalksLocalHeaders)
{
    TempDir dir;
    const auto wallet = walletComponents();
    writeFile(dir.file("stored.cap"), buildZip({{"Import.cap", wallet.import}}));
    writeFile(dir.file("deflated.cap"), buildZip({{"Import.cap", wallet.import, deflated}}));

    const auto run = runCli({"--scan", "deflated.cap", "stored.cap"}, dir);
    EXPECT_EQ(run.status, 1);
    const auto deflatedSize = std::to_string(readFile(dir.file("deflated.cap")).size());
    const auto storedSize = std::to_string(readFile(dir.file("stored.cap")).size());
    EXPECT_EQ(run.out, "CAP file name: " + dir.file("deflated.cap") + "\nCAP file size: " + deflatedSize +
                           " bytes\nWrong CAP file format. Exiting.\n\nDone.\n"
                           "CAP file name: " +
                           dir.file("stored.cap") + "\nCAP file size: " + storedSize +
                           " bytes\n4. Import.cap 14 bytes\n ---\n Total IJC: 14 bytes\n\nDone.\n");
    EXPECT_EQ(run.err, "tolvane-cli: Wrong CAP file format.\n");
    EXPECT_EQ(readFile(dir.file("stored.ijc")), wallet.import);
    EXPECT_EQ(readFile(dir.file("deflated.ijc")), ByteVector{});
}

// The modes that read a file whatever its name say so of a folder, rather
// than calling it an archive of a kind they do not handle.
TEST(Cli, AFolderIsNamedAsOne)
{
    TempDir dir;
    std::filesystem::create_directory(dir.file("build"));
    for (const char* mode : {"--load-file", "--check", "--dump", "--apdu", "--to-cap"}) {
        SCOPED_TRACE(mode);
        const auto run = runCli({mode, "build"}, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("Cannot open file \"" + dir.file("build") + "\". Is a directory"), std::string::npos)
            << run.err;
        EXPECT_EQ(dir.names(), std::vector<std::string>{"build"}) << "nothing is written";
    }
}

TEST(Cli, UsageErrorsHelpAndVersion)
{
    TempDir dir;
    writeFile(dir.file("-dash.cap"), walletZip());
    // nullptr: that stream stays empty.
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* inOut;
        const char* inErr;
    } cases[] = {
        {{}, 2, nullptr, "no CAP file given"},
        {{"--bogus", "a.cap"}, 2, nullptr, "unknown option '--bogus'"},
        {{"--scan", "--check", "a.cap"}, 2, nullptr, "--scan and --check exclude one another"},
        {{"--apdu", "--sd", "A0000001", "a.cap"}, 2, nullptr, "option '--sd' takes an AID of 5 to 16 bytes in hex"},
        {{"--apdu", "--instance", "A000000062030101020304050607080910", "a.cap"},
         2,
         nullptr,
         "an AID of 5 to 16 bytes"},
        {{"--apdu", "--block-size", "256", "a.cap"}, 2, nullptr, "option '--block-size' takes 1 to 255, not '256'"},
        {{"--simulate", "--vpcd", "host:0", "a.cap"}, 2, nullptr, "option '--vpcd' takes [HOST:]PORT"},
        {{"--simulate", "--vpcd", ":35963", "a.cap"}, 2, nullptr, "option '--vpcd' takes [HOST:]PORT"},
        {{"--simulate", "--budget", "-1", "a.cap"}, 2, nullptr, "option '--budget' takes a count of instructions"},
        {{"--simulate", "--vpcd", "35963", "--script", "s.txt", "a.cap"}, 2, nullptr, "--script has nothing to give"},
        // HOST:PORT as an argument of its own is --vpcd's, and a CAP file
        // after --dap is no port of its.
        {{"--simulate", "--vpcd", "localhost:35963", "--script", "s.txt"}, 2, nullptr, "--script has nothing to give"},
        {{"--simulate", "--dap", "a.cap", "--vpcd", "35963"}, 2, nullptr, "--dap takes its commands"},
        {{"--simulate", "-o", "x", "a.cap"}, 2, nullptr, "--simulate writes no file"},
        {{"--check", "--t0", "a.cap"}, 2, nullptr, "--t0 goes with --simulate"},
        {{"--simulate", "--card-scp", "04"}, 2, nullptr, "option '--card-scp' takes 02 or 03"},
        {{"--simulate", "--card-keys", "404142434445464748494A4B4C4D4E4F:4041"}, 2, nullptr, "all the same length"},
        {{"--simulate", "--card-scp", "02", "--card-keys", "404142434445464748494A4B4C4D4E4F4041424344454647"},
         2,
         nullptr,
         "--card-scp 02 takes DES keys of 16 bytes"},
        {{"--check", "--card-file", "c.card", "a.cap"}, 2, nullptr, "--card-file goes with --simulate"},
        {{"--check", "--script", "s.txt", "a.cap"}, 2, nullptr, "--script goes with --apdu, --send or --simulate"},
        {{"--apdu", "--script", "s.txt", "a.cap"}, 2, nullptr, "option '--script' takes scriptor or gpshell"},
        {{"--simulate", "--script", "missing.txt", "--", "-dash.cap"},
         2,
         nullptr,
         "cannot read the script missing.txt"},
        {{"--apdu", "--block-size", "0", "a.cap"}, 2, nullptr, "takes 1 to 255, not '0'"},
        {{"--apdu", "--privileges", "0000", "a.cap"}, 2, nullptr, "option '--privileges' takes 1 or 3 bytes in hex"},
        {{"--apdu", "--hash", "md5", "a.cap"},
         2,
         nullptr,
         "option '--hash' takes none, sha1, sha256, sha384 or sha512"},
        {{"--apdu", "--script", "bash", "a.cap"}, 2, nullptr, "option '--script' takes scriptor or gpshell"},
        {{"--apdu", "--dap-key", "k.pem", "a.cap"}, 2, nullptr, "--dap-key needs --dap-sd"},
        {{"--apdu", "--dap-key", "missing.pem", "--dap-sd", "A000000151000000", "a.cap"},
         2,
         nullptr,
         "Cannot open file \"missing.pem\". The DAP key cannot be read"},
        {{"--apdu", "--dap-key", "-dash.cap", "--dap-sd", "A000000151000000", "a.cap"},
         2,
         nullptr,
         "It is no DAP key this tool signs with"},
        {{"--load-file", "--replace", "a.cap"}, 2, nullptr, "--replace goes with --apdu"},
        {{"--dump", "--load-file", "a.cap"}, 2, nullptr, "exclude one another"},
        {{"--no-descriptor", "a.cap"},
         2,
         nullptr,
         "--no-descriptor goes with --load-file, --check, --dump, --apdu, --send, --to-exp or --simulate"},
        {{"--no-verify", "--scan", "a.cap"},
         2,
         nullptr,
         "--no-verify goes with --load-file, --check, --dump, --apdu, --send, --to-exp, --to-cap or --simulate"},
        {{"--types", "--check", "a.cap"}, 2, nullptr, "--types goes with --dump"},
        {{"--target", "3.0.4", "a.cap"},
         2,
         nullptr,
         "--target goes with --load-file, --check, --dump, --apdu, --send, --to-exp or --simulate"},
        {{"--check", "--target", "3.0.4x", "a.cap"}, 2, nullptr, "'3.0.4x' is no Java Card version"},
        {{"--check", "--target"}, 2, nullptr, "option '--target' needs a VERSION"},
        // Every value is checked, however often its option is given.
        {{"--apdu", "--hash", "sha1", "--hash", "bogus", "a.cap"}, 2, nullptr, "option '--hash' takes none, sha1"},
        {{"--apdu", "--sd", "A000000151000000", "--sd=0102", "a.cap"}, 2, nullptr, "option '--sd' takes an AID"},
        {{"--check", "--target=3.0.4", "--target", "x", "a.cap"}, 2, nullptr, "'x' is no Java Card version"},
        {{"--quiet=yes", "a.cap"}, 2, nullptr, "option '--quiet' takes no value"},
        // The card's options, refused before any reader is touched.
        {{"--list", "a.cap"}, 2, nullptr, "--list takes no file or AID, and 'a.cap' was given"},
        {{"--delete"}, 2, nullptr, "--delete needs the AID"},
        {{"--delete", "A0000000"}, 2, nullptr, "AIDs of 5 to 16 bytes"},
        {{"--send", "--key", "4041", "a.cap"}, 2, nullptr, "takes a key of 16, 24 or 32 bytes"},
        {{"--send", "--key-enc", "404142434445464748494A4B4C4D4E4F", "a.cap"},
         2,
         nullptr,
         "--key-enc, --key-mac and --key-dek go together"},
        {{"--send", "--security", "enc", "--block-size", "247", "a.cap"}, 2, nullptr, "239 or less does"},
        {{"--send", "--scp", "04", "a.cap"}, 2, nullptr, "takes 02 or 03"},
        {{"--list", "--key-file", "40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F"},
         2,
         nullptr,
         "looks like a key: a key goes in --key"},
        {{"--check", "--reader", "x", "a.cap"}, 2, nullptr, "--reader goes with a card mode but --readers"},
        {{"--list", "--force"}, 2, nullptr, "--force goes with --delete or --card-state"},
        // Running the card: what would lose keys, or cannot be undone, is refused before the card is touched.
        {{"--put-keys"}, 2, nullptr, "--put-keys needs the new keys"},
        {{"--put-keys", "--new-key", "random"}, 2, nullptr, "--new-key random needs --save-keys FILE"},
        {{"--put-keys", "--new-key", "default", "--save-keys", "/dev/null"},
         2,
         nullptr,
         "--save-keys never writes over a file, and /dev/null exists"},
        {{"--put-keys", "--new-key", "default", "--save-keys", "/dev/null/keys"},
         2,
         nullptr,
         "--save-keys names a file in /dev/null, which is no folder"},
        {{"--put-keys", "--new-key-mac", "404142434445464748494A4B4C4D4E4F"},
         2,
         nullptr,
         "--new-key-enc, --new-key-mac and --new-key-dek go together"},
        {{"--put-keys", "--new-key", "4041"},
         2,
         nullptr,
         "takes a key of 16, 24 or 32 bytes in hex, default or random"},
        {{"--put-keys", "--new-key", "default", "--new-key-version", "80"}, 2, nullptr, "from 01 to 7F"},
        {{"--list", "--new-key", "default"}, 2, nullptr, "--new-key goes with --put-keys"},
        {{"--put-keys", "--new-key", "000102030405060708090A0B0C0D0E0F1011121314151617", "--new-kdf", "emv"},
         2,
         nullptr,
         "diversify master keys of 16 bytes"},
        {{"--list", "--kdf", "visa2", "--key", "000102030405060708090A0B0C0D0E0F1011121314151617"},
         2,
         nullptr,
         "--kdf emv and visa2 diversify master keys of 16 bytes"},
        {{"--card-state", "terminated"}, 2, nullptr, "--card-state terminated cannot be undone, and needs --force"},
        {{"--card-state", "frozen"}, 2, nullptr, "takes initialized, secured, locked, unlocked or terminated"},
        {{"--install", "A00000006203010C06"}, 2, nullptr, "LOAD-FILE-AID MODULE-AID, and 1 was given"},
        {{"--create-sd", "A000000151000099", "--instance", "A000000151000098"}, 2, nullptr, "--instance has nothing"},
        {{"--move", "A00000006203010C0601"}, 2, nullptr, "--move needs --to"},
        {{"--list", "--to", "A000000151000099"}, 2, nullptr, "--to goes with --move"},
        {{"--store-data", "A00000006203010C0601", "0G"}, 2, nullptr, "1 to 255 bytes in hex, not '0G'"},
        {{"--lock-app", "--put-keys"}, 2, nullptr, "--lock-app and --put-keys exclude one another"},
        {{"--send", "--script", "gpshell", "a.cap"}, 2, nullptr, "--script goes with --apdu"},
        {{"--apdu", "--hash", "none", "--dap-key", "k.pem", "--dap-sd", "A000000151000000", "a.cap"},
         2,
         nullptr,
         "--hash none cannot go with --dap-key"},
        {{"-o", "x.ijc", "a.cap", "b.cap"}, 2, nullptr, "--output takes one CAP file, and 2 were given"},
        {{"a.cap", "-o"}, 2, nullptr, "option '-o' needs a FILE"},
        {{"--check", "-o", "x.ijc", "a.cap"}, 2, nullptr, "--check and --dump write nothing"},
        {{"--help"}, 0, "Usage: tolvane-cli [OPTION]... CAPFILE...", nullptr},
        {{"--version"}, 0, "tolvane-cli ", nullptr},
        {{"--", "-dash.cap"}, 0, "Done.", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const auto run = runCli(c.arguments, dir);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.inOut != nullptr)
            EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
        else
            EXPECT_EQ(run.out, "");
        if (c.inErr != nullptr)
            EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
        else
            EXPECT_EQ(run.err, "");
    }
    // A key given where its file was meant is never echoed.
    EXPECT_EQ(runCli({"--list", "--key-file", "404142434445464748494A4B4C4D4E4F"}, dir).err.find("4041"),
              std::string::npos);
    // Every option the help lists is one the program takes.
    const auto help = runCli({"--help"}, dir).out;
    for (const char* option : {"--scan", "--load-file", "--check", "--no-descriptor", "--json", "-o, --output FILE",
                               "-q, --quiet", "-h, --help", "--version"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(Cli, OutputFileStandardOutputAndQuiet)
{
    TempDir dir;
    writeFile(dir.file("w.cap"), walletZip());
    const auto ijc = concat({walletComponents().header, walletComponents().directory});
    const auto asText = [](const ByteVector& bytes) { return std::string(bytes.begin(), bytes.end()); };

    // -o FILE: written there, and not beside the CAP file; relative to the current folder.
    std::filesystem::create_directory(dir.file("out"));
    auto run = runCli({"-o", "out/x.bin", "w.cap"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir.file("out/x.bin")), ijc);
    EXPECT_FALSE(exists(dir.file("w.ijc")));
    EXPECT_NE(run.out.find("Done."), std::string::npos);

    // -o FILE holds to the IJC file's rules: a link there is replaced, not written through.
    writeFile(dir.file("precious"), bytesOf("keep"));
    ::symlink(dir.file("precious").c_str(), dir.file("out/link.bin").c_str());
    EXPECT_EQ(runCli({"--output=out/link.bin", "w.cap"}, dir).status, 0);
    EXPECT_EQ(readFile(dir.file("precious")), bytesOf("keep"));
    EXPECT_EQ(readFile(dir.file("out/link.bin")), ijc);

    // -o -: the IJC on standard output, the report on standard error.
    run = runCli({"-o", "-", "w.cap"}, dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, asText(ijc));
    EXPECT_EQ(run.err, walletReport(dir.file("w.cap")));
    // A failed conversion puts nothing on standard output.
    writeFile(dir.file("bad.cap"), bytesOf("no archive"));
    run = runCli({"-o", "-", "bad.cap"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");

    // -q: no report, errors only; the same exit statuses.
    run = runCli({"-q", "w.cap"}, dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.file("w.ijc")), ijc);
    run = runCli({"-q", "--json", "bad.cap"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tolvane-cli: Unhandled Archive Type.\n");
}

TEST(Cli, LoadFileRefusalIsOneErrorLineAndLeavesTheIjc)
{
    TempDir dir;
    writeFile(dir.file("w.cap"), walletZip());
    writeFile(dir.file("w.ijc"), bytesOf("old"));
    // Neither mode touches the IJC file; --load-file says so.
    for (const char* mode : {"--check", "--load-file"}) {
        SCOPED_TRACE(mode);
        const auto run = runCli({mode, "--json", "w.cap"}, dir);
        EXPECT_EQ(run.status, 1);
        const std::string refusal = "tolvane-cli: Component \"Header.cap\": its size field gives 30 bytes, but the "
                                    "entry holds 33 after its tag and size.\n";
        EXPECT_EQ(run.err, std::string(mode) == "--check"
                               ? refusal
                               : refusal + "tolvane-cli: " + dir.file("w.ijc") + " was left as it was.\n");
        EXPECT_NE(run.out.find("\"mode\":\"load\",\"ok\":false"), std::string::npos) << run.out;
        EXPECT_EQ(readFile(dir.file("w.ijc")), bytesOf("old"));
    }
}

TEST(Cli, CompareExpSaysWhetherNewMayReplaceOld)
{
    TempDir dir;
    exp::ExportFile older;
    older.package = {"com/acme/lib", {0xA0, 0, 0, 0, 0x62, 0x03, 0x01}, 1, 2, 1};
    older.classes.push_back({0, exp::accPublic, "com/acme/lib/Util", {"java/lang/Object"}, {}, {}, {}, {}});
    older.classes[0].methods.push_back({0, exp::accPublic | exp::accStatic, "get", "([BS)S", {}});
    exp::ExportFile newer = older;
    newer.package.minor = 3;
    exp::ExportFile broken = newer;
    broken.classes[0].methods[0].token = 1;
    writeFile(dir.file("old.exp"), exp::writeExportFile(older));
    writeFile(dir.file("new.exp"), exp::writeExportFile(newer));
    writeFile(dir.file("broken.exp"), exp::writeExportFile(broken));
    const auto fine = runCli({"--compare-exp", "old.exp", "new.exp"}, dir);
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_EQ(fine.out, "new.exp (com.acme.lib 1.3) may replace old.exp (com.acme.lib 1.2)\n");
    const auto breaks = runCli({"--compare-exp", "old.exp", "broken.exp"}, dir);
    EXPECT_EQ(breaks.status, 1);
    EXPECT_EQ(breaks.out, "com.acme.lib.Util.get([BS)S has token 1, not 0\n");
    const auto unreadable = runCli({"--compare-exp", "old.exp", "missing.exp"}, dir);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_NE(unreadable.err.find("missing.exp"), std::string::npos);
}

} // namespace
} // namespace tolvane
