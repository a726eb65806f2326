#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using foundation::Data;
using foundation::Date;
using foundation::ErrorPtr;
using foundation::PropertyListFormat;
using foundation::Value;

namespace {

Value sample()
{
    Data bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    Value list = Value::array({1, -1, 255, 256, 65536, std::int64_t(1) << 40, std::numeric_limits<std::int64_t>::min(),
                               0.5, -2.0, true, false, "", "caf\xC3\xA9 \xF0\x9F\x98\x80", "a&b<c>", Data{}});
    // Long enough for the extended length encodings of arrays, strings and data.
    for (int i = 0; i < 20; ++i)
        list.append(std::string(static_cast<std::size_t>(i), 'x'));
    return Value::dictionary({
        {"zeta", list},
        {"alpha", bytes},
        {"when", Date::dateWithTimeIntervalSinceReferenceDate(-86400.0 * 365)},
        {"nested", Value::dictionary({{"empty", Value::dictionary()}, {"none", Value::array()}})},
        {"uid", Value::dictionary({{"CF$UID", 7}})},
    });
}

Value readBytes(const Data& bytes, ErrorPtr* error = nullptr, PropertyListFormat* format = nullptr)
{
    return foundation::readPropertyList(bytes, error, format);
}

Data bytesOf(std::string_view s)
{
    return Data(s.begin(), s.end());
}

// A binary document of the given encoded objects (one-byte references), the first on top.
Data binaryDocument(const std::vector<Data>& objects)
{
    Data doc = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::size_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(doc.size());
        doc.insert(doc.end(), object.begin(), object.end());
    }
    const std::size_t table = doc.size();
    for (auto o : offsets) {
        doc.push_back(static_cast<std::uint8_t>(o >> 8));
        doc.push_back(static_cast<std::uint8_t>(o));
    }
    Data trailer(32, 0);
    trailer[6] = 2;
    trailer[7] = 1;
    const std::uint64_t count = objects.size();
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = static_cast<std::uint8_t>(count >> (56 - 8 * i));
        trailer[24 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(table) >> (56 - 8 * i));
    }
    doc.insert(doc.end(), trailer.begin(), trailer.end());
    return doc;
}

// {"k": A(levels)} where A(n) = [A(n-1), A(n-1)] and A(0) = "x": a few hundred bytes that
// stand for 2^levels strings.
Data doublingDocument(std::uint8_t levels)
{
    std::vector<Data> objects = {{0xD1, 1, 2}, {0x51, 'k'}, {0x51, 'x'}};
    for (std::uint8_t i = 0; i < levels; ++i) {
        const auto below = static_cast<std::uint8_t>(i == 0 ? 2 : 2 + i);
        objects.push_back({0xA2, below, below});
    }
    objects[0][2] = static_cast<std::uint8_t>(2 + levels);
    return binaryDocument(objects);
}

} // namespace

TEST(PropertyList, BothFormatsRoundTripEveryKindAndKeyOrder)
{
    for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        ErrorPtr error;
        Data bytes = foundation::writePropertyList(sample(), format, &error);
        ASSERT_FALSE(error) << error->localizedDescription();
        PropertyListFormat detected{};
        Value back = readBytes(bytes, &error, &detected);
        ASSERT_FALSE(error) << error->localizedDescription();
        EXPECT_EQ(detected, format);
        EXPECT_EQ(back, sample());
        EXPECT_EQ(back.keys(), sample().keys());
        // Types survive, not only values: 2.0 stays a real, true stays a bool.
        EXPECT_TRUE(back["zeta"][8].isReal());
        EXPECT_TRUE(back["zeta"][9].isBool());
        EXPECT_TRUE(back["zeta"][0].isInteger());
    }
}

TEST(PropertyList, TopLevelScalarsRoundTrip)
{
    const Value cases[] = {Value("only"), Value(12), Value(false), Value(Data{1, 2, 3}), Value(0.25)};
    for (const auto& v : cases) {
        for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
            ErrorPtr error;
            Value back = readBytes(foundation::writePropertyList(v, format, &error), &error);
            ASSERT_FALSE(error) << error->localizedDescription();
            EXPECT_EQ(back, v);
        }
    }
}

