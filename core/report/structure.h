#pragma once

// A package's shape, as a tree for people to browse: its components with
// their share of the load file, its imports, applets and the Java Card it
// needs, and its classes with their methods. A method's bytecode listing is
// made apart, when somebody asks for it, for a package may hold tens of
// thousands of instructions. What the checks found is put on the row it
// concerns.

#include <cstddef>
#include <string>
#include <vector>

namespace tolvane {

struct LoadFile;

struct StructureRow {
    enum class Kind {
        Group,
        Package,
        Component,
        Import,
        Applet,
        Requirement,
        LeftOut,
        Class,
        Method,
        Instruction,
        Note
    };
    Kind kind = Kind::Group;
    std::string label;
    std::string detail;
    // A component's share of the load file, from 0 to 1; negative elsewhere.
    double share = -1;
    std::vector<std::string> findings;
    // A method with bytecode: where listingOf finds it.
    bool hasListing = false;
    std::size_t classIndex = 0, methodIndex = 0;
    std::vector<StructureRow> children;
};

std::vector<StructureRow> structureOf(const LoadFile& file);

// The instructions of a method with bytecode, one row each, with what the
// checks found at each; empty for a method that has none.
std::vector<StructureRow> listingOf(const LoadFile& file, std::size_t classIndex, std::size_t methodIndex);

} // namespace tolvane
