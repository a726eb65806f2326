#include "MovaraKit/Support/String+Validation.h"

#include <gtest/gtest.h>

#include <string>

TEST(AccountFieldValidation, Usernames)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"Jane_Doe42", true},
        {"_", true},
        {"", false},
        {"jane doe", false},
        {" jane", false},
        {"jane-doe", false},
        {"j\xC3\xBCrgen", false}, // ü inside
        {"\xC3\xBC", false},
        {"jane\n", false},
        {std::string("ja\0ne", 5), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, mvr_isValidUsername(c.text)) << '"' << c.text << '"';
}

TEST(AccountFieldValidation, EmailAddresses)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"jane.doe+quintor@example.com", true},
        {"a@b.co", true},
        {"x_%-@sub.example-mail.org", true},
        {"a@b.c.de", true},
        {"a@b.c", false},         // one-letter top-level label
        {"a@localhost", false},   // no full stop after the at sign
        {"a@.com", false},        // nothing before the full stop
        {"@example.com", false},
        {"a@b@example.com", false},
        {" jane@example.com", false},
        {"jane@example.com ", false},
        {"jane@example.c0m", false},
        {"j\xC3\xA4ne@example.com", false},
        {"", false},
        {"jane@example.com.", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, mvr_isValidEmail(c.text)) << '"' << c.text << '"';

    // Long hostile input is answered, not recursed on.
    EXPECT_FALSE(mvr_isValidEmail(std::string(1 << 20, 'a') + "@"));
    EXPECT_TRUE(mvr_isValidEmail("a@" + std::string(1 << 20, 'b') + ".com"));
}

TEST(AccountFieldValidation, PasswordsCountUTF16Units)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"12345", false},
        {"123456", true},
        {"      ", true},
        {"", false},
        {"\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", false},        // five ä: ten bytes, five units
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", true}, // three emoji: six units
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, mvr_isValidPassword(c.text)) << '"' << c.text << '"';
}

TEST(AccountFieldValidation, WebAddresses)
{
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"example.com", true},
        {"HTTPS://WWW.Example.COM/Some/Path", true},
        {"http://example.com", true},
        {"https://sub.example.co.uk/?q=1", true},
        {"ftp://example.com", false},
        {"http://localhost", false},
        {"http://example.c", false},
        {"http://example..com", false},
        {"http://.example.com", false},
        {"http://", false},
        {"mailto:jane@example.com", false},
        {"", false},
        {"exa mple.com", false},
        {"http://exa mple.com", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, mvr_isValidURL(c.text)) << '"' << c.text << '"';
}

TEST(AccountFieldValidation, EqualityIgnoringCase)
{
    struct Case {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"JANE@EXAMPLE.COM", "jane@example.com", true},
        {"Jane", "Jana", false},
        {"", "", true},
        {"a", "", false},
        {"\xC3\x84RGER", "\xC3\xA4rger", true},   // Ä / ä
        {"abc\xFF", "ABC\xFF", true},             // malformed text still compares
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.equal, mvr_isEqualToStringIgnoringCase(c.a, c.b)) << '"' << c.a << "\" vs \"" << c.b << '"';
        EXPECT_EQ(c.equal, mvr_isEqualToStringIgnoringCase(c.b, c.a)) << '"' << c.b << "\" vs \"" << c.a << '"';
    }
}
