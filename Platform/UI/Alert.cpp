#include "Platform/UI/Alert.h"

#include <algorithm>
#include <cmath>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"
#include "Platform/UI/Presenter.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/TextField.h"

namespace ui {

using graphics::Rect;

namespace {

constexpr double kMargin = 20;
constexpr double kIcon = 48;

// The alert's badge: the application's icon when it has one, else a round sign.
class AlertIconView : public View {
public:
    static std::shared_ptr<AlertIconView> make(ImagePtr icon, AlertStyle style)
    {
        auto v = std::shared_ptr<AlertIconView>(new AlertIconView());
        v->m_icon = std::move(icon);
        v->m_style = style;
        return v;
    }
    void draw(const Rect&, GraphicsContext& context) override
    {
        const Rect b = bounds();
        if (m_icon) {
            context.drawImage(*m_icon, b);
            return;
        }
        context.setFillColor(m_style == AlertStyle::critical ? Color::deviceRGB(0.95, 0.26, 0.21)
                                                             : Color::controlAccentColor());
        context.fillPath(BezierPath::bezierPathWithOvalInRect(b.insetBy(4, 4)));
        TextAttributes a;
        a.font = Font::boldSystemFontOfSize(26);
        a.alignment = TextAlignment::center;
        a.foregroundColor = Color::white();
        context.drawText(AttributedString(m_style == AlertStyle::informational ? "i" : "!", a), b);
    }

private:
    AlertIconView()
        : View(Rect::make(0, 0, kIcon, kIcon))
    {
    }
    ImagePtr m_icon;
    AlertStyle m_style = AlertStyle::warning;
};

} // namespace

std::shared_ptr<Alert> Alert::init()
{
    return std::shared_ptr<Alert>(new Alert());
}

std::shared_ptr<Alert> Alert::alertWithError(const foundation::ErrorPtr& error)
{
    auto alert = init();
    if (!error)
        return alert;
    alert->setMessageText(error->localizedDescription());
    if (auto suggestion = error->localizedRecoverySuggestion())
        alert->setInformativeText(*suggestion);
    else if (auto reason = error->localizedFailureReason())
        alert->setInformativeText(*reason);
    alert->addButtonWithTitle(foundation::localized("OK", "alert button title"));
    return alert;
}

std::shared_ptr<Button> Alert::addButtonWithTitle(const std::string& title)
{
    std::weak_ptr<Alert> weak = sharedAs<Alert>();
    const ModalResponse response = AlertFirstButtonReturn + static_cast<ModalResponse>(m_buttons.size());
    auto button = Button::buttonWithTitle(title, nullptr, "");
    button->setTag(response);
    if (m_buttons.empty())
        button->setKeyEquivalent(kReturnKey);
    else if (title == "Cancel")
        button->setKeyEquivalent(kEscapeKey);
    button->setActionBlock([weak, response](Control&) {
        if (auto self = weak.lock())
            self->buttonPressed(response);
    });
    m_buttons.push_back(button);
    return button;
}

std::shared_ptr<Button> Alert::suppressionButton()
{
    if (!m_suppressionButton)
        m_suppressionButton = Button::checkboxWithTitle(
            foundation::localized("Do not show this message again", "alert suppression check box"), nullptr, "");
    return m_suppressionButton;
}

std::shared_ptr<Window> Alert::window()
{
    if (m_buttons.empty())
        addButtonWithTitle(foundation::localized("OK", "alert button title"));
    if (!m_window) {
        m_window = Window::initWithContentRect(Rect::make(0, 0, m_width, 150), WindowStyleMaskTitled);
        m_window->setTitleVisibility(WindowTitleVisibility::hidden);
    }
    layout();
    return m_window;
}

void Alert::layout()
{
    // Laid out top-down: badge and texts, then the accessory, the check box and the buttons.
    const double textX = kMargin + kIcon + 16;
    const double textWidth = m_width - textX - kMargin;
    auto message = TextField::wrappingLabelWithString(m_messageText, textWidth);
    message->setFont(Font::boldSystemFontOfSize(Font::systemFontSize()));
    message->setFrameSize({textWidth, message->cell()->cellSizeForBounds(Rect::make(0, 0, textWidth, 1e4)).height});
    std::shared_ptr<TextField> informative;
    if (!m_informativeText.empty()) {
        informative = TextField::wrappingLabelWithString(m_informativeText, textWidth);
        informative->setFont(Font::systemFontOfSize(Font::smallSystemFontSize()));
        informative->setFrameSize({textWidth, informative->cell()->cellSizeForBounds(Rect::make(0, 0, textWidth, 1e4)).height});
    }
    double textHeight = message->frame().height() + (informative ? 6 + informative->frame().height() : 0);
    double height = kMargin + std::max(kIcon, textHeight);
    const double accessoryHeight = m_accessoryView ? m_accessoryView->frame().height() + 12 : 0;
    const double suppressionHeight = m_showsSuppressionButton ? 26 : 0;
    height += accessoryHeight + suppressionHeight + 16 + 28 + kMargin;

    m_window->setContentSize({m_width, height});
    auto content = View::initWithFrame(Rect::make(0, 0, m_width, height));
    double top = height - kMargin;
    auto badge = AlertIconView::make(m_icon, m_style);
    badge->setFrameOrigin({kMargin, top - kIcon});
    content->addSubview(badge);
    message->setFrameOrigin({textX, top - message->frame().height()});
    content->addSubview(message);
    if (informative) {
        informative->setFrameOrigin({textX, message->frame().minY() - 6 - informative->frame().height()});
        content->addSubview(informative);
    }
    top -= std::max(kIcon, textHeight);
    if (m_accessoryView) {
        top -= 12;
        m_accessoryView->setFrameOrigin({textX, top - m_accessoryView->frame().height()});
        content->addSubview(m_accessoryView);
        top -= m_accessoryView->frame().height();
    }
    if (m_showsSuppressionButton) {
        auto box = suppressionButton();
        box->setFrameOrigin({textX, top - 6 - box->frame().height()});
        content->addSubview(box);
    }
    // Buttons from the right: the first (default) one right-most.
    double right = m_width - kMargin;
    for (const auto& b : m_buttons) {
        const double w = std::max(80.0, b->frame().width());
        b->setFrame(Rect::make(right - w, kMargin, w, 28));
        content->addSubview(b);
        right -= w + 8;
    }
    m_window->setContentView(content);
}

ModalResponse Alert::decideResponse(bool asSheet)
{
    ModalResponse response = AlertFirstButtonReturn;
    bool suppressed = false;
    auto responder = ScriptedResponder::installed();
    if (responder) {
        if (auto answer = responder->takeAlertAnswer()) {
            response = answer->response;
            if (answer->buttonTitle) {
                response = AlertFirstButtonReturn;
                for (const auto& b : m_buttons) {
                    if (b->title() == *answer->buttonTitle)
                        response = b->tag();
                }
            }
            if (answer->suppress && m_showsSuppressionButton) {
                suppressionButton()->setState(ControlStateValueOn);
                suppressed = true;
            }
        }
        ScriptedResponder::Record r;
        r.kind = ScriptedResponder::Kind::alert;
        r.asSheet = asSheet;
        r.messageText = m_messageText;
        r.informativeText = m_informativeText;
        for (const auto& b : m_buttons)
            r.buttons.push_back(b->title());
        r.response = response;
        r.suppressed = suppressed;
        responder->record(std::move(r));
    }
    return response;
}

void Alert::buttonPressed(ModalResponse response)
{
    if (auto parent = m_sheetParent.lock()) {
        m_sheetParent.reset();
        parent->endSheet(m_window, response);
        return;
    }
    if (m_running && Application::shared()->modalWindow() == m_window)
        Application::shared()->stopModalWithCode(response);
}

ModalResponse Alert::runModal()
{
    auto keep = sharedAs<Alert>();
    window();
    if (isInteractive()) {
        // A person answers with a button (or Return or Escape).
        m_running = true;
        const ModalResponse response = Application::shared()->runModalForWindow(m_window);
        m_running = false;
        m_window->orderOut(nullptr);
        return response;
    }
    // Answered at once: there is nobody to wait for.
    const ModalResponse response = decideResponse(false);
    m_window->orderOut(nullptr);
    return response;
}

void Alert::beginSheetModalForWindow(const std::shared_ptr<Window>& host, std::function<void(ModalResponse)> handler)
{
    if (!host) {
        const ModalResponse response = runModal();
        if (handler)
            handler(response);
        return;
    }
    auto keep = sharedAs<Alert>();
    // A sheet is no wider than the window it hangs from, within reason.
    m_width = std::clamp(host->contentRectForFrameRect(host->frame()).width(), 300.0, 420.0);
    window();
    const ModalResponse response = decideResponse(true);
    m_sheetParent = host;
    // The alert stays alive while its sheet is up: the handler holds it.
    host->beginSheet(m_window, [keep, handler = std::move(handler)](ModalResponse code) {
        keep->m_sheetParent.reset();
        if (handler)
            handler(code);
    });
    if (!isInteractive())
        ScriptedResponder::endSheetSoon(host, m_window, response);
}

} // namespace ui
