#include "MovaraKit/Support/FrameworkLog.h"

#include "MovaraKit/Support/Bundle+Movara.h"

const Log& mvr_frameworkLog()
{
    static const std::shared_ptr<Log> log =
        LogSubsystem::init(MVRMovaraKitBundleIdentifier, LogEnvironment::current())->makeLog("MovaraKit", LogFilter::default_);
    return *log;
}
