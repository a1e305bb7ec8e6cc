// Reads the installer log as tests see it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quilmo::test {

std::string ReadLogBytes();
void WriteLogBytes(const std::string& bytes);
// The messages of the log in order; every line's time prefix and CR LF are
// checked (a malformed line fails the calling test).
std::vector<std::string> LogMessages(const std::string& bytes);
std::vector<std::string> LogMessages();
// Each of lines appears in seen, in this order (others may come between);
// the first one missing fails the calling test.
void ExpectInOrder(const std::vector<std::string>& seen, const std::vector<std::string>& lines);
// Waits until some log message starts with the text.
bool WaitForLogMessage(const std::string& prefix, DWORD timeoutMs);

}  // namespace quilmo::test
