#pragma once
// An alert: a message, an informative text, buttons that return 1000, 1001, ... in the
// order they were added (the first is the default, answered by Return; one titled "Cancel"
// answers Escape), an optional suppression check box and accessory view. Shown
// application-modally (runModal) or as a sheet on a window. The answer comes from the
// installed ScriptedResponder, else the default button; a button's performClick also ends it.
// Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Object.h"
#include "Platform/UI/Window.h"

namespace ui {

class Button;
class View;

enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

class Alert : public Object {
public:
    static std::shared_ptr<Alert> init();
    // An alert with the error's description as its message, its recovery suggestion (or
    // failure reason) as informative text, and an "OK" button.
    static std::shared_ptr<Alert> alertWithError(const foundation::ErrorPtr& error);

    const std::string& messageText() const { return m_messageText; }
    void setMessageText(std::string text) { m_messageText = std::move(text); }
    const std::string& informativeText() const { return m_informativeText; }
    void setInformativeText(std::string text) { m_informativeText = std::move(text); }
    AlertStyle alertStyle() const { return m_style; }
    void setAlertStyle(AlertStyle style) { m_style = style; }
    ImagePtr icon() const { return m_icon; }
    void setIcon(ImagePtr icon) { m_icon = std::move(icon); }

    std::shared_ptr<Button> addButtonWithTitle(const std::string& title);
    const std::vector<std::shared_ptr<Button>>& buttons() const { return m_buttons; }
    bool showsSuppressionButton() const { return m_showsSuppressionButton; }
    void setShowsSuppressionButton(bool value) { m_showsSuppressionButton = value; }
    // The check box ("Do not show this message again"); made on first use.
    std::shared_ptr<Button> suppressionButton();
    std::shared_ptr<View> accessoryView() const { return m_accessoryView; }
    void setAccessoryView(std::shared_ptr<View> view) { m_accessoryView = std::move(view); }

    // The panel that shows the alert (laid out on each call).
    std::shared_ptr<Window> window();

    ModalResponse runModal();
    // `handler` runs with the response once the sheet has ended (on a later turn of the
    // main loop when the answer is scripted or the default).
    void beginSheetModalForWindow(const std::shared_ptr<Window>& window, std::function<void(ModalResponse)> handler);

protected:
    Alert() = default;

private:
    void layout();
    ModalResponse decideResponse(bool asSheet);
    void buttonPressed(ModalResponse response);

    std::string m_messageText;
    std::string m_informativeText;
    AlertStyle m_style = AlertStyle::warning;
    ImagePtr m_icon;
    std::vector<std::shared_ptr<Button>> m_buttons;
    bool m_showsSuppressionButton = false;
    std::shared_ptr<Button> m_suppressionButton;
    std::shared_ptr<View> m_accessoryView;
    std::shared_ptr<Window> m_window;
    std::weak_ptr<Window> m_sheetParent;
    bool m_running = false;
    double m_width = 420;
};

} // namespace ui
