#pragma once
// Runs an alert as a sheet on the window of a controller's view; `then` runs when the sheet
// ends (at once when the view is in no window). Main thread only.

#include <functional>
#include <memory>

#include "Platform/UI/Alert.h"
#include "Platform/UI/ViewController.h"
#include "Platform/UI/Window.h"

inline void mvr_runSheetAlert(ui::ViewController& controller, const std::shared_ptr<ui::Alert>& alert, std::function<void()> then)
{
    auto* window = controller.view()->window();
    if (!window) {
        if (then)
            then();
        return;
    }
    alert->beginSheetModalForWindow(std::static_pointer_cast<ui::Window>(window->shared_from_this()), [then](ui::ModalResponse) {
        if (then)
            then();
    });
}
