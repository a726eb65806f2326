#pragma once
// Web-address checks, addresses on the maker's web site and type-identifier tests of file
// URLs. Any thread.

#include <optional>
#include <string>

#include "Platform/Foundation/URL.h"

// The maker's web-site root; paths given to mvr_URLForMovaraWebPath are appended to it.
extern const std::string MVRMovaraWebRoot; // "https://www.movara.com/"

// True for an http or https address with a host, written with or without a scheme: a bare
// "example.com" is read as that host. The caller keeps the user's own text.
bool mvr_isValidWebURL(const std::string& text);

// The type identifier of the file at a file URL ("public.jpeg"), by content and extension;
// none for other URLs or when it can't be told.
std::optional<std::string> mvr_typeIdentifier(const foundation::URL& url);
// A file URL whose type identifier is exactly `type`.
bool mvr_isFileURLOfType(const foundation::URL& url, const std::string& type);
// A file URL whose type identifier is `type` or one of its descendants.
bool mvr_isFileURLConformingToType(const foundation::URL& url, const std::string& type);

// The web-site root followed by `path` (the root alone for none); none when that text does
// not make a URL.
std::optional<foundation::URL> mvr_URLForMovaraWebPath(const std::optional<std::string>& path);
