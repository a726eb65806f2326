#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MovaraAppKit/CrashReporter/MVCrashObjC.h"
#include "Tests/MovaraAppKit/CrashReporter/MachOImageFixture.h"

namespace {

// A 64-bit image with class metadata, laid out in one buffer as it would be mapped: one class
// "Widget" (instance methods -draw at 0x400 and -size at 0x440, class method +make at 0x480, and
// -again sharing -draw's implementation) and a category adding -extra at 0x4C0. Pointers in the
// metadata are run-time addresses (base + offset).
struct ObjCImage : testsupport::MachOImageFixture {
    void methodList(std::size_t o, std::vector<std::pair<std::size_t, std::uint64_t>> methods)
    {
        put32(o, 24);
        put32(o + 4, static_cast<std::uint32_t>(methods.size()));
        for (std::size_t i = 0; i < methods.size(); ++i) {
            ptr(o + 8 + i * 24, methods[i].first);       // name
            ptr(o + 8 + i * 24 + 16, methods[i].second); // implementation
        }
    }

    explicit ObjCImage(bool withCategories = true)
        : MachOImageFixture(0x2000)
    {
        segment("__TEXT", 0, 0x1000, { { "__text", 0x400, 0x200 } });
        std::vector<Section> data = { { "__objc_classlist", 0x1000, 8 }, { "__objc_const", 0x1100, 0x300 }, { "__objc_data", 0x1400, 0x100 } };
        if (withCategories)
            data.push_back({ "__objc_catlist", 0x1010, 8 });
        segment("__DATA", 0x1000, 0x1000, data);
        finish();
        // Names.
        text(0x800, "Widget");
        text(0x810, "draw");
        text(0x820, "size");
        text(0x830, "make");
        text(0x840, "extra");
        text(0x850, "again");
        ptr(0x1000, 0x1400); // class list
        ptr(0x1010, 0x1280); // category list
        // Read-only data: name at +24, base methods at +32.
        ptr(0x1100 + 24, 0x800);
        ptr(0x1100 + 32, 0x1200);
        ptr(0x1150 + 24, 0x800);
        ptr(0x1150 + 32, 0x1250);
        methodList(0x1200, { { 0x810, 0x400 }, { 0x820, 0x440 }, { 0x850, 0x400 } });
        methodList(0x1250, { { 0x830, 0x480 } });
        // Category: name, class, instance methods, class methods.
        ptr(0x1280 + 8, 0x1400);
        ptr(0x1280 + 16, 0x12C0);
        methodList(0x12C0, { { 0x840, 0x4C0 } });
        // Class and metaclass records, then their read-write data (realized).
        ptr(0x1400, 0x1430);
        ptr(0x1400 + 32, 0x1480);
        ptr(0x1430 + 32, 0x1490);
        put32(0x1480, 1u << 31);
        ptr(0x1480 + 8, 0x1100);
        put32(0x1490, 1u << 31);
        ptr(0x1490 + 8, 0x1150);
    }
};

struct Found {
    int calls = 0;
    std::string text;
    std::uint64_t imp = 0;
};

void remember(bool isClass, const char* cls, const char* method, std::uint64_t imp, void* context)
{
    auto* f = static_cast<Found*>(context);
    ++f->calls;
    f->text = std::string(isClass ? "+[" : "-[") + cls + " " + method + "]";
    f->imp = imp;
}

void rememberSymbol(std::uint64_t address, const char* name, void* context)
{
    auto* f = static_cast<Found*>(context);
    ++f->calls;
    f->text = name;
    f->imp = address;
}

struct Loaded {
    mvcrash_async_macho_t image;
    mvcrash_async_objc_cache_t cache;
    explicit Loaded(const ObjCImage& fixture)
    {
        EXPECT_EQ(mvcrash_nasync_macho_init(&image, MVCRASH_TASK_SELF, "fixture", fixture.at(0)), MVCRASH_ERR_NONE);
        mvcrash_async_objc_cache_init(&cache);
    }
    ~Loaded()
    {
        mvcrash_async_objc_cache_free(&cache);
        mvcrash_nasync_macho_free(&image);
    }
};

} // namespace

