#include "Platform/Foundation/KeyedArchiver.h"

#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

using foundation::ClassSet;
using foundation::CodingPtr;
using foundation::Data;
using foundation::Date;
using foundation::ErrorPtr;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

namespace {

// A leaf object with one field of each primitive kind.
struct Swatch : foundation::Coding {
    std::string name;
    double hue = 0;
    std::int64_t count = 0;
    bool pinned = false;
    Data bytes;
    Date made;
    Value info;

    std::string className() const override { return "Test.Swatch"; }
    void encodeWithCoder(KeyedArchiver& c) const override
    {
        c.encodeString(name, "name");
        c.encodeDouble(hue, "hue");
        c.encodeInt64(count, "count");
        c.encodeBool(pinned, "pinned");
        c.encodeData(bytes, "bytes");
        c.encodeDate(made, "made");
        c.encodeValue(info, "info");
        c.encodeInt64(7, "$dollar"); // a key in the archive's own namespace
    }
    static CodingPtr decode(KeyedUnarchiver& c)
    {
        auto s = std::make_shared<Swatch>();
        auto name = c.decodeString("name");
        if (!name)
            return nullptr; // required
        s->name = *name;
        s->hue = c.decodeDouble("hue");
        s->count = c.decodeInt64("count");
        s->pinned = c.decodeBool("pinned");
        s->bytes = c.decodeData("bytes").value_or(Data{});
        s->made = c.decodeDate("made").value_or(Date());
        s->info = c.decodeValue("info");
        if (c.decodeInt64("$dollar") != 7)
            return nullptr;
        return s;
    }
};

// A container: arrays, dictionaries and sets of objects, and a reference shared with the array.
struct Palette : foundation::Coding {
    std::string title;
    std::vector<std::shared_ptr<Swatch>> swatches;
    std::shared_ptr<Swatch> favourite;
    std::vector<std::pair<std::string, std::shared_ptr<Swatch>>> byRole;
    std::set<std::string> tags;

    std::string className() const override { return "Test.Palette"; }
    void encodeWithCoder(KeyedArchiver& c) const override
    {
        c.encodeString(title, "title");
        c.encodeArrayOfObjects({swatches.begin(), swatches.end()}, "swatches");
        c.encodeObject(favourite, "favourite");
        std::vector<std::pair<std::string, std::shared_ptr<const foundation::Coding>>> roles(byRole.begin(), byRole.end());
        c.encodeDictionaryOfObjects(roles, "byRole");
        c.encodeStringSet(tags, "tags");
    }
    static CodingPtr decode(KeyedUnarchiver& c)
    {
        auto p = std::make_shared<Palette>();
        p->title = c.decodeString("title").value_or("");
        for (const auto& o : c.decodeArrayOfObjectsOfClasses({"Test.Swatch"}, "swatches").value_or(std::vector<CodingPtr>{}))
            p->swatches.push_back(std::dynamic_pointer_cast<Swatch>(o));
        p->favourite = c.decodeObjectOfClass<Swatch>("Test.Swatch", "favourite");
        for (const auto& [role, o] : c.decodeDictionaryOfObjectsOfClasses({"Test.Swatch"}, "byRole").value_or(
                 std::vector<std::pair<std::string, CodingPtr>>{}))
            p->byRole.emplace_back(role, std::dynamic_pointer_cast<Swatch>(o));
        p->tags = c.decodeStringSet("tags").value_or(std::set<std::string>{});
        return p;
    }
};

// A linked node, for reference chains and cycles.
struct Node : foundation::Coding {
    std::shared_ptr<Node> next;
    std::string className() const override { return "Test.Node"; }
    void encodeWithCoder(KeyedArchiver& c) const override { c.encodeObject(next, "next"); }
    static CodingPtr decode(KeyedUnarchiver& c)
    {
        auto n = std::make_shared<Node>();
        n->next = c.decodeObjectOfClass<Node>("Test.Node", "next");
        return n;
    }
};

// A class that never agreed to secure decoding.
struct Loose : foundation::Coding {
    std::string className() const override { return "Test.Loose"; }
    void encodeWithCoder(KeyedArchiver&) const override { }
};

void registerTestClasses()
{
    static bool done = [] {
        KeyedArchiver::registerClass({"Test.Swatch", {"Test.Base"}, true, 2, &Swatch::decode});
        KeyedArchiver::registerClass({"Test.Palette", {}, true, 0, &Palette::decode});
        KeyedArchiver::registerClass({"Test.Node", {}, true, 0, &Node::decode});
        KeyedArchiver::registerClass(
            {"Test.Loose", {}, false, 0, [](KeyedUnarchiver&) -> CodingPtr { return std::make_shared<Loose>(); }});
        return true;
    }();
    (void)done;
}

std::shared_ptr<Swatch> swatch(const std::string& name)
{
    auto s = std::make_shared<Swatch>();
    s->name = name;
    s->hue = 0.25;
    s->count = -(std::int64_t(1) << 40);
    s->pinned = true;
    s->bytes = {0, 1, 254, 255};
    s->made = Date::dateWithTimeIntervalSinceReferenceDate(123.5);
    s->info = Value::dictionary({{"z", Value::array({1, 2.5, "x", Value()})}, {"a", Value::dictionary({{"t", true}})}});
    return s;
}

std::shared_ptr<Palette> palette()
{
    auto p = std::make_shared<Palette>();
    p->title = "Sunset";
    p->swatches = {swatch("red"), swatch("gold")};
    p->favourite = p->swatches[0];
    p->byRole = {{"accent", p->swatches[1]}, {"base", p->swatches[0]}};
    p->tags = {"warm", "evening"};
    return p;
}

class KeyedArchiverTest : public ::testing::Test {
protected:
    void SetUp() override { registerTestClasses(); }

