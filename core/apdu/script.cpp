#include "core/apdu/script.h"

#include "core/apdu/dap.h"
#include "core/base/digest.h"
#include "core/base/error.h"
#include "core/base/hex.h"

namespace tolvane::apdu {
namespace {

constexpr std::uint8_t cla = 0x80;
constexpr std::size_t maxBlocks = 256;

ByteVector hashOf(HashKind kind, const ByteVector& data)
{
    static const std::pair<HashKind, digest::Algorithm> algorithms[] = {{HashKind::Sha1, digest::Algorithm::Sha1},
                                                                        {HashKind::Sha256, digest::Algorithm::Sha256},
                                                                        {HashKind::Sha384, digest::Algorithm::Sha384},
                                                                        {HashKind::Sha512, digest::Algorithm::Sha512}};
    for (const auto& [hash, algorithm] : algorithms)
        if (hash == kind)
            return digest::of(algorithm, data);
    return {};
}

void appendWithLength(ByteVector& out, const ByteVector& value)
{
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

class Maker {
public:
    Maker(const LoadFile& file, const Options& options, const std::string& capPath)
        : file_(file), options_(options), capPath_(capPath)
    {
    }

    Script make()
    {
        script_.hash = options_.hash.value_or(options_.dap ? HashKind::Sha256 : HashKind::None);
        script_.hashValue = hashOf(script_.hash, file_.bytes);
        packageAid_ = *bytesFromHex(file_.packageAid); // written by the load file, always hex
        if (options_.replace)
            command("delete", 0xE4, 0x00, 0x80, concat({{0x4F}, withLength(packageAid_)}),
                    "DELETE of the package " + file_.packageAid + " and what depends on it");
        installForLoad();
        load();
        if (!options_.loadOnly)
            installForInstall();
        script_.text = writeScript(script_, file_, options_);
        return std::move(script_);
    }

private:
    [[noreturn]] void refuse(const std::string& detail) const { throw Error(ErrorKind::NotLoadable, capPath_, detail); }

    static ByteVector withLength(const ByteVector& value)
    {
        ByteVector out;
        appendWithLength(out, value);
        return out;
    }

    static ByteVector concat(std::initializer_list<ByteVector> parts)
    {
        ByteVector out;
        for (const auto& part : parts)
            out.insert(out.end(), part.begin(), part.end());
        return out;
    }

    void command(const char* kind, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const ByteVector& data,
                 std::string meaning)
    {
        if (data.size() > 255)
            refuse(std::string("the ") + kind + " command would carry " + std::to_string(data.size()) +
                   " bytes, more than the 255 a command holds");
        ByteVector bytes{cla, ins, p1, p2, static_cast<std::uint8_t>(data.size())};
        bytes.insert(bytes.end(), data.begin(), data.end());
        script_.commands.push_back({kind, std::move(bytes), std::move(meaning)});
    }

    void installForLoad()
    {
        command("install_for_load", 0xE6, 0x02, 0x00,
                concat({withLength(packageAid_),
                        withLength(options_.securityDomain),
                        withLength(script_.hashValue),
                        {0x00, 0x00}}),
                "INSTALL [for load] of " + file_.packageAid + " into " +
                    hexText(options_.securityDomain, HexCase::Upper));
    }

    void load()
    {
        ByteVector stream;
        if (options_.dap) {
            const ByteVector signature = options_.dap->signer->sign(script_.hashValue);
            script_.dapAlgorithm = options_.dap->signer->algorithm();
            script_.dapSecurityDomain = options_.dap->securityDomain;
            const ByteVector inner = concat(
                {{0x4F}, withLength(options_.dap->securityDomain), {0xC3}, berLength(signature.size()), signature});
            stream = concat({{0xE2}, berLength(inner.size()), inner});
        }
        stream = concat({stream, {0xC4}, berLength(file_.bytes.size()), file_.bytes});
        const std::size_t size = options_.blockSize;
        const std::size_t blocks = (stream.size() + size - 1) / size;
        if (blocks > maxBlocks) {
            const std::size_t fits = (stream.size() + maxBlocks - 1) / maxBlocks;
            refuse("the load needs " + std::to_string(blocks) + " LOAD blocks of " + std::to_string(size) +
                   " bytes, more than the 256 a load may have" +
                   (fits <= 255 ? "; a block size of " + std::to_string(fits) + " or more would do"
                                : "; no block size would do"));
        }
        for (std::size_t block = 0; block < blocks; ++block) {
            const auto from = stream.begin() + static_cast<std::ptrdiff_t>(block * size);
            const auto to = block + 1 == blocks ? stream.end() : from + static_cast<std::ptrdiff_t>(size);
            command("load", 0xE8, block + 1 == blocks ? 0x80 : 0x00, static_cast<std::uint8_t>(block),
                    ByteVector(from, to), "LOAD block " + std::to_string(block + 1) + " of " + std::to_string(blocks));
        }
    }

    void installForInstall()
    {
        const auto& applets = file_.applets;
        if (options_.instance && applets.size() != 1)
            refuse("--instance names one applet's instance, and the package has " + std::to_string(applets.size()) +
                   " applets");
        for (const auto& applet : applets) {
            const ByteVector module = *bytesFromHex(applet);
            const ByteVector instance = options_.instance.value_or(module);
            const ByteVector parameters = concat({{0xC9}, withLength(options_.parameters)});
            command("install_for_install", 0xE6, 0x0C, 0x00,
                    concat({withLength(packageAid_),
                            withLength(module),
                            withLength(instance),
                            withLength(options_.privileges),
                            withLength(parameters),
                            {0x00}}),
                    "INSTALL [for install and make selectable] of " + applet + " as " +
                        hexText(instance, HexCase::Upper));
        }
    }

    const LoadFile& file_;
    const Options& options_;
    const std::string& capPath_;
    ByteVector packageAid_;
    Script script_;
};

} // namespace

// Comments say what the script does; scriptor stops at any line with the
// word "exit", which neither hex nor these comments hold.
// The script: comments say what it does; scriptor stops at any line with
// the word "exit", which neither hex nor these comments hold.
std::string writeScript(const Script& script, const LoadFile& file, const Options& options)
{
    const bool gpshell = options.format == ScriptFormat::GpShell;
    const std::string comment = gpshell ? "// " : "# ";
    std::string out;
    out += comment + "Loads the package " + file.packageAid + " (" + std::to_string(file.bytes.size()) + " bytes, " +
           std::to_string(file.components.size()) + " components) into the security domain " +
           hexText(options.securityDomain, HexCase::Upper) + "\n";
    out += comment + "Load File Data Block SHA-256: " + file.sha256 + "\n";
    if (script.hash != HashKind::None)
        out += comment + "INSTALL [for load] carries its " + hashName(script.hash) +
               " hash: " + hexText(script.hashValue, HexCase::Lower) + "\n";
    if (script.dapAlgorithm)
        out += comment + "DAP signature (" + *script.dapAlgorithm + ") for the security domain " +
               hexText(script.dapSecurityDomain, HexCase::Upper) + "\n";
    if (gpshell)
        out += "// Open a secure channel to the security domain (open_sc) before these commands.\n";
    for (const auto& command : script.commands) {
        if (gpshell) {
            out += "send_apdu -sc 1 -APDU " + hexText(command.bytes, HexCase::Upper) + "\n";
            continue;
        }
        std::string line;
        for (const auto byte : command.bytes) {
            if (!line.empty())
                line += ' ';
            appendHex(line, byte, HexCase::Upper);
        }
        out += line + "\n";
    }
    return out;
}

ByteVector berLength(std::size_t length)
{
    if (length < 0x80)
        return {static_cast<std::uint8_t>(length)};
    if (length < 0x100)
        return {0x81, static_cast<std::uint8_t>(length)};
    if (length < 0x10000)
        return {0x82, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    return {0x83, static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length)};
}

const char* hashName(HashKind kind)
{
    switch (kind) {
    case HashKind::None:
        return "none";
    case HashKind::Sha1:
        return "sha1";
    case HashKind::Sha256:
        return "sha256";
    case HashKind::Sha384:
        return "sha384";
    case HashKind::Sha512:
        return "sha512";
    }
    return "none";
}

Script makeScript(const LoadFile& file, const Options& options, const std::string& capPath)
{
    return Maker(file, options, capPath).make();
}

} // namespace tolvane::apdu
