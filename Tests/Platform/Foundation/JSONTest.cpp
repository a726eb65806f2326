#include "Platform/Foundation/JSON.h"

#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using foundation::ErrorPtr;
using foundation::Value;

TEST(JSON, ReadsEachKindWithItsType)
{
    ErrorPtr error;
    Value v = foundation::parseJSON(
        R"({"i": -12, "r": 2.0, "e": 1e3, "t": true, "f": false, "n": null, "s": "a\/b \u00e9\ud83d\ude00",
            "a": [1, "x"], "big": 18446744073709551615, "o": {}})",
        &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_TRUE(v["i"].isInteger());
    EXPECT_EQ(v["i"].asInteger(), -12);
    EXPECT_TRUE(v["r"].isReal());
    EXPECT_TRUE(v["e"].isReal());
    EXPECT_TRUE(v["t"].isBool());
    EXPECT_FALSE(v["f"].asBool(true));
    EXPECT_TRUE(v["n"].isNull());
    EXPECT_TRUE(v.contains("n"));
    EXPECT_EQ(v["s"].asString(), "a/b \xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(v["a"], Value::array({1, "x"}));
    EXPECT_TRUE(v["big"].isReal());
    EXPECT_TRUE(v["o"].isDictionary());
    EXPECT_EQ(v.keys(), (std::vector<std::string>{"i", "r", "e", "t", "f", "n", "s", "a", "big", "o"}));
}

TEST(JSON, TopLevelScalarsAndRepeatedKeys)
{
    EXPECT_EQ(foundation::parseJSON("\"x\""), Value("x"));
    EXPECT_EQ(foundation::parseJSON(" 7 "), Value(7));
    // A UTF-8 byte-order mark is allowed.
    EXPECT_EQ(foundation::parseJSON("\xEF\xBB\xBF[1]"), Value::array({1}));
    Value d = foundation::parseJSON(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(d["a"].asInteger(), 3);
}

TEST(JSON, MalformedTextIsACorruptDataErrorNamingTheProblem)
{
    struct Case {
        const char* text;
        const char* mentions;
    };
    const Case cases[] = {
        {"", "empty"},
        {"   \n", "empty"},
        {"{", "end of input"},
        {"[1,]", "line 1"},
        {"{\"a\" 1}", "line 1"},
        {"[1] [2]", "end of input"},
        {"{'a': 1}", "line 1"},
        {"[\"\xFF\"]", "UTF-8"},
        {"[\"\\ud800\"]", "surrogate"},
        {"1e400", "overflow"},
        {"nul", "line 1"},
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        Value v = foundation::parseJSON(std::string_view(c.text), &error);
        ASSERT_TRUE(error) << c.text;
        EXPECT_TRUE(v.isNull());
        EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain);
        EXPECT_EQ(error->code(), 3840);
        EXPECT_NE(error->localizedDescription().find(c.mentions), std::string::npos)
            << c.text << " -> " << error->localizedDescription();
    }
}

TEST(JSON, HostileNestingIsRefusedNotACrash)
{
    std::string deep(100000, '[');
    ErrorPtr error;
    foundation::parseJSON(deep, &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos);

    std::string fine = std::string(foundation::JSONMaximumNestingDepth, '[')
                       + std::string(foundation::JSONMaximumNestingDepth, ']');
    foundation::parseJSON(fine, &error);
    EXPECT_FALSE(error);
}

TEST(JSON, WritesCompactAndPrettyForms)
{
    Value v = Value::dictionary({{"url", "http://a/b"}, {"list", Value::array({1, 2.5, true, Value()})},
                                 {"empty", Value::array()}, {"none", Value::dictionary()}});
    EXPECT_EQ(foundation::toJSON(v),
              R"({"url":"http://a/b","list":[1,2.5,true,null],"empty":[],"none":{}})");
    EXPECT_EQ(foundation::toJSON(Value::dictionary({{"a", Value::array({1})}, {"b", "x"}}), true),
              "{\n  \"a\" : [\n    1\n  ],\n  \"b\" : \"x\"\n}");
}

TEST(JSON, RoundTripsKeepTypesAndValues)
{
    const Value cases[] = {
        Value(2.0),
        Value(0.1),
        Value(-1e-300),
        Value(1.7976931348623157e308),
        Value(std::numeric_limits<std::int64_t>::min()),
        Value(std::numeric_limits<std::int64_t>::max()),
        Value(false),
        Value("quote \" backslash \\ slash / tab \t nul " + std::string(1, '\0') + " \x01 \xE2\x82\xAC"),
        Value::dictionary({{"z", 1}, {"a", Value::array({Value(), 0.5, "s"})}, {"", Value::dictionary()}}),
    };
    for (const auto& original : cases) {
        for (bool pretty : {false, true}) {
            ErrorPtr error;
            std::string text = foundation::toJSON(original, pretty, &error);
            ASSERT_FALSE(error) << error->localizedDescription();
            EXPECT_EQ(text.find("\\/"), std::string::npos);
            Value back = foundation::parseJSON(text, &error);
            ASSERT_FALSE(error) << text << ": " << error->localizedDescription();
            EXPECT_EQ(back, original) << text;
            EXPECT_EQ(back.type(), original.type()) << text;
            EXPECT_EQ(foundation::toJSON(back, pretty), text);
        }
    }
}

TEST(JSON, ValuesWithoutAJSONFormAreRefused)
{
    const Value cases[] = {
        Value(foundation::Data{1}),
        Value(foundation::Date::now()),
        Value(std::nan("")),
        Value(-std::numeric_limits<double>::infinity()),
        Value("bad \xC0\xAF utf-8"),
        Value::dictionary({{"nested", Value::array({Value(foundation::Data{})})}}),
    };
    for (const auto& v : cases) {
        ErrorPtr error;
        EXPECT_EQ(foundation::toJSON(v, false, &error), "");
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), foundation::PropertyListWriteInvalidError);
    }
}
