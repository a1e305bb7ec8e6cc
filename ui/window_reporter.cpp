#include "ui/window_reporter.h"

#include "pipeline/installer_state.h"
#include "ui/caption_rule.h"
#include "ui/tips.h"
#include "ui/window_state.h"

namespace quilmo {

namespace {

void Hide(int kind) {
    if (UiElement* control = Window().controls.Find(kind)) control->visible = false;
}

void ShowNormal(int kind) {
    if (UiElement* control = Window().controls.Find(kind)) {
        control->state = kStateNormal;
        control->visible = true;
    }
}

// The version tag shows once the server named a version; the main button
// becomes pressable.
void ShowReady() {
    UiElement* tag = Window().controls.Find(kVersionTag);
    if (tag != nullptr && !State().manifestVersion.Get().empty()) tag->visible = true;
    ButtonElement* mainButton = Window().controls.MainButton();
    if (mainButton != nullptr && MainWindowExists()) mainButton->state = kStateNormal;
}

void ShowCompleted() {
    for (int kind : {kMainButton, kChangeDirButton, kAdvancedButton}) Hide(kind);
    ShowNormal(kEnterOfficeButton);
}

class WindowRunReporter final : public RunReporter {
public:
    bool Watched() const override { return MainWindowExists(); }

    // The text is already the run's status, which the window paints.
    void Status(const std::string&) override { RepaintWindow(); }

    void Progress(int percent) override {
        ProgressBarElement* bar = Window().controls.ProgressBar();
        if (bar == nullptr || !MainWindowExists()) return;
        bar->visible = percent < 100;
        float fraction = static_cast<float>(percent) / 100.0f;
        bar->progress = fraction > 1.0f ? 1.0f : fraction;
        // While a run goes, the bar takes the start buttons' place.
        if (State().busy) {
            for (int kind : {kMainButton, kChangeDirButton, kAdvancedButton, kAgreementCheckbox}) Hide(kind);
        }
        RepaintWindow();
    }

    void DownloadTip() override { ShowRandomTip(); }

    void Offer(const ReleaseOffer& offer) override {
        ButtonElement* mainButton = Window().controls.MainButton();
        if (mainButton == nullptr) return;
        mainButton->text.Set(MainButtonCaption(offer.existingInstall, offer.installedVersion, offer.manifestVersion));
    }

    void Buttons(StartButtons state) override {
        switch (state) {
            case StartButtons::Ready:
                ShowReady();
                break;
            case StartButtons::ManifestFailed:
                break;  // the main button's look follows the run's manifestFailed
            case StartButtons::Restored:
                ShowNormal(kMainButton);
                ShowNormal(kChangeDirButton);
                break;
            case StartButtons::Completed:
                ShowCompleted();
                break;
        }
        RepaintWindow();
    }

    void Box(const std::wstring& text, const std::wstring& title, UINT icon) override {
        HWND owner = MainWindowExists() ? Window().mainWindow.load() : nullptr;
        MessageBoxW(owner, text.c_str(), title.c_str(), icon);
    }

    bool Ask(const std::wstring& text, const std::wstring& title) override {
        HWND owner = MainWindowExists() ? Window().mainWindow.load() : nullptr;
        return MessageBoxW(owner, text.c_str(), title.c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
    }
};

}  // namespace

RunReporter& WindowReporter() {
    static WindowRunReporter reporter;
    return reporter;
}

}  // namespace quilmo
