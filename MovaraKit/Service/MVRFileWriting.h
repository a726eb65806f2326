#pragma once
// Writing a file whole or not at all: the bytes go to a temporary file beside the destination,
// which then takes the destination's place in one rename. A failure leaves what was there. The
// files hold the user's data: they are readable by the user alone (0600).

#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

bool mvr_writeDataAtomically(const foundation::Data& data, const foundation::URL& fileURL, foundation::ErrorPtr* error = nullptr);

// Makes a new empty file readable and writable by the user alone, named "<prefix>-XXXXXX<suffix>"
// in `directory` with six characters nobody can guess, never through a link already there.
std::optional<foundation::URL> mvr_createPrivateFile(const std::string& directory, const std::string& prefix, const std::string& suffix,
                                                     foundation::ErrorPtr* error = nullptr);
