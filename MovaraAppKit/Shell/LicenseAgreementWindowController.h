#pragma once
// The licence-agreement window, from the interface file "LicenseAgreementWindow" of the shell;
// centred when shown. Main thread only.

#include <memory>

#include "Platform/UI/WindowController.h"

class LicenseAgreementWindowController : public ui::WindowController {
public:
    static std::shared_ptr<LicenseAgreementWindowController> init();
    void showWindow(ui::Object* sender) override;

protected:
    LicenseAgreementWindowController();
};
