#include "core/report/json_report.h"

#include "core/apdu/script.h"
#include "core/cap/bytecode.h"
#include "core/cap/package.h"

#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/exp/links.h"
#include "core/report/dump.h"
#include "core/report/report_sink.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace tolvane {
namespace {

using Json = nlohmann::ordered_json;

// Text from a file name or from the CAP file is bytes, not always UTF-8,
// which JSON strings must be. Valid UTF-8 is written as a string; anything
// else as {"hex": ...} holding its bytes, so that no byte is lost or guessed.
Json textValue(std::string_view text)
{
    if (isValidUtf8(text))
        return std::string(text);
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return Json{{"hex", hexText(bytes, HexCase::Lower)}};
}

const char* modeName(ReadingMode mode)
{
    switch (mode) {
    case ReadingMode::Archive:
        return "archive";
    case ReadingMode::Scan:
        return "scan";
    case ReadingMode::LoadFile:
        break;
    }
    return "load";
}

struct Component {
    std::string entry;
    std::string name;
    unsigned tag = 0;
    std::uint64_t length = 0;
    std::optional<std::size_t> offset; // in an IJC file given as input
};

Json classRefJson(cap::ClassRef ref)
{
    if (ref.external())
        return {{"package", ref.package()}, {"token", ref.token()}};
    return {{"offset", ref.offset()}};
}

Json staticRefJson(cap::StaticRef ref)
{
    if (ref.external())
        return {{"package", ref.package()}, {"class", ref.classToken()}, {"token", ref.token()}};
    return {{"offset", ref.offset()}};
}

Json optionalText(const std::optional<std::string>& text)
{
    return text ? textValue(*text) : Json(nullptr);
}

// Every component decoded, for tools: the constant pool in index order, the
// classes in Descriptor order with their methods and bytecode.
Json decodedJson(const cap::Package& package, const ImportedExports& exports)
{
    Json pool = Json::array();
    for (const auto& e : package.pool) {
        Json entry = {{"kind", cap::poolKindName(e.kind)}};
        if (const auto name = exp::exportedName(e, exports)) {
            entry["exported"] = {{"class", textValue(name->cls)}};
            if (!name->member.empty()) {
                entry["exported"]["member"] = textValue(name->member);
                entry["exported"]["descriptor"] = textValue(name->descriptor);
            }
        }
        switch (static_cast<cap::PoolKind>(e.kind)) {
        case cap::PoolKind::ClassRef:
            entry["class"] = classRefJson(e.classRef);
            break;
        case cap::PoolKind::InstanceField:
        case cap::PoolKind::VirtualMethod:
        case cap::PoolKind::SuperMethod:
            entry["class"] = classRefJson(e.classRef);
            entry["token"] = e.token;
            break;
        case cap::PoolKind::StaticField:
        case cap::PoolKind::StaticMethod:
            entry["reference"] = staticRefJson(e.staticRef);
            break;
        }
        pool.push_back(std::move(entry));
    }
    Json classes = Json::array();
    for (const auto& cls : package.classes) {
        Json methods = Json::array();
        for (const auto& method : cls.methods) {
            Json instructions = Json::array();
            for (const auto& in : method.instructions) {
                Json instruction = {{"offset", in.offset},
                                    {"op", cap::mnemonic(in.opcode)},
                                    {"operands", std::vector<std::int32_t>(in.operands.begin(), in.operands.end())}};
                // What it calls or reaches in an imported package, by name.
                if (const auto name = exportedNameOf(package, in, exports))
                    instruction["names"] = textValue(name->text());
                instructions.push_back(std::move(instruction));
            }
            methods.push_back({{"token", method.token},
                               {"flags", method.flags},
                               {"name", optionalText(method.name)},
                               {"offset", method.offset.value},
                               {"bytecode_count", method.bytecodeCount.value},
                               {"max_stack", method.header.maxStack},
                               {"max_locals", method.header.maxLocals},
                               {"nargs", method.header.nargs},
                               {"instructions", std::move(instructions)}});
        }
        classes.push_back({{"token", cls.token},
                           {"flags", cls.flags},
                           {"interface", cls.isInterface()},
                           {"name", optionalText(cls.name)},
                           {"methods", std::move(methods)}});
    }
    return {{"constant_pool", std::move(pool)}, {"classes", std::move(classes)}};
}

void addLoadFileFields(Json& report, const std::optional<LoadFile>& file, bool decoded)
{
    report["input"] = file && file->fromComponents ? "ijc" : "cap";
    if (decoded)
        report["decoded"] = file && file->package ? decodedJson(*file->package, file->exportFiles) : Json(nullptr);
    if (!file) {
        report["load_file"] = nullptr;
        report["package_version"] = nullptr;
        report["applets"] = Json::array();
        report["imports"] = Json::array();
        report["requires"] = nullptr;
        report["warnings"] = Json::array();
        return;
    }
    Json leftOut = Json::array();
    for (const auto& left : file->leftOut)
        leftOut.push_back({{"entry", textValue(left.entry)}, {"reason", left.reason}});
    report["load_file"] = {{"descriptor", file->descriptorKept},
                           {"sha1", file->sha1},
                           {"sha256", file->sha256},
                           {"left_out", std::move(leftOut)}};
    report["package_version"] = {{"major", file->packageMajor}, {"minor", file->packageMinor}};
    report["applets"] = file->applets;
    Json imports = Json::array();
    for (const auto& package : file->imports)
        imports.push_back({{"aid", package.aid},
                           {"major", package.major},
                           {"minor", package.minor},
                           {"name", optionalText(package.name)}});
    report["imports"] = std::move(imports);
    report["requires"] = {{"java_card", optionalText(file->requiresJavaCard)},
                          {"global_platform", optionalText(file->requiresGlobalPlatform)}};
    Json warnings = Json::array();
    for (const auto& warning : file->warnings)
        warnings.push_back(textValue(warning));
    report["warnings"] = std::move(warnings);
}

} // namespace

