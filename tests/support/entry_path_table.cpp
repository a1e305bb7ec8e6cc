#include "support/entry_path_table.h"

#include <gtest/gtest.h>

#include <fstream>

#ifdef _WIN32
#include "files/text_encoding.h"
#endif

namespace quilmo::test {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes the table's two escapes: \xNN and \\.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
                   HexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::vector<EntryPathRow> EntryPathTable() {
#ifdef _WIN32
    // The table lies on the Linux side; Wine reaches it through drive Z:.
    std::wstring path = L"Z:" + Utf8ToWide(QUILMO_TEST_DATA_DIR "/entry_paths.txt");
    std::ifstream in(path.c_str(), std::ios::binary);
#else
    std::ifstream in(QUILMO_TEST_DATA_DIR "/entry_paths.txt", std::ios::binary);
#endif
    if (!in) ADD_FAILURE() << "entry_paths.txt cannot be read from " QUILMO_TEST_DATA_DIR;
    std::vector<EntryPathRow> rows;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string verdict = line.substr(0, tab);
        if (verdict != "accept" && verdict != "refuse") {
            ADD_FAILURE() << "entry_paths.txt line " << number << ": neither accept nor refuse";
            continue;
        }
        EntryPathRow row;
        row.line = number;
        row.accepted = verdict == "accept";
        row.path = Unescaped(line.substr(tab + 1));
        rows.push_back(row);
    }
    return rows;
}

std::string WithBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::string JsonEscaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace quilmo::test
