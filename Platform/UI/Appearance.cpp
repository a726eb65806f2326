#include "Platform/UI/Appearance.h"

namespace ui {

const std::string AppearanceNameAqua = "NSAppearanceNameAqua";
const std::string AppearanceNameDarkAqua = "NSAppearanceNameDarkAqua";
const std::string AppearanceNameVibrantLight = "NSAppearanceNameVibrantLight";
const std::string AppearanceNameVibrantDark = "NSAppearanceNameVibrantDark";

AppearancePtr Appearance::appearanceNamed(const std::string& name)
{
    static const AppearancePtr all[] = {
        std::make_shared<Appearance>(AppearanceNameAqua, false),
        std::make_shared<Appearance>(AppearanceNameDarkAqua, true),
        std::make_shared<Appearance>(AppearanceNameVibrantLight, false),
        std::make_shared<Appearance>(AppearanceNameVibrantDark, true),
    };
    for (const auto& a : all) {
        if (a->name() == name)
            return a;
    }
    return nullptr;
}

AppearancePtr Appearance::aqua()
{
    return appearanceNamed(AppearanceNameAqua);
}

AppearancePtr Appearance::darkAqua()
{
    return appearanceNamed(AppearanceNameDarkAqua);
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
