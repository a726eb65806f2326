#pragma once
// Internal: starts a helper program (xdg-open, notify-send) without waiting for it and
// without a shell, so no argument is ever interpreted. The child is reaped in the background.

#include <string>
#include <vector>

namespace ui::detail {

// False when the program could not be started (not installed, say).
bool spawnDetached(const std::vector<std::string>& argv);

} // namespace ui::detail
