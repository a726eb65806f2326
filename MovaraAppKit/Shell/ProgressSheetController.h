#pragma once
// A ready-made sheet: a caption, a detail line, a progress indicator and a cancel button,
// from the interface file "ProgressSheet". Its properties are observable and bound by name
// from that file. Each load resets it: empty texts, a determinate indicator at 0 of 0 to 1,
// and no cancel button (a caller that offers cancelling shows and enables the button itself
// once the sheet is loaded). Main thread only.

#include <memory>
#include <string>

#include "MovaraAppKit/Shell/SheetController.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/UI/Button.h"

class ProgressSheetController : public SheetController, public foundation::Observable {
public:
    static std::shared_ptr<ProgressSheetController> init();

    std::string windowNibName() const override { return "ProgressSheet"; }
    void windowDidLoad() override;

    // Back to the state of a fresh sheet; stops the process when the cancel button outlet is
    // not connected.
    void reset();

    std::shared_ptr<ui::Button> cancelButton() const { return m_cancelButton.lock(); }
    void setCancelButton(const std::shared_ptr<ui::Button>& button) { m_cancelButton = button; }

    const std::string& caption() const { return m_caption; }
    void setCaption(std::string caption);
    const std::string& detail() const { return m_detail; }
    void setDetail(std::string detail);
    double doubleValue() const { return m_doubleValue; }
    void setDoubleValue(double value);
    double minValue() const { return m_minValue; }
    void setMinValue(double value);
    double maxValue() const { return m_maxValue; }
    void setMaxValue(double value);
    bool indeterminate() const { return m_indeterminate; }
    void setIndeterminate(bool value);

    const foundation::KeyTable& observableKeys() const override;

protected:
    ProgressSheetController() = default;

private:
    template <class T> void change(const char* key, T& field, T value);

    std::weak_ptr<ui::Button> m_cancelButton;
    std::string m_caption;
    std::string m_detail;
    double m_doubleValue = 0;
    double m_minValue = 0;
    double m_maxValue = 1.0;
    bool m_indeterminate = false;
};
