// The table of entry paths that tests/data/entry_paths.txt holds: which
// names Windows stores as written, shared with the publishing tool's tests.
#pragma once

#include <string>
#include <vector>

namespace quilmo::test {

struct EntryPathRow {
    int line = 0;
    bool accepted = false;
    std::string path;  // "/" between components, as the manifest may write it
};

// Every row of the table in file order; empty when the file cannot be read.
std::vector<EntryPathRow> EntryPathTable();

// The path with every "/" turned into a backslash, as the reader stores it.
std::string WithBackslashes(std::string path);

// The path as the body of a JSON string in a manifest.
std::string JsonEscaped(const std::string& path);

}  // namespace quilmo::test
