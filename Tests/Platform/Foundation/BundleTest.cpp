#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Localized.h"
#include "Tests/Support/ScopedEnv.h"
#include "Tests/Support/TempDir.h"

using namespace foundation;

namespace {

std::string utf16(const std::string& ascii, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (bigEndian) {
            out += '\0';
            out += c;
        } else {
            out += c;
            out += '\0';
        }
    }
    return out;
}

using testsupport::ScopedEnv;

const char* const InfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.Tool</string>
<key>CFBundleShortVersionString</key><string>2.1</string>
</dict></plist>)";

} // namespace

TEST(StringsTable, ParsesEntriesCommentsAndEscapes)
{
    struct Case {
        const char* what;
        std::string bytes;
        StringsTable expected;
    };
    const Case cases[] = {
        { "plain", R"("Undo" = "Widerrufen";)", { { "Undo", "Widerrufen" } } },
        { "comments", "/* menu */\n\"a\" = \"b\"; // trailing\n\"c\"=\"d\" ;", { { "a", "b" }, { "c", "d" } } },
        { "escapes", R"("k" = "line\nbreak \"q\" \\ tab\t \U00e9 \UD83D\UDE00";)",
          { { "k", "line\nbreak \"q\" \\ tab\t \xC3\xA9 \xF0\x9F\x98\x80" } } },
        { "unquoted", "key_1 = value.2;", { { "key_1", "value.2" } } },
        { "key alone", R"("Done";)", { { "Done", "Done" } } },
        { "empty", "  /* nothing */ ", {} },
        { "UTF-8 byte-order mark", "\xEF\xBB\xBF\"a\" = \"\xC3\xBC\";", { { "a", "\xC3\xBC" } } },
        { "UTF-16 little-endian", utf16(R"("a" = "b";)", false), { { "a", "b" } } },
        { "UTF-16 big-endian", utf16(R"("a" = "b";)", true), { { "a", "b" } } },
        { "later entry wins", R"("a" = "1"; "a" = "2";)", { { "a", "2" } } },
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        auto table = parseStringsTable(c.bytes, &error);
        ASSERT_TRUE(table) << c.what << ": " << (error ? error->localizedDescription() : "");
        EXPECT_EQ(*table, c.expected) << c.what;
    }
}

TEST(StringsTable, MalformedTablesAreErrors)
{
    const std::string cases[] = {
        R"("a" = "b")",          // no semicolon
        R"("a" = "b)",           // unterminated string
        R"("a" = "b"; /* open)", // unterminated comment
        R"("a" : "b";)",         // wrong separator
        R"(= "b";)",             // no key
        R"("a" = ;)",            // no value
        R"("a" = "\UD800";)",    // lone surrogate
        R"("a" = "\U00";)",      // short escape
        "\"a\" = \"\xC3\";",     // broken UTF-8
        "\xFF\xFE\x22",          // odd UTF-16 length
    };
    for (const auto& bytes : cases) {
        ErrorPtr error;
        EXPECT_FALSE(parseStringsTable(bytes, &error)) << bytes;
        ASSERT_TRUE(error) << bytes;
        EXPECT_EQ(error->code(), NSPropertyListReadCorruptError) << bytes;
    }
    ErrorPtr error;
    parseStringsTable("\"a\" = \"b\";\n\n\"c\" = \"d\"", &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("line 3"), std::string::npos) << error->localizedDescription();
}

