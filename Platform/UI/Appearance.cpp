#include "Platform/UI/Appearance.h"

namespace ui {

const std::string NSAppearanceNameAqua = "NSAppearanceNameAqua";
const std::string NSAppearanceNameDarkAqua = "NSAppearanceNameDarkAqua";
const std::string NSAppearanceNameVibrantLight = "NSAppearanceNameVibrantLight";
const std::string NSAppearanceNameVibrantDark = "NSAppearanceNameVibrantDark";

AppearancePtr Appearance::appearanceNamed(const std::string& name)
{
    static const AppearancePtr all[] = {
        std::make_shared<Appearance>(NSAppearanceNameAqua, false),
        std::make_shared<Appearance>(NSAppearanceNameDarkAqua, true),
        std::make_shared<Appearance>(NSAppearanceNameVibrantLight, false),
        std::make_shared<Appearance>(NSAppearanceNameVibrantDark, true),
    };
    for (const auto& a : all) {
        if (a->name() == name)
            return a;
    }
    return nullptr;
}

AppearancePtr Appearance::aqua()
{
    return appearanceNamed(NSAppearanceNameAqua);
}

AppearancePtr Appearance::darkAqua()
{
    return appearanceNamed(NSAppearanceNameDarkAqua);
}

std::optional<std::string> Appearance::bestMatchFromAppearancesWithNames(const std::vector<std::string>& names) const
{
    for (const auto& n : names) {
        if (n == m_name)
            return n;
    }
    for (const auto& n : names) {
        auto other = appearanceNamed(n);
        if (other && other->isDark() == m_dark)
            return n;
    }
    return std::nullopt;
}

} // namespace ui
