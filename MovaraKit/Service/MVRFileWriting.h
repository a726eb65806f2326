#pragma once
// Writing a file whole or not at all: the bytes go to a temporary file beside the destination,
// which then takes the destination's place in one rename. A failure leaves what was there.

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

bool mvr_writeDataAtomically(const foundation::Data& data, const foundation::URL& fileURL, foundation::ErrorPtr* error = nullptr);