    static Data archive(const Value& plist) { return foundation::toBinaryPropertyList(plist); }

    // A hand-made archive whose root is $objects[1].
    static Data archiveWithObjects(Value::Array objects)
    {
        return archive(Value::dictionary({{"$version", 100000},
                                          {"$archiver", "NSKeyedArchiver"},
                                          {"$top", Value::dictionary({{"root", Value::dictionary({{"CF$UID", 1}})}})},
                                          {"$objects", Value(std::move(objects))}}));
    }

    static Value uid(int n) { return Value::dictionary({{"CF$UID", n}}); }
    static Value classEntry(const std::string& name)
    {
        return Value::dictionary({{"$classes", Value::array({name, "NSObject"})}, {"$classname", name}});
    }
};

} // namespace

TEST_F(KeyedArchiverTest, RoundTripKeepsEveryFieldAndSharedReferences)
{
    ErrorPtr error;
    Data bytes = KeyedArchiver::archivedDataWithRootObject(palette(), true, &error);
    ASSERT_FALSE(error) << error->localizedDescription();

    // Binary and XML forms of the same archive both decode.
    Data xml;
    {
        std::string text = foundation::toXMLPropertyList(foundation::readPropertyList(bytes));
        xml.assign(text.begin(), text.end());
    }
    for (const Data& form : {bytes, xml}) {
        auto back = KeyedUnarchiver::unarchivedObjectOfClass<Palette>("Test.Palette", form, &error);
        ASSERT_TRUE(back) << error->localizedDescription();
        EXPECT_EQ(back->title, "Sunset");
        ASSERT_EQ(back->swatches.size(), 2u);
        const Swatch& red = *back->swatches[0];
        EXPECT_EQ(red.name, "red");
        EXPECT_EQ(red.hue, 0.25);
        EXPECT_EQ(red.count, -(std::int64_t(1) << 40));
        EXPECT_TRUE(red.pinned);
        EXPECT_EQ(red.bytes, (Data{0, 1, 254, 255}));
        EXPECT_EQ(red.made, Date::dateWithTimeIntervalSinceReferenceDate(123.5));
        EXPECT_EQ(red.info, swatch("x")->info);
        EXPECT_EQ(red.info.keys(), (std::vector<std::string>{"z", "a"}));
        // One object archived once decodes to one shared object wherever it was referenced.
        EXPECT_EQ(back->favourite, back->swatches[0]);
        ASSERT_EQ(back->byRole.size(), 2u);
        EXPECT_EQ(back->byRole[0].first, "accent");
        EXPECT_EQ(back->byRole[0].second, back->swatches[1]);
        EXPECT_EQ(back->byRole[1].second, back->swatches[0]);
        EXPECT_EQ(back->tags, (std::set<std::string>{"evening", "warm"}));
    }
}

