#pragma once
// The picture chooser: a pop-up of recent pictures and a camera that ends with a chosen
// picture (outputImage) and a return code (ModalResponseOK or cancel). This desktop has no
// such chooser: isAvailable() is false and a pop-up ends at once, on a later turn of the main
// loop, with ModalResponseCancel. Tests (or a future chooser) script the answer with
// setScriptedResult. Main thread only.

#include <functional>
#include <memory>
#include <optional>

#include "Platform/UI/Image.h"
#include "Platform/UI/Window.h"

namespace ui {

class View;

class PictureTaker {
public:
    using EndHandler = std::function<void(PictureTaker& taker, ModalResponse returnCode)>;

    static PictureTaker& sharedPictureTaker();
    static bool isAvailable() { return false; }

    // Shows the recents menu for `view`; `didEnd` runs when the user has chosen or cancelled.
    void popUpRecentsMenuForView(View* view, EndHandler didEnd);
    ImagePtr outputImage() const { return m_outputImage; }

    // How the next pop-up ends (none: unavailable, cancel).
    void setScriptedResult(std::optional<std::pair<ModalResponse, ImagePtr>> result) { m_scripted = std::move(result); }
    long popUpCount() const { return m_popUps; }
    // The view of the last pop-up (for tests; not kept alive).
    const View* lastView() const { return m_lastView; }

private:
    PictureTaker() = default;

    ImagePtr m_outputImage;
    std::optional<std::pair<ModalResponse, ImagePtr>> m_scripted;
    long m_popUps = 0;
    const View* m_lastView = nullptr;
};

} // namespace ui
