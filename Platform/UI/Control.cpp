#include "Platform/UI/Control.h"

#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/GraphicsContext.h"

namespace ui {

Control::Control(const graphics::Rect& frame, std::shared_ptr<Cell> cell)
    : View(frame)
    , m_cell(std::move(cell))
{
    if (!m_cell)
        m_cell = Cell::initTextCell("");
    m_cell->setControlView(this);
}

Control::~Control()
{
    if (m_cell && m_cell->controlView() == this)
        m_cell->setControlView(nullptr);
}

void Control::setCell(std::shared_ptr<Cell> cell)
{
    if (!cell)
        return;
    if (m_cell && m_cell->controlView() == this)
        m_cell->setControlView(nullptr);
    m_cell = std::move(cell);
    m_cell->setControlView(this);
    setNeedsDisplay(true);
}

bool Control::sendAction()
{
    if (m_actionBlock) {
        // A copy: the block may replace itself.
        auto block = m_actionBlock;
        block(*this);
        return true;
    }
    if (m_action.empty())
        return false;
    return sendAction(m_action, m_target.lock());
}

bool Control::sendAction(const std::string& action, const std::shared_ptr<Object>& target)
{
    return Application::shared()->sendAction(action, target, this);
}

void Control::setObjectValue(const std::any& value)
{
    m_cell->setObjectValue(value);
    setNeedsDisplay(true);
}

void Control::setStringValue(const std::string& value)
{
    m_cell->setStringValue(value);
    setNeedsDisplay(true);
}

void Control::setDoubleValue(double value)
{
    setObjectValue(value);
}

void Control::setIntegerValue(long value)
{
    setObjectValue(static_cast<long long>(value));
}

void Control::setEnabled(bool value)
{
    m_cell->setEnabled(value);
    setNeedsDisplay(true);
}

void Control::setHighlighted(bool value)
{
    m_cell->setHighlighted(value);
    setNeedsDisplay(true);
}

void Control::setFont(const Font& font)
{
    m_cell->setFont(font);
    setNeedsDisplay(true);
}

void Control::setAlignment(TextAlignment alignment)
{
    m_cell->setAlignment(alignment);
    setNeedsDisplay(true);
}

void Control::setFormatter(std::shared_ptr<Formatter> formatter)
{
    m_cell->setFormatter(std::move(formatter));
    setNeedsDisplay(true);
}

void Control::sizeToFit()
{
    setFrameSize(m_cell->cellSize());
}

void Control::draw(const graphics::Rect&, GraphicsContext& context)
{
    m_cell->drawWithFrame(bounds(), *this, context);
}

bool Control::setValueForBinding(const std::string& binding, const std::any& value)
{
    if (binding == NSValueBinding) {
        setObjectValue(value);
        return true;
    }
    if (binding == NSEnabledBinding) {
        bool enabled = true;
        try {
            enabled = !value.has_value() || foundation::anyTo<bool>(value);
        } catch (const std::bad_any_cast&) {
        }
        setEnabled(enabled);
        return true;
    }
    return View::setValueForBinding(binding, value);
}

std::vector<std::string> Control::exposedBindings() const
{
    return {NSValueBinding, NSEnabledBinding, NSHiddenBinding};
}

void Control::userDidChangeValue()
{
    pushBindingValue(NSValueBinding, objectValue());
    sendAction();
}

} // namespace ui