TEST_F(KeyedArchiverTest, WritesThePlatformsArchiveLayout)
{
    Data bytes = KeyedArchiver::archivedDataWithRootObject(palette());
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    Value plist = foundation::readPropertyList(bytes);
    EXPECT_EQ(plist["$archiver"], Value("NSKeyedArchiver"));
    EXPECT_EQ(plist["$version"], Value(100000));
    EXPECT_EQ(plist["$objects"][0], Value("$null"));
    const Value& root = plist["$top"]["root"];
    ASSERT_TRUE(root.contains("CF$UID"));
    const Value& object = plist["$objects"][root["CF$UID"].asInteger()];
    const Value& classInfo = plist["$objects"][object["$class"]["CF$UID"].asInteger()];
    EXPECT_EQ(classInfo["$classname"], Value("Test.Palette"));
    EXPECT_EQ(classInfo["$classes"], Value::array({"Test.Palette", "NSObject"}));

    // The shared swatch appears once among the objects.
    int named = 0;
    for (const Value& o : plist["$objects"].asArray())
        named += o.isDictionary() && o.contains("hue") ? 1 : 0;
    EXPECT_EQ(named, 2);
}

TEST_F(KeyedArchiverTest, OldClassNamesDecodeThroughMappings)
{
    KeyedArchiver archiver;
    archiver.setClassName("Legacy.Swatch", "Test.Swatch");
    archiver.encodeObject(swatch("old"), foundation::NSKeyedArchiveRootObjectKey);
    Data bytes = archiver.encodedData();
    ASSERT_FALSE(archiver.error());

    ErrorPtr error;
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses({"Test.Swatch"}, bytes, &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("Legacy.Swatch"), std::string::npos);

    auto unarchiver = KeyedUnarchiver::initForReadingFromData(bytes);
    ASSERT_TRUE(unarchiver);
    unarchiver->setClass("Test.Swatch", "Legacy.Swatch");
    auto decoded = unarchiver->decodeObjectOfClass<Swatch>("Test.Swatch", foundation::NSKeyedArchiveRootObjectKey);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name, "old");

    // The process-wide mapping serves every unarchiver, including the one-call forms.
    KeyedUnarchiver::setDefaultClass("Test.Swatch", "Legacy.Swatch");
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObjectOfClass<Swatch>("Test.Swatch", bytes, &error));
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObject(bytes, &error));
}

TEST_F(KeyedArchiverTest, ClassVersionsAreKeptPerClass)
{
    EXPECT_EQ(KeyedArchiver::classVersion("Test.Swatch"), 2);
    EXPECT_EQ(KeyedArchiver::classVersion("Unknown.Class"), 0);
    KeyedArchiver::setClassVersion("Test.Node", 3);
    EXPECT_EQ(KeyedArchiver::classVersion("Test.Node"), 3);
}

TEST_F(KeyedArchiverTest, SecureDecodingRefusesWhatWasNotAllowed)
{
    Data swatchArchive = KeyedArchiver::archivedDataWithRootObject(swatch("s"));
    Data looseArchive = KeyedArchiver::archivedDataWithRootObject(std::make_shared<Loose>());
    struct Case {
        const char* what;
        ClassSet allowed;
        const Data* archive;
        bool decodes;
    };
    const Case cases[] = {
        {"its own class", {"Test.Swatch"}, &swatchArchive, true},
        {"a superclass", {"Test.Base"}, &swatchArchive, true},
        {"any object", {"NSObject"}, &swatchArchive, true},
        {"another class", {"Test.Palette"}, &swatchArchive, false},
        {"plain classes only", foundation::PropertyListClasses, &swatchArchive, false},
        {"a class without secure coding", {"Test.Loose"}, &looseArchive, false},
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        CodingPtr object = KeyedUnarchiver::unarchivedObjectOfClasses(c.allowed, *c.archive, &error);
        EXPECT_EQ(object != nullptr, c.decodes) << c.what;
        EXPECT_EQ(error != nullptr, !c.decodes) << c.what;
        if (error) {
            EXPECT_EQ(error->code(), foundation::NSCoderReadCorruptError) << c.what;
        }
    }

    // Secure archiving refuses the class up front, too.
    ErrorPtr error;
    EXPECT_TRUE(KeyedArchiver::archivedDataWithRootObject(std::make_shared<Loose>(), true, &error).empty());
    EXPECT_TRUE(error);

    // Without a class list there is nothing to check against.
    auto unarchiver = KeyedUnarchiver::initForReadingFromData(swatchArchive);
    unarchiver->setRequiresSecureCoding(true);
    EXPECT_FALSE(unarchiver->decodeObject(foundation::NSKeyedArchiveRootObjectKey));
    EXPECT_TRUE(unarchiver->error());
}

