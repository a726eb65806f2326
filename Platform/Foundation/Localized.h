#pragma once
// User-visible text: the English text is the key, looked up in the bundle's "Localizable"
// table (the main bundle when none is given). The comment names the text's use for
// translators and is not read at run time.

#include <memory>
#include <string>

namespace foundation {

class Bundle;

std::string localized(const std::string& key, const std::string& comment = {},
                      const std::shared_ptr<Bundle>& bundle = nullptr);

} // namespace foundation
