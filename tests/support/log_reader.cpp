#include "support/log_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "startup/installer_log.h"

namespace quilmo::test {

std::string ReadLogBytes() {
    std::ifstream in(InstallerLogPath().c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteLogBytes(const std::string& bytes) {
    std::ofstream out(InstallerLogPath().c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> LogMessages(const std::string& bytes) {
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log line without CR LF: " << bytes.substr(start);
            break;
        }
        std::string line = bytes.substr(start, end - start);
        bool prefixOk = line.size() >= 22 && line[0] == '[' && line[5] == '-' && line[8] == '-' && line[11] == ' ' &&
                        line[14] == ':' && line[17] == ':' && line[20] == ']' && line[21] == ' ';
        EXPECT_TRUE(prefixOk) << "malformed log line: " << line;
        messages.push_back(prefixOk ? line.substr(22) : line);
        start = end + 2;
    }
    return messages;
}

bool WaitForLogMessage(const std::string& prefix, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        std::string bytes = ReadLogBytes();
        if (bytes.find("] " + prefix) != std::string::npos) return true;
        Sleep(50);
    }
    return false;
}

std::vector<std::string> LogMessages() { return LogMessages(ReadLogBytes()); }

void ExpectInOrder(const std::vector<std::string>& seen, const std::vector<std::string>& lines) {
    auto at = seen.begin();
    for (const std::string& line : lines) {
        auto found = std::find(at, seen.end(), line);
        ASSERT_NE(found, seen.end()) << "missing or out of order: " << line;
        at = found + 1;
    }
}

}  // namespace quilmo::test
