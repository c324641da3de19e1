#pragma once

#include "core/base/error.h"
#include "core/report/report_sink.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <optional>

namespace tolvane::testing {

// A folder for CAP files and a report to convert them into; `run` performs
// one conversion and gives the message of the error it raised, if any.
class ConversionTest : public ::testing::Test {
protected:
    std::string writeCap(const std::string& name, const ByteVector& bytes)
    {
        const auto path = dir.file(name);
        writeFile(path, bytes);
        return path;
    }

    template <typename Conversion> std::optional<std::string> run(Conversion conversion)
    {
        try {
            conversion();
            return std::nullopt;
        } catch (const Error& error) {
            lastKind = error.kind();
            return std::string(error.what());
        }
    }

    TempDir dir;
    LineHolder report;
    ErrorKind lastKind{};
};

} // namespace tolvane::testing