TEST(Bundle, InfoResourcesAndStringTables)
{
    ScopedEnv language("LANGUAGE", "de_CH:fr");
    testsupport::TempDir dir;
    dir.write("Tool/Resources/Info.plist", InfoPlist);
    dir.write("Tool/Resources/logo.png", "png");
    dir.write("Tool/Resources/fr.lproj/logo.png", "french png");
    dir.write("Tool/Resources/fr.lproj/help.html", "aide");
    dir.write("Tool/Resources/Presets/a.json", "{}");
    dir.write("Tool/Resources/de.lproj/Localizable.strings", R"("Undo" = "Widerrufen";)");
    dir.write("Tool/Resources/fr.lproj/Localizable.strings", R"("Undo" = "Annuler"; "Redo" = "Rétablir";)");
    dir.write("Tool/Resources/Localizable.strings", R"("Undo" = "never used";)");
    dir.write("Tool/Resources/de.lproj/Broken.strings", R"("Undo" = )");

    auto bundle = Bundle::bundleWithPath((dir / "Tool").string());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), "com.example.Tool");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").asString(), "2.1");
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());

    const std::string resources = (dir / "Tool" / "Resources").string();
    EXPECT_EQ(bundle->pathForResource("logo", "png"), resources + "/logo.png"); // unlocalized first
    EXPECT_EQ(bundle->pathForResource("help", "html"), resources + "/fr.lproj/help.html");
    EXPECT_EQ(bundle->pathForResource("a", "json", "Presets"), resources + "/Presets/a.json");
    EXPECT_EQ(bundle->pathForResource("a.json", "", "Presets"), resources + "/Presets/a.json");
    EXPECT_FALSE(bundle->pathForResource("missing", "png"));
    EXPECT_FALSE(bundle->URLForResource("", "png"));
    EXPECT_EQ(bundle->URLForResource("logo", "png")->lastPathComponent(), "logo.png");

    // The best localization's table is the one read: German, though French has more.
    EXPECT_EQ(bundle->localizedStringForKey("Undo"), "Widerrufen");
    EXPECT_EQ(bundle->localizedStringForKey("Redo"), "Redo");
    EXPECT_EQ(bundle->localizedStringForKey("Redo", "Wiederholen"), "Wiederholen");
    EXPECT_EQ(bundle->localizedStringForKey("Undo", "", "Broken"), "Undo");
    EXPECT_EQ(bundle->localizedStringForKey("Undo", "", "NoSuchTable"), "Undo");
    EXPECT_EQ(localized("Undo", "menu item title", bundle), "Widerrufen");

    EXPECT_FALSE(Bundle::bundleWithPath((dir / "missing").string()));
}

TEST(Bundle, PreferredLocalizationsFromTheEnvironment)
{
    ScopedEnv language("LANGUAGE", nullptr);
    ScopedEnv all("LC_ALL", nullptr);
    ScopedEnv messages("LC_MESSAGES", nullptr);
    {
        ScopedEnv lang("LANG", "pt_BR.UTF-8");
        EXPECT_EQ(Bundle::preferredLocalizations(), (std::vector<std::string> { "pt-BR", "pt_BR", "pt", "en", "Base" }));
    }
    {
        ScopedEnv lang("LANG", "C");
        EXPECT_EQ(Bundle::preferredLocalizations(), (std::vector<std::string> { "en", "Base" }));
    }
}

TEST(Bundle, RegisteredBundlesAreFoundByIdentifier)
{
    testsupport::TempDir dir;
    dir.write("Resources/en.lproj/CanvasUndoActionNames.strings", R"("Move" = "Move Object";)");
    auto bundle = Bundle::registerBundle("com.example.Framework", (dir / "Resources").string(),
                                         Value::dictionary({ { "CFBundleName", "Framework" } }));
    EXPECT_EQ(Bundle::bundleWithIdentifier("com.example.Framework"), bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), "com.example.Framework");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleName").asString(), "Framework");
    ScopedEnv language("LANGUAGE", "en");
    EXPECT_EQ(bundle->localizedStringForKey("Move", "", "CanvasUndoActionNames"), "Move Object");
    EXPECT_FALSE(Bundle::bundleWithIdentifier("com.example.Unknown"));
}

TEST(Bundle, MainBundleIsTheExecutablesFolder)
{
    auto main = Bundle::main();
    ASSERT_TRUE(main);
    EXPECT_FALSE(main->bundlePath().empty());
    EXPECT_EQ(localized("Some text nobody translated"), "Some text nobody translated");
}
