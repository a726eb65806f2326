#pragma once
// The framework's own error domain. Failures of the framework's own work that have no
// platform error of their own (auto-straighten finding no horizon, a cinemagraph reader
// that can't start) are errors of this domain with code -1.

#include <string>

extern const std::string MVRErrorDomain; // "com.movara.movara"

enum MVRErrorCode : long {
    MVRErrorCodeGeneric = -1,
};