TEST(PropertyList, DatesKeepTheirInstantAcrossTheWholeRange)
{
    const Date dates[] = {
        Date::dateWithTimeIntervalSinceReferenceDate(0),
        Date::dateWithTimeIntervalSinceReferenceDate(-0.25), // just before 2001
        Date::dateWithTimeIntervalSince1970(1700000000.123456),
        Date::distantPast(),
        Date::distantFuture(),
    };
    for (Date d : dates) {
        ErrorPtr error;
        Value binary = readBytes(foundation::toBinaryPropertyList(d, &error), &error);
        ASSERT_FALSE(error) << d.timeIntervalSinceReferenceDate() << ": " << error->localizedDescription();
        EXPECT_EQ(binary.asDate(), d) << d.timeIntervalSinceReferenceDate();
        // XML holds whole seconds, rounded down.
        std::string xml = foundation::toXMLPropertyList(d, &error);
        Value fromXML = readBytes(bytesOf(xml), &error);
        ASSERT_FALSE(error) << xml;
        EXPECT_EQ(fromXML.asDate().timeIntervalSinceReferenceDate(), std::floor(d.timeIntervalSinceReferenceDate()))
            << xml;
    }
    EXPECT_NE(foundation::toXMLPropertyList(Date::dateWithTimeIntervalSinceReferenceDate(0))
                  .find("<date>2001-01-01T00:00:00Z</date>"),
              std::string::npos);
}

