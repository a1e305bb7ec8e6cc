// What a run tells whoever watches it, as plain values: the status line, the
// progress, the start buttons' state and message boxes. The window shows
// them as it sees fit; a silent run tells nobody.
#pragma once

#include <windows.h>

#include <string>

namespace quilmo {

// The state of the start buttons a run asks for.
enum class StartButtons {
    Ready,          // the release manifest was read: the main button may be pressed
    ManifestFailed, // the manifest was refused: the main button only explains why
    Restored,       // a run gave up: the main and "更改 >" buttons are back
    Completed,      // the add-in is installed: only "进入 Office" remains
};

// What the server offers beside what is installed; the main button's
// caption follows from it.
struct ReleaseOffer {
    bool existingInstall = false;
    std::string installedVersion;
    std::string manifestVersion;
};

class RunReporter {
public:
    virtual ~RunReporter() = default;
    // False once the window the run reports to is gone.
    virtual bool Watched() const = 0;
    virtual void Status(const std::string& text) = 0;  // UTF-8
    virtual void Progress(int percent) = 0;
    // Many files are downloading: the window may show a tip in the status
    // line instead of the file's name.
    virtual void DownloadTip() = 0;
    virtual void Offer(const ReleaseOffer& offer) = 0;
    virtual void Buttons(StartButtons state) = 0;
    // icon: MB_ICONERROR, MB_ICONWARNING or MB_ICONINFORMATION.
    virtual void Box(const std::wstring& text, const std::wstring& title, UINT icon) = 0;
    // A yes-or-no question whose default answer is no; true for yes.
    virtual bool Ask(const std::wstring& text, const std::wstring& title) = 0;
};

// A silent run: nobody watches, nothing is shown.
class SilentReporter final : public RunReporter {
public:
    bool Watched() const override { return true; }
    void Status(const std::string&) override {}
    void Progress(int) override {}
    void DownloadTip() override {}
    void Offer(const ReleaseOffer&) override {}
    void Buttons(StartButtons) override {}
    void Box(const std::wstring&, const std::wstring&, UINT) override {}
    bool Ask(const std::wstring&, const std::wstring&) override { return false; }
};

}  // namespace quilmo
