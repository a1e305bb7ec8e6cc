// Read-only checks for the add-in's two runtime prerequisites: the .NET
// Framework 4.8 and the Microsoft Edge WebView2 runtime. They read the
// registry and test for files, change nothing, and count every error as
// absence.
#pragma once

#include <string>

namespace quilmo {

// "Release" of ...\NDP\v4\Full is 528,040 or more in the 64-bit or the
// 32-bit registry view.
bool IsNetFramework48Installed();

// A version registered with the Edge updater (machine, then user) whose
// directory really holds the runtime.
bool IsWebView2RuntimeInstalled();

// directory holds msedgewebview2.exe and an EmbeddedBrowserWebView.dll
// (EBWebView\x64, EBWebView\x86 or beside it).
bool IsWebView2RuntimeDir(const std::wstring& directory);

// The updater's version text: digits and dots, some digit 1-9, no "..",
// not empty and not "0.0.0.0".
bool IsUsableWebView2Version(const std::wstring& version);

}  // namespace quilmo