TEST(PropertyList, BinaryDatesAreSecondsSince2001)
{
    Data bytes = foundation::toBinaryPropertyList(Date::dateWithTimeIntervalSinceReferenceDate(1.0));
    // The single object follows the header: marker 0x33 then a big-endian double 1.0.
    ASSERT_GE(bytes.size(), 17u);
    EXPECT_EQ(Data(bytes.begin() + 8, bytes.begin() + 17), (Data{0x33, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(PropertyList, ReadsXMLAsOtherWritersSpellIt)
{
    const char* text = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- written by hand -->\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x.dtd\">\n"
                       "<plist version=\"1.0\"><dict>\n"
                       "  <key>hex</key><integer> 0x1F </integer>\n"
                       "  <key>neg</key><integer>-9223372036854775808</integer>\n"
                       "  <key>inf</key><real>-infinity</real>\n"
                       "  <key>text</key><string>a &amp; b &lt;&#x1F600;&#65;<![CDATA[<raw>]]></string>\n"
                       "  <key>empty</key><string/>\n"
                       "  <key/><data>AQID\n BA==</data>\n"
                       "  <key>t</key><true/>\n"
                       "</dict></plist>\n";
    ErrorPtr error;
    Value v = readBytes(bytesOf(text), &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_EQ(v["hex"], Value(31));
    EXPECT_EQ(v["neg"], Value(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(v["inf"].asDouble(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(v["text"].asString(), "a & b <\xF0\x9F\x98\x80" "A<raw>");
    EXPECT_TRUE(v["empty"].isString());
    EXPECT_EQ(v[""].asData(), (Data{1, 2, 3, 4}));
    EXPECT_EQ(v["t"], Value(true));
}

TEST(PropertyList, CorruptXMLIsAnError)
{
    const char* cases[] = {
        "",
        "<plist><dict><key>x</key></dict></plist>",   // key without a value
        "<plist><dict><string>x</string></dict></plist>",
        "<plist><integer>12x</integer></plist>",
        "<plist><integer>99999999999999999999</integer></plist>",
        "<plist><real>abc</real></plist>",
        "<plist><data>!!!</data></plist>",
        "<plist><date>2020-13-01T00:00:00Z</date></plist>",
        "<plist><date>yesterday</date></plist>",
        "<plist><array><string>a</string></plist>",
        "<plist><string>a &bogus; b</string></plist>",
        "<plist><string>a</string><string>b</string></plist>",
        "<plist><unknown/></plist>",
        "<plist><string>\xFF</string></plist>",
        "<!DOCTYPE plist [<!ENTITY a \"b\">]><plist><string>&a;</string></plist>",
        "<plist><string>unterminated",
    };
    for (const char* text : cases) {
        ErrorPtr error;
        Value v = readBytes(bytesOf(text), &error);
        ASSERT_TRUE(error) << text;
        EXPECT_EQ(error->code(), 3840) << text;
        EXPECT_TRUE(v.isNull());
    }
}

TEST(PropertyList, CorruptBinaryIsAnError)
{
    Data good = foundation::toBinaryPropertyList(Value::dictionary({{"a", Value::array({1, "b"})}}));
    ASSERT_FALSE(good.empty());
    const std::size_t trailer = good.size() - 32;

    struct Case {
        const char* what;
        std::function<void(Data&)> damage;
    };
    const Case cases[] = {
        {"truncated", [](Data& d) { d.resize(20); }},
        {"header only", [](Data& d) { d.resize(8); }},
        {"zero objects", [&](Data& d) { d[trailer + 15] = 0; }},
        {"top beyond count", [&](Data& d) { d[trailer + 23] = 0xFF; }},
        {"table past the end", [&](Data& d) { d[trailer + 25] = 0x7F; }},
        {"bad ref size", [&](Data& d) { d[trailer + 7] = 0; }},
        {"offset into the trailer", [&](Data& d) { d[trailer - 1] = 0xFF; }},
        {"unknown marker", [](Data& d) { d[8] = 0x70; }},
        {"array refers to itself", [](Data& d) {
             // The top dictionary is object 0; make its value reference point back at it.
             d[8 + 2] = 0;
         }},
        {"huge length", [](Data& d) {
             d[8] = 0xDF; // a dictionary with an extended count...
             d[9] = 0x13; // ...given as an 8-byte integer
         }},
    };
    for (const auto& c : cases) {
        Data bad = good;
        c.damage(bad);
        ErrorPtr error;
        Value v = readBytes(bad, &error);
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->code(), 3840) << c.what;
        EXPECT_TRUE(v.isNull()) << c.what;
    }
    ErrorPtr error;
    EXPECT_EQ(readBytes(good, &error), Value::dictionary({{"a", Value::array({1, "b"})}}));
    EXPECT_FALSE(error);
}

TEST(PropertyList, HostileNestingIsRefusedNotACrash)
{
    std::string xml = "<plist>";
    for (int i = 0; i < 100000; ++i)
        xml += "<array>";
    ErrorPtr error;
    readBytes(bytesOf(xml), &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos);

    // A binary chain of arrays, each holding the next: 0xA1 <ref>.
    const std::size_t count = 2000;
    Data chain = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < count; ++i) {
        offsets.push_back(chain.size());
        if (i + 1 < count) {
            chain.push_back(0xA1);
            chain.push_back(static_cast<std::uint8_t>((i + 1) >> 8));
            chain.push_back(static_cast<std::uint8_t>(i + 1));
        } else {
            chain.push_back(0x09);
        }
    }
    std::size_t table = chain.size();
    for (auto o : offsets) {
        chain.push_back(static_cast<std::uint8_t>(o >> 8));
        chain.push_back(static_cast<std::uint8_t>(o));
    }
    Data trailer(32, 0);
    trailer[6] = 2;
    trailer[7] = 2;
    trailer[14] = static_cast<std::uint8_t>(count >> 8);
    trailer[15] = static_cast<std::uint8_t>(count);
    trailer[30] = static_cast<std::uint8_t>(table >> 8);
    trailer[31] = static_cast<std::uint8_t>(table);
    chain.insert(chain.end(), trailer.begin(), trailer.end());
    readBytes(chain, &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos);
}

TEST(PropertyList, SharedObjectsDecodeOnceInsteadOfMultiplying)
{
    // Ten levels of arrays holding the next level twice: 1024 strings, read as 12 objects.
    const Data doc = doublingDocument(10);
    ErrorPtr error;
    Value v = readBytes(doc, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_EQ(v["k"][0][1][0].size(), 2u);
    EXPECT_EQ(v["k"][0][1][0][1][0][0][1][0][1][1], Value("x"));
}

TEST(PropertyList, SharedObjectsThatExpandBeyondReasonAreRefused)
{
    // Sixty levels: 290 bytes standing for 2^60 strings, which every writer would expand.
    const Data doc = doublingDocument(60);
    EXPECT_LT(doc.size(), 400u);
    ErrorPtr error;
    Value v = readBytes(doc, &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_NE(error->localizedDescription().find("shared objects"), std::string::npos) << error->localizedDescription();
    EXPECT_TRUE(v.isNull());

    // A long string shared by many references counts its bytes each time it is used.
    std::vector<Data> objects = {{0xAF, 0x11, 0x10, 0x00}};
    Data big = {0x5F, 0x12, 0x00, 0x10, 0x00, 0x00}; // 1 MiB of text
    big.resize(big.size() + (1u << 20), 'z');
    for (int i = 0; i < 4096; ++i)
        objects[0].push_back(1);
    objects.push_back(big);
    readBytes(binaryDocument(objects), &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("shared objects"), std::string::npos) << error->localizedDescription();
}

TEST(PropertyList, WritersAndDescriptionsStayBoundedOnSharedValues)
{
    // Built in memory, sharing is free: each level holds the one below twice.
    Value v = "x";
    for (int i = 0; i < 60; ++i)
        v = Value::array({v, v});

    // The binary writer stores a shared object once.
    ErrorPtr error;
    const Data binary = foundation::toBinaryPropertyList(v, &error);
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_LT(binary.size(), 1000u);

    // The XML form can't share: past its size limit it is an error, not a runaway.
    EXPECT_TRUE(foundation::toXMLPropertyList(v, &error).empty());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), foundation::PropertyListWriteInvalidError);

    // A log line stops early.
    const std::string description = v.debugDescription();
    EXPECT_LT(description.size(), 2u << 20);
    EXPECT_EQ(description.substr(0, 6), "[[[[[[");

    // Ordinary sharing still writes and reads back equal.
    Value small = "x";
    for (int i = 0; i < 8; ++i)
        small = Value::array({small, small});
    for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
        const Data bytes = foundation::writePropertyList(small, format, &error);
        ASSERT_FALSE(error) << error->localizedDescription();
        EXPECT_EQ(readBytes(bytes, &error), small);
        EXPECT_FALSE(error);
    }
}

TEST(PropertyList, ObjectCountIsBoundedByWhatTheDocumentHolds)
{
    // The trailer claims millions of objects in an offset table that repeats one offset: the
    // reader must not set aside room for millions of values.
    const std::uint64_t count = 4u << 20;
    Data doc = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x09};
    const std::size_t table = doc.size();
    doc.resize(doc.size() + count, 8); // one-byte offsets, all pointing at the bool
    Data trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 4;
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = static_cast<std::uint8_t>(count >> (56 - 8 * i));
        trailer[24 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(table) >> (56 - 8 * i));
    }
    doc.insert(doc.end(), trailer.begin(), trailer.end());
    ErrorPtr error;
    readBytes(doc, &error);
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("trailer"), std::string::npos) << error->localizedDescription();
}

TEST(PropertyList, ValuesWithoutAPropertyListFormAreRefused)
{
    const Value cases[] = {
        Value(),
        Value::dictionary({{"a", Value()}}),
        Value::array({Value("bad \xC3")}),
        Value(Date::dateWithTimeIntervalSince1970(std::numeric_limits<double>::infinity())),
    };
    for (const auto& v : cases) {
        for (auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
            ErrorPtr error;
            EXPECT_TRUE(foundation::writePropertyList(v, format, &error).empty());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), foundation::PropertyListWriteInvalidError);
        }
    }
}

TEST(PropertyList, ControlCharactersAndNULRoundTripThroughXML)
{
    const std::string texts[] = {std::string("a\0b", 3), std::string(1, '\0'), "\x01\x1F\x7F", "tab\tline\nreturn\r"};
    for (const auto& text : texts) {
        const Value v = Value::dictionary({{text, Value::array({text})}});
        ErrorPtr error;
        const std::string xml = foundation::toXMLPropertyList(v, &error);
        ASSERT_FALSE(error) << error->localizedDescription();
        // Kept as character references: a raw NUL would end the text for many readers.
        EXPECT_EQ(xml.find('\0'), std::string::npos);
        EXPECT_EQ(readBytes(bytesOf(xml), &error), v);
        EXPECT_FALSE(error) << (error ? error->localizedDescription() : "");
    }
}

TEST(PropertyList, XMLThatStandsForFarMoreThanItsSizeIsRefused)
{
    // Five hundred levels deep, then 200,000 small values: 1.4 MB that every writer would
    // indent five hundred times over.
    std::string xml = "<plist>";
    for (int i = 0; i < 500; ++i)
        xml += "<array>";
    for (int i = 0; i < 200000; ++i)
        xml += "<true/>";
    for (int i = 0; i < 500; ++i)
        xml += "</array>";
    xml += "</plist>";
    ErrorPtr error;
    EXPECT_TRUE(readBytes(bytesOf(xml), &error).isNull());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_NE(error->localizedDescription().find("expand"), std::string::npos) << error->localizedDescription();

    // The same values not nested read fine.
    std::string flat = "<plist><array>";
    for (int i = 0; i < 200000; ++i)
        flat += "<true/>";
    flat += "</array></plist>";
    EXPECT_EQ(readBytes(bytesOf(flat), &error).size(), 200000u);
    EXPECT_FALSE(error);
}
