#pragma once
// Stands in for the person at the screen: answers the next alert, open panel, save panel or
// modal window with what the script says, and keeps a transcript of everything presented.
// Tests and the command line install one; without one, an alert takes its default (first)
// button, a panel is cancelled and a modal window ends with Abort. Thread-safe.

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/Window.h"

namespace ui {

class ScriptedResponder {
public:
    struct AlertAnswer {
        std::optional<std::string> buttonTitle; // the button to press, by title
        ModalResponse response = AlertFirstButtonReturn; // else by return code
        bool suppress = false; // tick the suppression check box first
    };
    struct PanelAnswer {
        bool ok = false;
        std::vector<foundation::URL> urls;
    };
    enum class Kind { alert, openPanel, savePanel, modalWindow };
    struct Record {
        Kind kind = Kind::alert;
        bool asSheet = false;
        std::string title;           // window title of a panel or modal window
        std::string messageText;     // alerts; a panel's message
        std::string informativeText; // alerts
        std::vector<std::string> buttons;
        std::string nameFieldStringValue; // save panels, as proposed
        std::vector<std::string> allowedFileTypes;
        ModalResponse response = ModalResponseCancel;
        std::vector<foundation::URL> urls; // what a panel handed back
        bool suppressed = false;
    };

    static std::shared_ptr<ScriptedResponder> make() { return std::make_shared<ScriptedResponder>(); }
    static void install(std::shared_ptr<ScriptedResponder> responder);
    static void uninstall() { install(nullptr); }
    static std::shared_ptr<ScriptedResponder> installed();
    // Ends `sheet` on `host` with a scripted `response` once the main loop runs, as a person's
    // click would come later; nothing when the sheet was ended or moved meanwhile.
    static void endSheetSoon(const WindowPtr& host, const WindowPtr& sheet, ModalResponse response);

    // ---- the script, answered in order per kind
    void answerAlertWithButton(const std::string& title, bool suppress = false);
    void answerAlertWithResponse(ModalResponse response, bool suppress = false);
    void answerOpenPanel(std::vector<foundation::URL> urls);
    void cancelNextOpenPanel();
    void answerSavePanel(const foundation::URL& url);
    void cancelNextSavePanel();
    void answerModalWindow(ModalResponse response);
    // Answers not used yet.
    size_t pendingAnswers() const;

    // ---- for the panels and alerts
    std::optional<AlertAnswer> takeAlertAnswer();
    std::optional<PanelAnswer> takeOpenPanelAnswer();
    std::optional<PanelAnswer> takeSavePanelAnswer();
    std::optional<ModalResponse> takeModalAnswer(const Window& window);
    void record(Record record);

    std::vector<Record> transcript() const;
    void clearTranscript();

private:
    mutable std::mutex m_mutex;
    std::deque<AlertAnswer> m_alerts;
    std::deque<PanelAnswer> m_openPanels;
    std::deque<PanelAnswer> m_savePanels;
    std::deque<ModalResponse> m_modals;
    std::vector<Record> m_transcript;
};

} // namespace ui
