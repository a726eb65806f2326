#pragma once
// File-manager utilities: an item's modification date, a free file name in a folder, and
// directory listings filtered by type or by a predicate over resource values. Failures give
// none, false or a skipped entry (with a log line); nothing throws. Any thread.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

// Resource keys understood by mvr_contentsOfURL (the platform's spellings).
extern const std::string NSURLNameKey;                     // "NSURLNameKey": the file name
extern const std::string NSURLTypeIdentifierKey;           // "NSURLTypeIdentifierKey": "public.jpeg", ...
extern const std::string NSURLIsDirectoryKey;              // "NSURLIsDirectoryKey": bool
extern const std::string NSURLContentModificationDateKey;  // "NSURLContentModificationDateKey": date
extern const std::string NSURLFileSizeKey;                 // "NSURLFileSizeKey": integer

// The item's modification date; none (and a log line) when its attributes can't be read.
std::optional<foundation::Date> mvr_modificationDateForURL(const foundation::URL& url);

// A file URL in `directoryPath` whose name nothing has, not even a link (wherever it leads,
// dangling or not): "avatar.png", then "avatar 2.png",
// "avatar 3.png"...; a base name ending in " <n>" with n > 0 starts counting at n ("avatar 4"
// gives "avatar 4.png" first; "avatar 1" gives "avatar.png"). A "/" in the base name becomes
// "-", so the name can't leave the directory.
foundation::URL mvr_uniqueFileURLInDirectory(const std::string& directoryPath, const std::string& baseName,
                                             const std::string& extension);

// The URLs below `directory` (recursively, hidden files skipped) whose type identifier is one
// of `types`, or whose extension is one registered for one of them (case ignored). In no
// particular order.
std::vector<foundation::URL> mvr_URLsMatchingTypes(const std::vector<std::string>& types, const foundation::URL& directory);

using MVRResourceValues = foundation::Value; // a dictionary from resource key to value
using MVRURLPredicate = std::function<bool(const foundation::URL&, const MVRResourceValues&)>;

// Every URL below `directory` (with the foundation::DirectoryEnumerationOptions given) for
// which `predicate` accepts the URL and its values for `keys`; an item whose values can't be
// read is logged and skipped.
std::map<foundation::URL, MVRResourceValues> mvr_contentsOfURL(const foundation::URL& directory, unsigned options,
                                                               const std::vector<std::string>& keys,
                                                               const MVRURLPredicate& predicate);