struct JsonReport::Collected {
    ConversionStart start;
    std::optional<std::uint64_t> capSize;
    bool formatError = false;
    std::optional<HeaderFields> header;
    std::vector<Component> components;
    std::optional<LoadFile> loadFile; // without its bytes
    std::optional<Json> apdus, dap;   // of an APDU script
    std::optional<Json> findings;     // once the load file is checked
};

JsonReport::JsonReport(ReportSink& sink, bool decoded, bool scripts)
    : sink_(sink), decoded_(decoded), scripts_(scripts), collected_(std::make_unique<Collected>())
{
}

JsonReport::~JsonReport() = default;

void JsonReport::begin(const ConversionStart& start)
{
    *collected_ = Collected{};
    collected_->start = start;
}

void JsonReport::fileSize(std::uint64_t bytes)
{
    collected_->capSize = bytes;
}

void JsonReport::formatError()
{
    collected_->formatError = true;
}

void JsonReport::entry(const EntryRecord& record)
{
    if (record.header && !collected_->header)
        collected_->header = record.header;
    collected_->components.push_back(
        {std::string(record.storedName), std::string(record.baseName), record.tag, record.taken.size(), std::nullopt});
}

void JsonReport::checked(const LoadFile& file)
{
    Json findings = Json::array();
    for (const auto& refusal : file.refusals)
        findings.push_back(
            {{"severity", "error"}, {"text", textValue(displayText(refusalText(refusal, collected_->start.capPath)))}});
    for (const auto& warning : file.warnings)
        findings.push_back({{"severity", "warning"}, {"text", textValue(warning)}});
    collected_->findings = std::move(findings);
}

void JsonReport::loadFile(const LoadFile& file)
{
    LoadFile kept = file;
    kept.bytes.clear();
    for (auto& component : kept.components) {
        collected_->components.push_back(
            {component.entry, component.name, component.tag, component.bytes.size(), component.offset});
        component.bytes.clear();
    }
    collected_->header = HeaderFields{file.capMajor, file.capMinor, file.packageAid, file.packageName};
    collected_->loadFile = std::move(kept);
}

void JsonReport::script(const apdu::Script& script)
{
    Json apdus = Json::array();
    for (const auto& command : script.commands)
        apdus.push_back({{"command", command.kind}, {"hex", hexText(command.bytes, HexCase::Upper)}});
    collected_->apdus = std::move(apdus);
    collected_->dap = script.dapAlgorithm ? Json{{"sd", hexText(script.dapSecurityDomain, HexCase::Upper)},
                                                 {"algorithm", *script.dapAlgorithm}}
                                          : Json(nullptr);
}

void JsonReport::end(const Outcome& outcome)
{
    const Collected& c = *collected_;
    std::optional<std::string> error;
    if (outcome.error)
        error = displayText(outcome.error->message());
    else if (outcome.formatError)
        error = displayText(Error(ErrorKind::WrongFormat, c.start.capPath).message());

    Json report;
    report["cap"] = textValue(c.start.capPath);
    report["ijc"] = c.start.ijcPath.empty() ? Json(nullptr) : textValue(c.start.ijcPath);
    report["mode"] = modeName(c.start.mode);
    report["ok"] = outcome.ok();
    report["error"] = error ? textValue(*error) : Json(nullptr);
    report["cap_size"] = c.capSize ? Json(*c.capSize) : Json(nullptr);
    report["format_error"] = c.formatError;
    if (c.header) {
        report["header"] = {{"cap_major", c.header->major},
                            {"cap_minor", c.header->minor},
                            {"aid", c.header->aid},
                            {"package_name", textValue(c.header->packageName)}};
    } else {
        report["header"] = nullptr;
    }
    Json components = Json::array();
    for (const auto& component : c.components) {
        Json item = {{"entry", textValue(component.entry)},
                     {"name", textValue(component.name)},
                     {"tag", component.tag},
                     {"length", component.length}};
        if (component.offset)
            item["offset"] = *component.offset;
        components.push_back(std::move(item));
    }
    report["components"] = std::move(components);
    report["total"] = outcome.total;
    if (c.start.mode == ReadingMode::LoadFile) {
        addLoadFileFields(report, c.loadFile, decoded_);
        // Every finding of the checks; where the input could not be read
        // as a load file, the refusal that stopped them.
        Json findings = c.findings.value_or(Json::array());
        if (!c.findings && outcome.error && outcome.error->kind() == ErrorKind::NotLoadable)
            findings.push_back({{"severity", "error"}, {"text", textValue(*error)}});
        report["findings"] = std::move(findings);
    }
    if (c.start.mode == ReadingMode::LoadFile && scripts_) {
        report["apdus"] = c.apdus.value_or(Json::array());
        report["dap"] = c.dap.value_or(Json(nullptr));
    }
    sink_.appendLine(report.dump());
}

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0, smallest = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = value << 6 | (next & 0x3F);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace tolvane
