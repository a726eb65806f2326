#include <gtest/gtest.h>

#include "Platform/System/DeviceFacts.h"

TEST(DeviceFacts, ReadsOsReleaseVersionsAndLocales)
{
    const std::string release = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID='12'\nID=debian\n";
    EXPECT_EQ(sys::DeviceFacts::osReleaseValue(release, "NAME"), "Debian GNU/Linux");
    EXPECT_EQ(sys::DeviceFacts::osReleaseValue(release, "VERSION_ID"), "12");
    EXPECT_EQ(sys::DeviceFacts::osReleaseValue(release, "VERSION"), std::nullopt);

    struct Locale {
        const char* identifier;
        const char* language;
        std::optional<std::string> script, country;
    };
    for (const Locale& l : { Locale { "en_US.UTF-8", "en", std::nullopt, "US" }, Locale { "sr_RS@latin", "sr", "Latn", "RS" },
                             Locale { "C", "en", std::nullopt, std::nullopt }, Locale { "de", "de", std::nullopt, std::nullopt },
                             Locale { "pt-BR", "pt", std::nullopt, "BR" } }) {
        const auto parts = sys::DeviceFacts::parseLocale(l.identifier);
        EXPECT_EQ(parts.language, l.language) << l.identifier;
        EXPECT_EQ(parts.script, l.script) << l.identifier;
        EXPECT_EQ(parts.country, l.country) << l.identifier;
    }
    EXPECT_FALSE(sys::DeviceFacts::operatingSystemName().empty());
    EXPECT_TRUE(sys::DeviceFacts::operatingSystemBuild().has_value());
}
