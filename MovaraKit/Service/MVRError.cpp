#include "MovaraKit/Service/MVRError.h"

const std::string MVRErrorDomain = "com.movara.movara";