TEST_F(KeyedArchiverTest, TypeMismatchesFailTheDecodingAndStayFailed)
{
    Data bytes = KeyedArchiver::archivedDataWithRootObject(swatch("s"));
    struct Case {
        const char* what;
        std::function<void(KeyedUnarchiver&)> decode;
    };
    const Case cases[] = {
        {"a string read as an integer", [](KeyedUnarchiver& u) { u.decodeInt64("name"); }},
        {"a number read as a string", [](KeyedUnarchiver& u) { u.decodeString("hue"); }},
        {"a date read as data", [](KeyedUnarchiver& u) { u.decodeData("made"); }},
        {"a string read as an object", [](KeyedUnarchiver& u) { u.decodeObjectOfClasses({"NSObject"}, "name"); }},
        {"a dictionary read as an array", [](KeyedUnarchiver& u) { u.decodeArrayOfObjectsOfClasses({"NSObject"}, "info"); }},
        {"a plain value outside the allowed set", [](KeyedUnarchiver& u) { u.decodeValue("info", {"NSDictionary"}); }},
    };
    for (const auto& c : cases) {
        auto unarchiver = KeyedUnarchiver::initForReadingFromData(bytes);
        ASSERT_TRUE(unarchiver);
        // Step into the root object's fields the way a decoder would see them.
        KeyedArchiver::registerClass({"Test.Probe", {}, true, 0, [&](KeyedUnarchiver& u) -> CodingPtr {
                                          c.decode(u);
                                          EXPECT_TRUE(u.error()) << c.what;
                                          // Once failed, everything else decodes to nothing.
                                          EXPECT_FALSE(u.decodeString("name")) << c.what;
                                          EXPECT_EQ(u.decodeDouble("hue"), 0) << c.what;
                                          return std::make_shared<Loose>();
                                      }});
        unarchiver->setClass("Test.Probe", "Test.Swatch");
        EXPECT_FALSE(unarchiver->decodeObjectOfClasses({"Test.Probe"}, foundation::NSKeyedArchiveRootObjectKey)) << c.what;
        EXPECT_TRUE(unarchiver->error()) << c.what;
    }
}

TEST_F(KeyedArchiverTest, CorruptArchivesAreErrorsNotCrashes)
{
    const Value node = Value::dictionary({{"next", uid(1)}, {"$class", uid(2)}});
    struct Case {
        const char* what;
        Data bytes;
    };
    const Case cases[] = {
        {"not a property list", Data{'n', 'o', 'p', 'e'}},
        {"not a dictionary", archive(Value::array({1}))},
        {"another archiver", archive(Value::dictionary({{"$archiver", "Other"}, {"$top", Value::dictionary()},
                                                        {"$objects", Value::array({"$null"})}}))},
        {"no objects", archive(Value::dictionary({{"$top", Value::dictionary({{"root", uid(1)}})}}))},
        {"missing root", archive(Value::dictionary({{"$top", Value::dictionary()}, {"$objects", Value::array({"$null"})}}))},
        {"root beyond the objects", archiveWithObjects({"$null"})},
        {"root is not a UID", archive(Value::dictionary({{"$top", Value::dictionary({{"root", 1}})},
                                                         {"$objects", Value::array({"$null", "x"})}}))},
        {"object without class", archiveWithObjects({"$null", Value::dictionary({{"next", uid(0)}})})},
        {"class UID out of range", archiveWithObjects({"$null", Value::dictionary({{"$class", uid(99)}})})},
        {"class entry without name", archiveWithObjects({"$null", Value::dictionary({{"$class", uid(2)}}), Value::dictionary()})},
        {"unknown class", archiveWithObjects({"$null", Value::dictionary({{"$class", uid(2)}}), classEntry("No.Such")})},
        {"object refers to itself", archiveWithObjects({"$null", node, classEntry("Test.Node")})},
        {"field UID out of range",
         archiveWithObjects({"$null", Value::dictionary({{"next", uid(50)}, {"$class", uid(2)}}), classEntry("Test.Node")})},
        {"required field missing",
         archiveWithObjects({"$null", Value::dictionary({{"$class", uid(2)}}), classEntry("Test.Swatch")})},
        {"plain value at the root", archiveWithObjects({"$null", "just text"})},
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        CodingPtr object = KeyedUnarchiver::unarchivedObjectOfClasses({"NSObject"}, c.bytes, &error);
        EXPECT_FALSE(object) << c.what;
        ASSERT_TRUE(error) << c.what;
        EXPECT_TRUE(error->code() == foundation::NSCoderReadCorruptError
                    || error->code() == foundation::NSCoderValueNotFoundError)
            << c.what << ": " << error->code();
        EXPECT_FALSE(error->localizedDescription().empty());
    }
}

