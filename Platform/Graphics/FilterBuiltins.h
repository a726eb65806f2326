#pragma once
// The built-in filters' tables and makers (internal to Graphics).

#include <string>

#include "Platform/Graphics/Filter.h"

namespace graphics::detail {

// The attributes of a built-in filter; none for any other name.
const FilterAttributes* builtinFilterAttributes(const std::string& name);
// A new built-in filter with default inputs; none for any other name.
FilterPtr makeBuiltinFilter(const std::string& name);

} // namespace graphics::detail
