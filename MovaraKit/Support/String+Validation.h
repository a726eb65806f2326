#pragma once
// Checks of what a user types into the account forms before anything is sent: user name,
// e-mail address, password, web address, and case-insensitive equality. Pure functions of
// the UTF-8 text; nothing is trimmed first. Any thread.

#include <string>

// Non-empty and only ASCII letters, digits and "_".
bool mvr_isValidUsername(const std::string& text);
// The whole text matches [A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}.
bool mvr_isValidEmail(const std::string& text);
// 6 or more UTF-16 code units.
bool mvr_isValidPassword(const std::string& text);
// An http or https address with a host of at least two non-empty labels whose last label
// is longer than one character; a bare host name without a scheme is read as http.
bool mvr_isValidURL(const std::string& text);
// The two texts compare the same under the platform's case-insensitive comparison.
bool mvr_isEqualToStringIgnoringCase(const std::string& text, const std::string& other);