TEST_F(KeyedArchiverTest, CyclesAndDeepChainsInObjectsAndValuesAreRefused)
{
    // Two nodes pointing at each other.
    Value::Array cycle = {"$null", Value::dictionary({{"next", uid(2)}, {"$class", uid(3)}}),
                          Value::dictionary({{"next", uid(1)}, {"$class", uid(3)}}), classEntry("Test.Node")};
    ErrorPtr error;
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses({"Test.Node"}, archiveWithObjects(cycle), &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("itself"), std::string::npos);

    // An array holding itself, read as a plain value.
    Value::Array selfArray = {"$null", Value::dictionary({{"NS.objects", Value::array({uid(1)})}, {"$class", uid(2)}}),
                              classEntry("NSArray")};
    auto unarchiver = KeyedUnarchiver::initForReadingFromData(archiveWithObjects(selfArray));
    ASSERT_TRUE(unarchiver);
    EXPECT_TRUE(unarchiver->decodeValue("root").isNull());
    EXPECT_TRUE(unarchiver->error());

    // A chain far longer than any real archive: refused, not a stack overflow.
    Value::Array chain = {"$null"};
    const int length = 5000;
    for (int i = 1; i <= length; ++i)
        chain.push_back(Value::dictionary({{"next", uid(i < length ? i + 1 : 0)}, {"$class", uid(length + 1)}}));
    chain.push_back(classEntry("Test.Node"));
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses({"Test.Node"}, archiveWithObjects(chain), &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("deep"), std::string::npos);

    // A short chain decodes.
    auto head = std::make_shared<Node>();
    head->next = std::make_shared<Node>();
    auto back = KeyedUnarchiver::unarchivedObjectOfClass<Node>("Test.Node", KeyedArchiver::archivedDataWithRootObject(head), &error);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->next);
    EXPECT_FALSE(back->next->next);
}

TEST_F(KeyedArchiverTest, AValueDecodedBeforeIsCheckedAgainstEachCallsAllowedClasses)
{
    // Keys "a" and "b" both refer to object 1, an array holding a date.
    const Value::Array objects = {"$null", Value::dictionary({{"NS.objects", Value::array({uid(3)})}, {"$class", uid(2)}}),
                                  classEntry("NSArray"),
                                  Value::dictionary({{"NS.time", 12.5}, {"$class", uid(4)}}), classEntry("NSDate")};
    const Data bytes = archive(Value::dictionary({{"$version", 100000},
                                                  {"$archiver", "NSKeyedArchiver"},
                                                  {"$top", Value::dictionary({{"a", uid(1)}, {"b", uid(1)}})},
                                                  {"$objects", Value(objects)}}));
    struct Case {
        const char* what;
        ClassSet allowed;
        const char* refusedClass; // nullptr when the second read succeeds
    };
    const Case cases[] = {
        {"the same classes", {"NSArray", "NSDate"}, nullptr},
        {"another class", {"NSString"}, "NSArray"},
        {"the container but not its element", {"NSArray"}, "NSDate"},
    };
    for (const auto& c : cases) {
        auto unarchiver = KeyedUnarchiver::initForReadingFromData(bytes);
        ASSERT_TRUE(unarchiver);
        const Value first = unarchiver->decodeValue("a", {"NSArray", "NSDate"});
        ASSERT_FALSE(unarchiver->error()) << c.what;
        ASSERT_EQ(first.size(), 1u) << c.what;
        const Value second = unarchiver->decodeValue("b", c.allowed);
        if (!c.refusedClass) {
            EXPECT_EQ(second, first) << c.what;
            EXPECT_FALSE(unarchiver->error()) << c.what;
            continue;
        }
        EXPECT_TRUE(second.isNull()) << c.what;
        ASSERT_TRUE(unarchiver->error()) << c.what;
        EXPECT_EQ(unarchiver->error()->code(), foundation::NSCoderReadCorruptError) << c.what;
        EXPECT_NE(unarchiver->error()->localizedDescription().find(std::string("unexpected class '") + c.refusedClass + "'"),
                  std::string::npos)
            << c.what << ": " << unarchiver->error()->localizedDescription();
    }
}

