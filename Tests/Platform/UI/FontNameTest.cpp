#include "Platform/UI/Font.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(FontName, PlatformNamesDrawWithMetricCompatibleDebianFaces)
{
    struct Case {
        const char* name;
        const char* family;
        bool bold;
        bool italic;
    };
    const Case cases[] = {
        {"Helvetica", "Liberation Sans", false, false},
        {"Helvetica-Bold", "Liberation Sans", true, false},
        {"Arial", "Liberation Sans", false, false},
        {"Times-Italic", "Liberation Serif", false, true},
        {"Times New Roman", "Liberation Serif", false, false},
        {"Courier-BoldOblique", "Liberation Mono", true, true},
        {"DINAlternate-Bold", "DejaVu Sans Condensed", true, false},
        {"DejaVu Sans", "DejaVu Sans", false, false},
        {"Some-Thing", "Some-Thing", false, false}, // not a style: the whole name is the family
    };
    for (const Case& c : cases) {
        const ui::Font font = ui::Font::fontWithName(c.name, 20);
        EXPECT_EQ(font.fontName(), c.name);
        EXPECT_EQ(font.familyName(), c.family) << c.name;
        EXPECT_EQ(font.isBold(), c.bold) << c.name;
        EXPECT_EQ(font.isItalic(), c.italic) << c.name;
        EXPECT_GT(font.sizeOfString("Abc").width, 0);
    }
}

TEST(FontName, DescriptorsRebuildTheFont)
{
    const ui::Font font = ui::Font::fontWithName("Helvetica-Bold", 31);
    auto back = ui::Font::fontWithDescriptor(font.fontDescriptorAttributes(), 31);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, font);
    auto byFamily = ui::Font::fontWithDescriptor(foundation::Value::dictionary({{ui::NSFontFamilyAttribute, "Courier"}}), 12);
    ASSERT_TRUE(byFamily);
    EXPECT_EQ(byFamily->familyName(), "Liberation Mono");
    for (const foundation::Value& bad : {foundation::Value::dictionary(), foundation::Value::dictionary({{ui::NSFontNameAttribute, 5}}),
                                         foundation::Value::dictionary({{ui::NSFontNameAttribute, ""}}), foundation::Value("x")})
        EXPECT_FALSE(ui::Font::fontWithDescriptor(bad, 12));
    EXPECT_FALSE(ui::Font::fontWithDescriptor(font.fontDescriptorAttributes(), 0));
    EXPECT_FALSE(ui::Font::fontWithDescriptor(font.fontDescriptorAttributes(), NAN));
}
