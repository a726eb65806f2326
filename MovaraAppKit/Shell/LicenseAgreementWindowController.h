#pragma once
// The licence-agreement window, from the interface file "LicenseAgreementWindow" of the shell:
// the application's licence document (a PDF named by the configuration object), centred when
// shown, with a copy saved where the user chooses ("saveLicense:"). A save that fails is
// reported to the user in a sheet on the window. Main thread only.

#include <memory>

#include "Platform/UI/PDFView.h"
#include "Platform/UI/WindowController.h"

class LicenseAgreementWindowController : public ui::WindowController {
public:
    static std::shared_ptr<LicenseAgreementWindowController> init();

    // An outlet, held weakly.
    std::shared_ptr<ui::PDFView> pdfView() const { return m_pdfView.lock(); }
    void setPdfView(const std::shared_ptr<ui::PDFView>& view) { m_pdfView = view; }

    void awakeFromNib() override;
    void showWindow(ui::Object* sender) override;
    virtual void saveLicense(ui::Object* sender);

protected:
    LicenseAgreementWindowController();

private:
    std::weak_ptr<ui::PDFView> m_pdfView;
};