TEST_F(KeyedArchiverTest, SharedValuesThatExpandBeyondReasonAreRefused)
{
    // Each array holds the one before twice: sixty of them stand for 2^60 strings.
    auto doubling = [](int levels) {
        // Object 1, the root, is the top level; the levels follow, then the string and the class.
        Value::Array objects = {"$null"};
        for (int i = 0; i < levels; ++i) {
            const int below = 2 + i;
            objects.push_back(Value::dictionary({{"NS.objects", Value::array({uid(below), uid(below)})},
                                                 {"$class", uid(levels + 2)}}));
        }
        objects.push_back("x");
        objects.push_back(classEntry("NSArray"));
        return objects;
    };
    auto unarchiver = KeyedUnarchiver::initForReadingFromData(archiveWithObjects(doubling(10)));
    ASSERT_TRUE(unarchiver);
    const Value small = unarchiver->decodeValue("root");
    ASSERT_FALSE(unarchiver->error()) << unarchiver->error()->localizedDescription();
    EXPECT_EQ(small[1][0][1][1][0][0][1][0][1][1], Value("x"));

    unarchiver = KeyedUnarchiver::initForReadingFromData(archiveWithObjects(doubling(60)));
    ASSERT_TRUE(unarchiver);
    EXPECT_TRUE(unarchiver->decodeValue("root").isNull());
    ASSERT_TRUE(unarchiver->error());
    EXPECT_NE(unarchiver->error()->localizedDescription().find("expand"), std::string::npos)
        << unarchiver->error()->localizedDescription();
}

TEST_F(KeyedArchiverTest, SetsArchiveAsNSSetAndDecodeOnlyWhereAllowed)
{
    const Value value = Value::dictionary({{"tags", Value::setOf({"b", 1, Value::dictionary({{"k", Value::setOf({2})}})})},
                                           {"list", Value::array({Value::setOf({})})}});
    KeyedArchiver archiver;
    archiver.encodeValue(value, "root");
    const Data bytes = archiver.encodedData();
    ASSERT_FALSE(bytes.empty()) << archiver.error()->localizedDescription();
    int sets = 0;
    const Value archive = foundation::readPropertyList(bytes);
    for (const Value& object : archive["$objects"].asArray())
        sets += object["$classname"] == Value("NSSet");
    EXPECT_EQ(sets, 1); // one class entry for all three sets

    const ClassSet withSets = {"NSDictionary", "NSArray", "NSSet", "NSString", "NSNumber"};
    auto unarchiver = KeyedUnarchiver::initForReadingFromData(bytes);
    ASSERT_TRUE(unarchiver);
    EXPECT_EQ(unarchiver->decodeValue("root", withSets), value);
    EXPECT_FALSE(unarchiver->error());

    // Sets are not property-list classes: asked for those alone, the archive is refused.
    unarchiver = KeyedUnarchiver::initForReadingFromData(bytes);
    EXPECT_TRUE(unarchiver->decodeValue("root").isNull());
    ASSERT_TRUE(unarchiver->error());
    EXPECT_NE(unarchiver->error()->localizedDescription().find("unexpected class 'NSSet'"), std::string::npos)
        << unarchiver->error()->localizedDescription();

    struct Case {
        const char* what;
        Value::Array objects;
        Value expected; // null: refused
    };
    const Case cases[] = {
        {"repeated members merge",
         {"$null", Value::dictionary({{"NS.objects", Value::array({uid(2), uid(3), uid(2)})}, {"$class", uid(4)}}), "a", "b",
          classEntry("NSSet")},
         Value::setOf({"a", "b"})},
        {"a mutable set",
         {"$null", Value::dictionary({{"NS.objects", Value::array({uid(2)})}, {"$class", uid(3)}}), "a", classEntry("NSMutableSet")},
         Value::setOf({"a"})},
        {"no member list", {"$null", Value::dictionary({{"$class", uid(2)}}), classEntry("NSSet")}, Value()},
        {"a member that is no reference",
         {"$null", Value::dictionary({{"NS.objects", Value::array({"a"})}, {"$class", uid(2)}}), classEntry("NSSet")}, Value()},
        {"a set holding itself",
         {"$null", Value::dictionary({{"NS.objects", Value::array({uid(1)})}, {"$class", uid(2)}}), classEntry("NSSet")}, Value()},
    };
    for (const auto& c : cases) {
        auto u = KeyedUnarchiver::initForReadingFromData(archiveWithObjects(c.objects));
        ASSERT_TRUE(u) << c.what;
        EXPECT_EQ(u->decodeValue("root", withSets), c.expected) << c.what;
        EXPECT_EQ(static_cast<bool>(u->error()), c.expected.isNull()) << c.what;
    }
}
