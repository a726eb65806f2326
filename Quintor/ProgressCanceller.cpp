#include "Quintor/ProgressCanceller.h"

std::shared_ptr<ProgressCanceller> ProgressCanceller::make(const foundation::ProgressPtr& progress)
{
    auto canceller = std::shared_ptr<ProgressCanceller>(new ProgressCanceller());
    std::weak_ptr<foundation::Progress> weak = progress;
    canceller->registerAction("cancel", [weak](ui::Object*) {
        if (auto p = weak.lock())
            p->cancel();
    });
    return canceller;
}
