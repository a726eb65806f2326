#pragma once
// Sharing files with a sibling application: the application group's container folder and
// coordinated access to an item in it. Coordination is an exclusive advisory lock (flock) on
// the item's parent folder, taken for the duration of the accessor, so two processes that
// coordinate never write into the shared folder at the same time. Any thread; the accessor
// runs on the calling thread before the call returns.

#include <functional>
#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"

namespace foundation {

// "$XDG_DATA_HOME/Group Containers/<group>" (default data home "~/.local/share"), made
// (mode 0700) when missing; none when the identifier is not one path component or the
// folder can't be made.
std::optional<URL> containerURLForSecurityApplicationGroupIdentifier(const std::string& groupIdentifier);

enum FileCoordinatorWritingOptions : unsigned {
    FileCoordinatorWritingForDeleting = 1 << 0,
    FileCoordinatorWritingForMoving = 1 << 1,
    FileCoordinatorWritingForMerging = 1 << 2,
    FileCoordinatorWritingForReplacing = 1 << 3,
};

class FileCoordinator {
public:
    FileCoordinator() = default;

    // Runs `accessor` with the URL to write to while holding the lock; false (with the
    // error) and no call when the lock can't be taken.
    bool coordinateWritingItemAtURL(const URL& url, unsigned options, const std::function<void(const URL&)>& accessor,
                                    ErrorPtr* error = nullptr);
};

} // namespace foundation
