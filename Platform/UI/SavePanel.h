#pragma once
// The save and open panels. Run modally (runModal) or as a sheet on a window
// (beginSheetModalForWindow); the choice comes from the installed ScriptedResponder, and
// without one the panel is cancelled. What the panel hands back obeys its settings as the
// platform's panels do: a save name gets the allowed extension (on screen, an existing file of
// the name so completed is asked about before it is handed back, as the chooser asks about the
// name typed), an open panel returns only existing items of the allowed kinds and types. Main
// thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/Object.h"
#include "Platform/UI/Window.h"

namespace ui {

class SavePanel : public Object {
public:
    static std::shared_ptr<SavePanel> savePanel();

    const std::string& title() const { return m_title; }
    void setTitle(std::string title) { m_title = std::move(title); }
    const std::string& message() const { return m_message; }
    void setMessage(std::string message) { m_message = std::move(message); }
    const std::string& prompt() const { return m_prompt; }
    void setPrompt(std::string prompt) { m_prompt = std::move(prompt); }
    const std::string& nameFieldStringValue() const { return m_nameField; }
    void setNameFieldStringValue(std::string name) { m_nameField = std::move(name); }
    const std::optional<foundation::URL>& directoryURL() const { return m_directory; }
    void setDirectoryURL(std::optional<foundation::URL> url) { m_directory = std::move(url); }
    // Type identifiers ("public.image") or file name extensions ("mp4"); empty allows all.
    const std::vector<std::string>& allowedFileTypes() const { return m_allowedTypes; }
    void setAllowedFileTypes(std::vector<std::string> types) { m_allowedTypes = std::move(types); }
    bool allowsOtherFileTypes() const { return m_allowsOtherTypes; }
    void setAllowsOtherFileTypes(bool value) { m_allowsOtherTypes = value; }
    bool canCreateDirectories() const { return m_canCreateDirectories; }
    void setCanCreateDirectories(bool value) { m_canCreateDirectories = value; }
    bool canSelectHiddenExtension() const { return m_canSelectHiddenExtension; }
    void setCanSelectHiddenExtension(bool value) { m_canSelectHiddenExtension = value; }
    bool isExtensionHidden() const { return m_extensionHidden; }
    void setExtensionHidden(bool value) { m_extensionHidden = value; }
    bool showsHiddenFiles() const { return m_showsHiddenFiles; }
    void setShowsHiddenFiles(bool value) { m_showsHiddenFiles = value; }

    // The chosen location after an OK.
    const std::optional<foundation::URL>& URL() const { return m_url; }

    ModalResponse runModal();
    void beginSheetModalForWindow(const std::shared_ptr<Window>& window, std::function<void(ModalResponse)> handler);
    void begin(std::function<void(ModalResponse)> handler);

    // Whether a file of that name or URL is one of the allowed types.
    bool isAllowedFileName(const std::string& name) const;

protected:
    SavePanel() = default;
    // Reads the scripted answer into the panel's result; the response.
    ModalResponse answer(bool asSheet);
    // Takes `chosen` (none: cancelled) as what the user picked, within the panel's settings.
    virtual ModalResponse accept(bool asSheet, const std::optional<std::vector<foundation::URL>>& chosen);
    virtual bool isOpenPanel() const { return false; }
    // On screen: the desktop's chooser answers, later; `done` gets the response.
    void chooseOnScreen(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> done);
    // Asks before a file the user did not name is replaced: Replace answers OK, Cancel goes
    // back to the chooser.
    void confirmReplacing(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> done);
    void recordAnswer(bool asSheet, bool open, ModalResponse response, const std::vector<foundation::URL>& urls);

    std::optional<foundation::URL> m_url;

private:
    std::string m_title;
    std::string m_message;
    std::string m_prompt;
    std::string m_nameField;
    std::optional<foundation::URL> m_directory;
    std::vector<std::string> m_allowedTypes;
    bool m_allowsOtherTypes = false;
    bool m_canCreateDirectories = true;
    bool m_canSelectHiddenExtension = false;
    bool m_extensionHidden = false;
    bool m_showsHiddenFiles = false;
    std::shared_ptr<Window> m_sheet;
};

class OpenPanel : public SavePanel {
public:
    static std::shared_ptr<OpenPanel> openPanel();

    bool canChooseFiles() const { return m_canChooseFiles; }
    void setCanChooseFiles(bool value) { m_canChooseFiles = value; }
    bool canChooseDirectories() const { return m_canChooseDirectories; }
    void setCanChooseDirectories(bool value) { m_canChooseDirectories = value; }
    bool allowsMultipleSelection() const { return m_allowsMultipleSelection; }
    void setAllowsMultipleSelection(bool value) { m_allowsMultipleSelection = value; }
    bool resolvesAliases() const { return m_resolvesAliases; }
    void setResolvesAliases(bool value) { m_resolvesAliases = value; }

    const std::vector<foundation::URL>& URLs() const { return m_urls; }

protected:
    OpenPanel();
    ModalResponse accept(bool asSheet, const std::optional<std::vector<foundation::URL>>& chosen) override;
    bool isOpenPanel() const override { return true; }

private:
    bool m_canChooseFiles = true;
    bool m_canChooseDirectories = false;
    bool m_allowsMultipleSelection = false;
    bool m_resolvesAliases = true;
    std::vector<foundation::URL> m_urls;
};

} // namespace ui