TEST(MVCrashObjC, MethodsAreFoundByTheirImplementationAddress)
{
    ObjCImage fixture;
    Loaded loaded(fixture);
    struct Case {
        std::uint64_t offset;
        mvcrash_error_t result;
        const char* text;
    };
    const Case cases[] = {
        { 0x404, MVCRASH_ERR_NONE, "-[Widget draw]" }, // shared with -again: the first met is reported
        { 0x450, MVCRASH_ERR_NONE, "-[Widget size]" },
        { 0x490, MVCRASH_ERR_NONE, "+[Widget make]" },
        { 0x4C8, MVCRASH_ERR_NONE, "-[Widget extra]" }, // from the category
        { 0x3FF, MVCRASH_ERR_NOT_FOUND, "" },
    };
    for (const auto& c : cases) {
        Found found;
        EXPECT_EQ(mvcrash_async_objc_find_method(&loaded.image, &loaded.cache, fixture.at(c.offset), remember, &found), c.result) << std::hex << c.offset;
        if (c.result == MVCRASH_ERR_NONE) {
            EXPECT_EQ(found.calls, 1);
            EXPECT_EQ(found.text, c.text);
        }
    }
    EXPECT_TRUE(loaded.cache.got_current_layout);
    Found named;
    ASSERT_EQ(mvcrash_async_macho_find_symbol(&loaded.image, 2, &loaded.cache, fixture.at(0x444), rememberSymbol, &named), MVCRASH_ERR_NONE);
    EXPECT_EQ(named.text, "-[Widget size]");
    EXPECT_EQ(named.imp, fixture.at(0x440));
    EXPECT_EQ(mvcrash_async_macho_find_symbol(&loaded.image, 0, &loaded.cache, fixture.at(0x444), rememberSymbol, &named), MVCRASH_ERR_NOT_FOUND);
}

TEST(MVCrashObjC, MissingSectionsUnrealizedClassesAndHostilePointers)
{
    {
        ObjCImage fixture(false);
        Loaded loaded(fixture);
        Found found;
        EXPECT_EQ(mvcrash_async_objc_find_method(&loaded.image, &loaded.cache, fixture.at(0x404), remember, &found), MVCRASH_ERR_NOT_FOUND) << "no category list";
    }
    {
        // Not realized: no methods, its metaclass is not visited, and the category over it makes
        // the whole walk report "not found".
        ObjCImage fixture;
        fixture.put32(0x1480, 0);
        Loaded loaded(fixture);
        Found found;
        EXPECT_EQ(mvcrash_async_objc_parse(&loaded.image, &loaded.cache, remember, &found), MVCRASH_ERR_NOT_FOUND);
        EXPECT_EQ(found.calls, 0);
    }
    struct Case {
        const char* what;
        void (*change)(ObjCImage&);
    };
    const Case cases[] = {
        { "a class pointer outside the image", [](ObjCImage& f) { f.put64(0x1000, 0x10); } },
        { "a method list claiming a million entries", [](ObjCImage& f) { f.put32(0x1200 + 4, 1000000); } },
        { "a method list outside the sections", [](ObjCImage& f) { f.put64(0x1100 + 32, 0x20); } },
        { "read-write data that is not mapped", [](ObjCImage& f) { f.put64(0x1400 + 32, 0x18); } },
        { "a method entry size too small", [](ObjCImage& f) { f.put32(0x1200, 8); } },
    };
    for (const auto& c : cases) {
        ObjCImage fixture;
        c.change(fixture);
        Loaded loaded(fixture);
        Found found;
        EXPECT_EQ(mvcrash_async_objc_parse(&loaded.image, &loaded.cache, remember, &found), MVCRASH_ERR_INVALID_DATA) << c.what;
    }
    mvcrash_async_objc_cache_t* none = nullptr;
    ObjCImage fixture;
    Loaded loaded(fixture);
    EXPECT_EQ(mvcrash_async_objc_parse(&loaded.image, none, remember, nullptr), MVCRASH_ERR_ACCESS_DENIED);
}
