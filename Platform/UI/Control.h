#pragma once
// A view that the user operates and that reports through an action: either a block
// (setActionBlock) or a named action sent to a target (held weakly; none means along the
// responder chain). Its value lives in its cell; the "value" and "enabled" bindings tie it to
// an observed property. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "Platform/UI/Cell.h"
#include "Platform/UI/View.h"

namespace ui {

class Control : public View, public UserInterfaceItem {
public:
    ~Control() override;

    const std::shared_ptr<Cell>& cell() const { return m_cell; }
    void setCell(std::shared_ptr<Cell> cell);

    // ---- target and action
    std::shared_ptr<Object> target() const { return m_target.lock(); }
    void setTarget(const std::shared_ptr<Object>& target) { m_target = target; }
    std::string action() const override { return m_action; }
    void setAction(std::string action) { m_action = std::move(action); }
    void setActionBlock(std::function<void(Control&)> block) { m_actionBlock = std::move(block); }
    long tag() const override { return View::tag(); }
    bool isContinuous() const { return m_continuous; }
    void setContinuous(bool value) { m_continuous = value; }
    // Sends the control's action (block first, else the named action); false when nobody
    // handled it.
    bool sendAction();
    bool sendAction(const std::string& action, const std::shared_ptr<Object>& target);

    // ---- value (kept by the cell)
    const std::any& objectValue() const { return m_cell->objectValue(); }
    virtual void setObjectValue(const std::any& value);
    std::string stringValue() const { return m_cell->stringValue(); }
    void setStringValue(const std::string& value);
    double doubleValue() const { return m_cell->doubleValue(); }
    virtual void setDoubleValue(double value);
    long integerValue() const { return m_cell->integerValue(); }
    void setIntegerValue(long value);
    int intValue() const { return static_cast<int>(m_cell->integerValue()); }
    bool isEnabled() const { return m_cell->isEnabled(); }
    virtual void setEnabled(bool value);
    bool isHighlighted() const { return m_cell->isHighlighted(); }
    void setHighlighted(bool value);
    Font font() const { return m_cell->font(); }
    void setFont(const Font& font);
    TextAlignment alignment() const { return m_cell->alignment(); }
    void setAlignment(TextAlignment alignment);
    const std::shared_ptr<Formatter>& formatter() const { return m_cell->formatter(); }
    void setFormatter(std::shared_ptr<Formatter> formatter);

    graphics::Size sizeThatFits() const { return m_cell->cellSize(); }
    void sizeToFit();
    graphics::Size intrinsicContentSize() const override { return m_cell->cellSize(); }

    void draw(const graphics::Rect& dirtyRect, GraphicsContext& context) override;
    bool setValueForBinding(const std::string& binding, const std::any& value) override;
    std::vector<std::string> exposedBindings() const override;

protected:
    Control(const graphics::Rect& frame, std::shared_ptr<Cell> cell);
    // The user changed the value: tell the value binding, then send the action.
    void userDidChangeValue();

private:
    std::shared_ptr<Cell> m_cell;
    std::weak_ptr<Object> m_target;
    std::string m_action;
    std::function<void(Control&)> m_actionBlock;
    bool m_continuous = false;
};

} // namespace ui
