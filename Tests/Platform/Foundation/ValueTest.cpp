#include "Platform/Foundation/Value.h"

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using foundation::Data;
using foundation::Date;
using foundation::Dictionary;
using foundation::Set;
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
        {Value::setOf({1, "a"}), Value::Type::Set},
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

TEST(Value, SetKeepsOneOfEachEqualMember)
{
    const double nan = std::nan("");
    struct Case {
        const char* name;
        std::vector<Value> members;
        std::size_t count;
    };
    const Case cases[] = {
        {"repeated text", {"a", "a", "b", "a"}, 2},
        {"an integer equals the same real", {1, 1.0, 2.5, 2.5}, 2},
        {"a bool is not the number 1", {true, 1}, 2},
        {"text is not a number", {"1", 1}, 2},
        {"nulls", {nullptr, nullptr}, 1},
        {"dictionaries in either order", {Value::dictionary({{"a", 1}, {"b", 2}}), Value::dictionary({{"b", 2}, {"a", 1}})}, 1},
        {"arrays keep their order", {Value::array({1, 2}), Value::array({2, 1}), Value::array({1, 2})}, 2},
        {"nested sets in either order", {Value::setOf({1, 2}), Value::setOf({2, 1})}, 1},
        {"data by bytes", {Data{1, 2}, Data{1, 2}, Data{2, 1}}, 2},
        // NaN equals nothing, not even itself: every one stays, as in an array.
        {"NaN", {nan, nan, Value::array({nan}), Value::array({nan})}, 4},
        {"nothing", {}, 0},
    };
    for (const auto& c : cases) {
        const Value set{Set(c.members)};
        ASSERT_TRUE(set.isSet()) << c.name;
        EXPECT_EQ(set.size(), c.count) << c.name;
        EXPECT_EQ(set.asSet().size(), c.count) << c.name;
        // Every member is found again, but a NaN, which equals nothing.
        const bool findable = std::string_view(c.name) != "NaN";
        for (const Value& member : c.members)
            EXPECT_EQ(set.asSet().contains(member), findable) << c.name << " " << member.debugDescription();
    }
    // The first of equal members is the one kept.
    const Value first = Value::setOf({1, 1.0});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(first.asSet().begin()->isInteger());
    EXPECT_TRUE(Value(Set()).isSet());
    EXPECT_EQ(Value(5).asSet().size(), 0u);
}

TEST(Value, SetsCompareByMembersWhateverTheirOrder)
{
    struct Case {
        const char* name;
        Value a;
        Value b;
        bool equal;
    };
    const Case cases[] = {
        {"same members in another order", Value::setOf({"a", "b", 1}), Value::setOf({1, "b", "a"}), true},
        {"numbers by value", Value::setOf({1, 2}), Value::setOf({2.0, 1.0}), true},
        {"one more member", Value::setOf({1}), Value::setOf({1, 2}), false},
        {"another member", Value::setOf({1, 2}), Value::setOf({1, 3}), false},
        {"a set is not an array", Value::setOf({1}), Value::array({1}), false},
        {"empty set, empty array", Value::setOf({}), Value::array(), false},
        {"empty sets", Value::setOf({}), Value(Set()), true},
        {"inside dictionaries", Value::dictionary({{"s", Value::setOf({"x", "y"})}}),
         Value::dictionary({{"s", Value::setOf({"y", "x", "y"})}}), true},
        {"sets of dictionaries", Value::setOf({Value::dictionary({{"a", 1}}), Value::dictionary({{"b", 2}})}),
         Value::setOf({Value::dictionary({{"b", 2}}), Value::dictionary({{"a", 1.0}})}), true},
        {"a NaN member equals nothing", Value::setOf({std::nan("")}), Value::setOf({std::nan("")}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.name;
        EXPECT_EQ(c.b == c.a, c.equal) << c.name;
    }
}

TEST(Value, SetsAreReadOnlyValuesWithADescription)
{
    const Value set = Value::setOf({"b", "a"});
    Value copy = set;
    EXPECT_THROW(copy.append("c"), foundation::Exception);
    EXPECT_THROW(copy["k"] = 1, foundation::Exception);
    EXPECT_EQ(copy, set);
    EXPECT_TRUE(set["k"].isNull());
    EXPECT_TRUE(set[0].isNull());
    const std::string description = set.debugDescription();
    EXPECT_TRUE(description.starts_with("{(")) << description;
    EXPECT_NE(description.find("\"a\""), std::string::npos) << description;
    EXPECT_NE(description.find("\"b\""), std::string::npos) << description;
}

TEST(Value, SetsHaveNoJSONOrPropertyListForm)
{
    const Value set = Value::setOf({"a"});
    const Value values[] = {set, Value::dictionary({{"k", Value::array({1, set})}}), Value::array({Value::setOf({})})};
    struct Writer {
        const char* name;
        std::function<bool(const Value&, foundation::ErrorPtr*)> write; // whether it wrote anything
    };
    const Writer writers[] = {
        {"JSON", [](const Value& v, foundation::ErrorPtr* e) { return !foundation::toJSON(v, false, e).empty(); }},
        {"pretty JSON", [](const Value& v, foundation::ErrorPtr* e) { return !foundation::toJSON(v, true, e).empty(); }},
        {"XML property list", [](const Value& v, foundation::ErrorPtr* e) { return !foundation::toXMLPropertyList(v, e).empty(); }},
        {"binary property list",
         [](const Value& v, foundation::ErrorPtr* e) { return !foundation::toBinaryPropertyList(v, e).empty(); }},
    };
    for (const auto& writer : writers) {
        for (const Value& value : values) {
            foundation::ErrorPtr error;
            EXPECT_FALSE(writer.write(value, &error)) << writer.name << " " << value.debugDescription();
            ASSERT_TRUE(error) << writer.name;
            EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain) << writer.name;
            EXPECT_EQ(error->code(), foundation::PropertyListWriteInvalidError) << writer.name;
            EXPECT_NE(error->localizedDescription().find("a set has no"), std::string::npos)
                << writer.name << ": " << error->localizedDescription();
        }
    }
}
