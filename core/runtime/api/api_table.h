#pragma once

// The Java Card API as cards link it, as rows: each package with its AID and
// version, each class with its token and relations, each member with its
// token, type and flags, and each constant with its value. What the runtime
// links against, and how its natives know what an argument means.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvane::runtime {

enum ApiFlag : unsigned {
    apiPublic = 0x01,
    apiPrivate = 0x02,
    apiProtected = 0x04,
    apiStatic = 0x08,
    apiFinal = 0x10,
    apiInterface = 0x40,
    apiAbstract = 0x80,
    apiShareable = 0x100,
    apiRemote = 0x200,
};

struct ApiPackageRow {
    const char* name;
    const char* aid;
    unsigned major, minor;
};

struct ApiClassRow {
    const char* package;
    unsigned token;
    const char* name;
    unsigned flags;
    const char* superclasses; // from java.lang.Object down, comma-separated
    const char* interfaces;
};

struct ApiMemberRow {
    bool field;
    const char* package;
    const char* cls;
    unsigned token; // 0xFF for a compile-time constant
    const char* name;
    const char* descriptor;
    unsigned flags;
    long long value; // a constant's
    bool hasValue;
};

extern const ApiPackageRow apiPackageRows[];
extern const ApiClassRow apiClassRows[];
extern const ApiMemberRow apiMemberRows[];
extern const std::size_t apiPackageCount, apiClassCount, apiMemberCount;

// The value of the API's constant `cls.name` ("javacard.framework.JCSystem",
// "CLEAR_ON_RESET"). Throws std::logic_error where the table lacks it.
long long apiConstant(std::string_view cls, std::string_view name);

} // namespace tolvane::runtime
