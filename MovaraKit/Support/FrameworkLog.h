#pragma once
// The framework's own logger (subsystem "com.movara.MovaraKit", category "MovaraKit"), for the
// few diagnostics its utilities write. Made once; any thread.

#include "MovaraKit/Support/Logging.h"

const Log& mvr_frameworkLog();
