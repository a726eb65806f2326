#include "Platform/Foundation/Value.h"

#include "Platform/Foundation/Error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using foundation::Data;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

TEST(Value, EachKindKeepsItsType)
{
    struct Case {
        Value value;
        Value::Type type;
    };
    const Case cases[] = {
        {Value(), Value::Type::Null},
        {Value(true), Value::Type::Bool},
        {Value(42), Value::Type::Integer},
        {Value(std::int64_t(-1) << 40), Value::Type::Integer},
        {Value(2.0), Value::Type::Real},
        {Value("text"), Value::Type::String},
        {Value(Data{1, 2}), Value::Type::Data},
        {Value(Date::dateWithTimeIntervalSince1970(5)), Value::Type::Date},
        {Value::array({1, "a"}), Value::Type::Array},
        {Value::dictionary({{"k", 1}}), Value::Type::Dictionary},
        // Past the integer range an unsigned keeps its magnitude as a real rather than wrapping.
        {Value(std::numeric_limits<std::uint64_t>::max()), Value::Type::Real},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.type(), c.type) << static_cast<int>(c.type);
    EXPECT_GT(Value(std::numeric_limits<std::uint64_t>::max()).asDouble(), 1.8e19);
}

TEST(Value, NumbersConvertAsThePlatformsNumbersDo)
{
    EXPECT_EQ(Value(3).doubleValue(), 3.0);
    EXPECT_EQ(Value(3.9).integerValue(), 3);
    EXPECT_EQ(Value(-3.9).integerValue(), -3);
    EXPECT_EQ(Value(true).integerValue(), 1);
    EXPECT_EQ(Value(0.0).boolValue(), false);
    EXPECT_EQ(Value(7).boolValue(), true);
    // No integer value for reals outside the range or not finite; no number from text.
    EXPECT_FALSE(Value(1e300).integerValue());
    EXPECT_FALSE(Value(std::nan("")).integerValue());
    EXPECT_FALSE(Value("12").integerValue());
    EXPECT_EQ(Value("12").asInteger(-1), -1);
    EXPECT_FALSE(Value(12).stringValue());
    EXPECT_EQ(Value(12).asString(), "");
}

TEST(Value, EqualityIsDeepAndComparesNumbersByValue)
{
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_NE(Value(1), Value(1.5));
    EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0));
    EXPECT_NE(Value(true), Value(1)); // a JSON true is not the number 1
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(), Value(0));
    EXPECT_EQ(Value::array({1, Value::dictionary({{"a", Data{9}}})}),
              Value::array({1.0, Value::dictionary({{"a", Data{9}}})}));
    EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
    // Dictionaries compare as the platform's do: same entries, whatever the order.
    EXPECT_EQ(Value::dictionary({{"a", 1}, {"b", 2}}), Value::dictionary({{"b", 2}, {"a", 1}}));
    EXPECT_NE(Value::dictionary({{"a", 1}}), Value::dictionary({{"a", 1}, {"b", 2}}));
}

TEST(Value, DictionaryKeepsInsertionOrderThroughReplaceAndErase)
{
    Value d;
    d["zeta"] = 1;
    d["alpha"] = 2;
    d.set("mid", 3);
    d.set("zeta", 10); // replacing keeps the position
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"zeta", "alpha", "mid"}));
    EXPECT_TRUE(d.erase("alpha"));
    EXPECT_FALSE(d.erase("alpha"));
    d["last"] = 4;
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"zeta", "mid", "last"}));
    // After an erase the remaining lookups must still land on the right entries.
    EXPECT_EQ(d["zeta"].asInteger(), 10);
    EXPECT_EQ(d["mid"].asInteger(), 3);
    EXPECT_EQ(d["last"].asInteger(), 4);
}

TEST(Value, ReadingAbsentOrMistypedContentGivesNull)
{
    const Value d = Value::dictionary({{"list", Value::array({"x"})}, {"n", 1}});
    EXPECT_TRUE(d["missing"].isNull());
    EXPECT_TRUE(d["missing"]["deeper"].isNull());
    EXPECT_TRUE(d["n"]["key"].isNull());
    EXPECT_EQ(d["list"][0].asString(), "x");
    EXPECT_TRUE(d["list"][1].isNull());
    EXPECT_TRUE(d["list"][-1].isNull());
    EXPECT_TRUE(d["n"][0].isNull());
    EXPECT_EQ(d.find("missing"), nullptr);
    EXPECT_EQ(d["n"].asArray().size(), 0u);
    // Reading never inserts.
    EXPECT_EQ(d.size(), 2u);
}

TEST(Value, CopiesAreIndependent)
{
    Value original = Value::dictionary({{"list", Value::array({1})}, {"blob", Data{1, 2, 3}}});
    Value copy = original;
    copy["list"].append(2);
    copy["added"] = true;
    copy.erase("blob");
    EXPECT_EQ(original, Value::dictionary({{"list", Value::array({1})}, {"blob", Data{1, 2, 3}}}));
    EXPECT_EQ(copy["list"].size(), 2u);

    Value array = Value::array({1, 2});
    Value arrayCopy = array;
    arrayCopy[0] = "changed";
    EXPECT_EQ(array[0].asInteger(), 1);
    EXPECT_EQ(arrayCopy[0].asString(), "changed");
}

TEST(Value, WritingIntoTheWrongKindThrows)
{
    Value n = 5;
    EXPECT_THROW(n["key"] = 1, foundation::Exception);
    EXPECT_THROW(n.append(1), foundation::Exception);
    Value a = Value::array({1});
    EXPECT_THROW(a[1] = 2, foundation::Exception);
    EXPECT_THROW(a[-1] = 2, foundation::Exception);
    // Null grows into whichever container is first written.
    Value grows;
    grows.append("x");
    EXPECT_TRUE(grows.isArray());
}
