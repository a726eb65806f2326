#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "MovaraKit/Support/AttributedString+Movara.h"
#include "MovaraKit/Support/Bundle+Movara.h"
#include "MovaraKit/Support/Date+Movara.h"
#include "MovaraKit/Support/Dictionary+Movara.h"
#include "MovaraKit/Support/FileManager+Movara.h"
#include "MovaraKit/Support/Logging.h"
#include "MovaraKit/Support/URL+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Tests/Support/TempDir.h"

using foundation::Date;
using foundation::URL;
using foundation::Value;

namespace {

template <size_t N>
std::string bytes(const char (&literal)[N]) { return std::string(literal, N - 1); }

const std::string kJPEGBytes = bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xFF\xD9");
const std::string kPNGBytes = bytes("\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x02\x00\x00\x00");

class CapturingSink : public LogSink {
public:
    void write(const LogRecord& record) override
    {
        std::lock_guard lock(mutex);
        messages.push_back(record.message);
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

std::vector<std::string> names(const std::vector<URL>& urls)
{
    std::vector<std::string> out;
    for (const URL& url : urls)
        out.push_back(url.lastPathComponent());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(FoundationUtilities, FixedFormatDatesParseOnlyTheirExactForm)
{
    const double instant = 1551794829; // 2019-03-05 14:07:09 UTC
    struct Case {
        std::optional<Date> parsed;
        std::optional<double> expected;
    } cases[] = {
        {mvr_dateFromRFC822("Tue, 05 Mar 2019 14:07:09 GMT"), instant},
        {mvr_dateFromRFC3339("2019-03-05T14:07:09Z"), instant},
        {mvr_dateFromRFC3339("2019-03-05T14:07:09.250Z"), std::nullopt},
        {mvr_dateFromRFC3339("2019-03-05T14:07:09+00:00"), std::nullopt},
        {mvr_dateFromRFC3339("2019-03-05 14:07:09Z"), std::nullopt},
        {mvr_dateFromRFC822("05 Mar 2019 14:07:09 GMT"), std::nullopt},
        {mvr_dateFromRFC822(""), std::nullopt},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(cases[i].expected.has_value(), cases[i].parsed.has_value()) << "case " << i;
        if (cases[i].parsed) {
            EXPECT_EQ(*cases[i].expected, cases[i].parsed->timeIntervalSince1970()) << "case " << i;
        }
    }
    EXPECT_EQ(&mvr_rfc822Formatter(), &mvr_rfc822Formatter());
}

TEST(FoundationUtilities, RelativeDateTextNamesTheLargestWholeUnit)
{
    auto ago = [](double seconds) {
        return mvr_localizedStringRelativeToNow(Date::dateWithTimeIntervalSince1970(Date::now().timeIntervalSince1970() - seconds));
    };
    EXPECT_EQ("Now", ago(-60));
    EXPECT_EQ("3 hours ago", ago(3 * 3600 + 30));
    EXPECT_EQ("1 minute ago", ago(90));
    EXPECT_EQ("2 weeks ago", ago(20 * 86400));
    EXPECT_EQ("5 seconds ago", ago(5.5));
    EXPECT_EQ("2 years ago", ago(800 * 86400.0));
}

TEST(FoundationUtilities, WebAddressCheck)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"example.com", true},
        {"http://example.com", true},
        {"HTTPS://example.com/some/path", true},
        {"ftp://example.com", false},
        {"mailto:jane@example.com", false},
        {"http://", false},
        {"", false},
        {"http://exa mple.com", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, mvr_isValidWebURL(c.text)) << '"' << c.text << '"';
}

TEST(FoundationUtilities, ReplaceKeysFollowsKeyPathsAndKeepsNestedValues)
{
    Value payload = Value::dictionary({
        {"user", Value::dictionary({{"id", 7}})},
        {"first_name", "Jane"},
        {"avatar", Value()},
        {"id", 3},
    });
    Value renamed = mvr_dictionaryByReplacingKeys(payload, {
                                                               {"user.id", "userID"},
                                                               {"first_name", "firstName"},
                                                               {"missing", "nothing"},
                                                               {"avatar", "avatarURL"},
                                                               {"id", "id"},
                                                           });
    EXPECT_EQ(Value(7), renamed["userID"]);
    EXPECT_EQ(Value::dictionary({{"id", 7}}), renamed["user"]);
    EXPECT_EQ(Value("Jane"), renamed["firstName"]);
    EXPECT_FALSE(renamed.contains("first_name"));
    EXPECT_FALSE(renamed.contains("nothing"));
    // A null is a value like any other: it moves to its new key.
    EXPECT_TRUE(renamed.contains("avatarURL"));
    EXPECT_FALSE(renamed.contains("avatar"));
    // Renaming a key to itself keeps it.
    EXPECT_EQ(Value(3), renamed["id"]);
    // The original is untouched.
    EXPECT_TRUE(payload.contains("first_name"));

    EXPECT_EQ(payload, mvr_dictionaryByReplacingKeys(payload, {}));

    Value notADictionary = Value::array({1, 2});
    mvr_replaceKeys(notADictionary, {{"a", "b"}});
    EXPECT_EQ(Value::array({1, 2}), notADictionary);
}

TEST(FoundationUtilities, RemoveNullsLooksAtTheTopLevelOnly)
{
    Value error = Value::dictionary({
        {"message", "Bad request"},
        {"field", Value()},
        {"details", Value::dictionary({{"hint", Value()}})},
    });
    mvr_removeNulls(error);
    EXPECT_EQ(Value::dictionary({{"message", "Bad request"}, {"details", Value::dictionary({{"hint", Value()}})}}), error);
}

TEST(FoundationUtilities, UniqueFileNamesCountUpFromTheBaseName)
{
    testsupport::TempDir dir;
    const std::string folder = dir.path().string();
    auto next = [&](const std::string& base) {
        URL url = mvr_uniqueFileURLInDirectory(folder, base, "png");
        dir.write(url.lastPathComponent(), "");
        return url.lastPathComponent();
    };
    EXPECT_EQ("avatar.png", next("avatar"));
    EXPECT_EQ("avatar 2.png", next("avatar"));
    EXPECT_EQ("avatar 3.png", next("avatar"));
    EXPECT_EQ("avatar 4.png", next("avatar 4"));
    EXPECT_EQ("avatar 5.png", next("avatar 4"));
    EXPECT_EQ("shot.png", next("shot 1"));
    EXPECT_EQ("take 3.png", next("take 3x"));
    EXPECT_EQ("my export 0.png", next("my export 0"));
    EXPECT_EQ("my holiday.png", next("my holiday"));

    URL escaped = mvr_uniqueFileURLInDirectory(folder, "../../etc/passwd", "png");
    EXPECT_EQ(folder, escaped.URLByDeletingLastPathComponent().path());
    EXPECT_EQ("..-..-etc-passwd.png", escaped.lastPathComponent());
}

TEST(FoundationUtilities, UniqueFileNamesSkipLinksWhereverTheyLead)
{
    // A link planted under the next free name (in a shared temporary folder, say) would have
    // the file written through it, wherever it leads: any link takes its name.
    testsupport::TempDir dir;
    const std::string folder = dir.path().string();
    std::filesystem::create_symlink(dir.path() / "missing" / "target.png", dir.path() / "avatar.png");
    std::filesystem::create_symlink(dir.path() / "elsewhere.png", dir.path() / "avatar 2.png");
    std::filesystem::create_symlink(dir.path(), dir.path() / "avatar 3.png");
    EXPECT_EQ("avatar 4.png", mvr_uniqueFileURLInDirectory(folder, "avatar", "png").lastPathComponent());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere.png"));
}

TEST(FoundationUtilities, TypeFilteredListingUsesTypesThenExtensions)
{
    testsupport::TempDir dir;
    dir.write("a.JPG", "not really an image");
    dir.write("c.jpeg", kJPEGBytes);
    dir.write("renamed.jpg", kPNGBytes); // content says PNG, the extension still matches
    dir.write("noext", kJPEGBytes);      // found by its content
    dir.write("notes.txt", "text");
    dir.write(".hidden.jpg", kJPEGBytes);
    std::filesystem::create_directories(dir / "nested");
    dir.write("nested/b.jpg", kJPEGBytes);
    dir.write("nested/d.png", kPNGBytes);

    URL folder = URL::fileURLWithPath(dir.path().string(), true);
    EXPECT_EQ((std::vector<std::string>{"a.JPG", "b.jpg", "c.jpeg", "noext", "renamed.jpg"}),
              names(mvr_URLsMatchingTypes({"public.jpeg"}, folder)));
    EXPECT_EQ((std::vector<std::string>{"d.png", "renamed.jpg"}), names(mvr_URLsMatchingTypes({"public.png"}, folder)));
    EXPECT_TRUE(mvr_URLsMatchingTypes({"public.jpeg"}, URL::fileURLWithPath((dir / "missing").string(), true)).empty());

    auto directories = mvr_contentsOfURL(folder, 0, {NSURLIsDirectoryKey, NSURLNameKey},
                                         [](const URL&, const Value& values) { return values[NSURLIsDirectoryKey].asBool(); });
    ASSERT_EQ(1u, directories.size());
    EXPECT_EQ(Value("nested"), directories.begin()->second[NSURLNameKey]);
}

TEST(FoundationUtilities, TypeIdentifiersOfFileURLs)
{
    testsupport::TempDir dir;
    URL jpeg = URL::fileURLWithPath(dir.write("photo.jpg", kJPEGBytes).string());
    EXPECT_EQ(std::optional<std::string>("public.jpeg"), mvr_typeIdentifier(jpeg));
    EXPECT_TRUE(mvr_isFileURLConformingToType(jpeg, "public.image"));
    EXPECT_FALSE(mvr_isFileURLOfType(jpeg, "public.image"));
    EXPECT_TRUE(mvr_isFileURLOfType(jpeg, "public.jpeg"));

    auto web = URL::URLWithString("https://example.com/photo.jpg");
    ASSERT_TRUE(web);
    EXPECT_EQ(std::nullopt, mvr_typeIdentifier(*web));
    EXPECT_FALSE(mvr_isFileURLConformingToType(*web, "public.image"));
}

TEST(FoundationUtilities, ModificationDateLogsWhenTheItemIsMissing)
{
    testsupport::TempDir dir;
    auto date = mvr_modificationDateForURL(URL::fileURLWithPath(dir.write("f", "x").string()));
    ASSERT_TRUE(date);
    EXPECT_NEAR(Date::now().timeIntervalSince1970(), date->timeIntervalSince1970(), 60);

    auto sink = std::make_shared<CapturingSink>();
    auto previous = setLogSink(sink);
    EXPECT_EQ(std::nullopt, mvr_modificationDateForURL(URL::fileURLWithPath((dir / "missing").string())));
    setLogSink(previous);
    ASSERT_EQ(1u, sink->messages.size());
    EXPECT_TRUE(sink->messages[0].starts_with("Error creating directory wrapper: ")) << sink->messages[0];
}

TEST(FoundationUtilities, BundlesAndAddressesOfTheFramework)
{
    auto bundle = mvr_movaraKitBundle();
    ASSERT_NE(nullptr, bundle);
    EXPECT_EQ(MVRMovaraKitBundleIdentifier, bundle->bundleIdentifier());
    EXPECT_EQ(bundle, mvr_movaraKitBundle());
    EXPECT_EQ(bundle, foundation::Bundle::bundleWithIdentifier("com.movara.MovaraKit"));

    auto previousMain = foundation::Bundle::main();
    testsupport::TempDir dir;
    auto info = Value::dictionary({{"CFBundleName", "Editor"}, {"CFBundleShortVersionString", "2.1"}, {"CFBundleVersion", 345}});
    foundation::Bundle::setMain(std::make_shared<foundation::Bundle>(dir.path().string(), dir.path().string(), info));
    // The build number is not text here, so it reads as empty.
    EXPECT_EQ("Editor 2.1 ()", mvr_applicationVersionBuildString());
    foundation::Bundle::setMain(previousMain);

    auto help = mvr_URLForMovaraWebPath(std::string("products/mac/quintor/help"));
    ASSERT_TRUE(help);
    EXPECT_EQ("https://www.movara.com/products/mac/quintor/help", help->absoluteString());
    EXPECT_EQ(MVRMovaraWebRoot, mvr_URLForMovaraWebPath(std::nullopt)->absoluteString());
    EXPECT_EQ(std::nullopt, mvr_URLForMovaraWebPath(std::string("two words")));
}

TEST(FoundationUtilities, RichTextKeepsOnlyTheAttributesAskedFor)
{
    auto text = mvr_attributedStringWithOnlyLinkAttributesFromHTMLString(
        std::string("<p>Read the <a href=\"https://example.com/terms\">terms</a> and the <b>privacy policy</b>.</p>"));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->string(), "Read the terms and the privacy policy.\n");
    std::vector<std::pair<std::string, foundation::TextAttributes>> runs;
    text->enumerateAttributes([&](const foundation::TextAttributes& attributes, foundation::TextRange range) {
        runs.emplace_back(text->string().substr(range.location, range.length), attributes);
    });
    const foundation::TextAttributes link {{foundation::NSLinkAttributeName, foundation::Value(std::string("https://example.com/terms"))}};
    EXPECT_EQ(runs, (decltype(runs) {{"Read the ", {}}, {"terms", link}, {" and the privacy policy.\n", {}}}));
    EXPECT_FALSE(mvr_attributedStringWithOnlyLinkAttributesFromHTMLString(std::nullopt));

    // The copy loses what is not listed; the original keeps everything.
    foundation::AttributedString rich("abc", {{"keep", foundation::Value(1)}, {"drop", foundation::Value(2)}});
    rich.addAttribute("other", foundation::Value(3), {1, 1});
    auto reduced = mvr_attributedStringByRemovingAllAttributesExcept(rich, {"keep"});
    EXPECT_EQ(reduced, foundation::AttributedString("abc", {{"keep", foundation::Value(1)}}));
    EXPECT_EQ(rich.attributesAtIndex(1).size(), 3u);
    mvr_removeAllAttributesExcept(rich, {});
    EXPECT_EQ(rich, foundation::AttributedString("abc"));
}
