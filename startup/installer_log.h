// The installer's one log: "installer-auto.log" in the per-user data folder,
// holding exactly the last installing run. Each line reaches the disk before
// WriteLog returns, so the log is complete up to the last event even when the
// process is ended abruptly.
#pragma once

#include <string>

namespace quilmo {

struct LogTime {
    int year, month, day, hour, minute, second;
};

// "[YYYY-MM-DD hh:mm:ss] " + message + "\r\n", message bytes unchanged.
std::string FormatLogLine(const LogTime& time, const std::string& message);

// Full path of the log; creates its folder as a side effect.
std::wstring InstallerLogPath();

// Appends one line (message in UTF-8). Never fails visibly: a log that cannot
// be opened loses the line and the run goes on.
void WriteLog(const std::string& message);

// Called once at the start of every installing run.
void DeleteInstallerLog();

// "true" or "false", as every log line writes booleans.
const char* LogBool(bool value);

}  // namespace quilmo
