#pragma once
// The target of a progress sheet's cancel button: its "cancel" action cancels the progress it
// was made for. It holds the progress weakly, so a finished job is not kept alive by its sheet.
// Main thread, as any action target.

#include <memory>

#include "Platform/Foundation/Progress.h"
#include "Platform/UI/Object.h"

class ProgressCanceller : public ui::Object {
public:
    static std::shared_ptr<ProgressCanceller> make(const foundation::ProgressPtr& progress);

private:
    ProgressCanceller() = default;
};
