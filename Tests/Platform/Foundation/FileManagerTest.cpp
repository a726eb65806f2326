#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/Foundation/FileManager.h"
#include "Tests/Support/TempDir.h"

using namespace foundation;
namespace fs = std::filesystem;

namespace {

URL fileURL(const fs::path& p, bool isDirectory = false) { return URL::fileURLWithPath(p.string(), isDirectory); }

std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Relative paths of everything the enumerator returns, in order.
std::vector<std::string> walk(const fs::path& root, unsigned options, const std::string& skipInto = {})
{
    std::vector<std::string> out;
    auto e = FileManager::defaultManager().enumeratorAtURL(fileURL(root, true), options);
    while (auto url = e.nextObject()) {
        auto relative = fs::path(url->path()).lexically_relative(root).string();
        out.push_back(relative + (url->hasDirectoryPath() ? "/" : ""));
        if (relative == skipInto)
            e.skipDescendants();
    }
    return out;
}

} // namespace

TEST(FileManager, ErrorsCarryCocoaCodesAndThePath)
{
    testsupport::TempDir dir;
    auto& fm = FileManager::defaultManager();
    const auto file = dir.write("file.txt", "original");
    const auto other = dir.write("other.txt", "other");
    const auto missing = dir / "missing";
    fs::create_directory(dir / "folder");

    struct Case {
        const char* what;
        std::function<bool(ErrorPtr*)> run;
        long code;
        fs::path path;
    };
    const Case cases[] = {
        { "attributes of a missing item", [&](ErrorPtr* e) { return fm.attributesOfItemAtPath(missing.string(), e).has_value(); },
          NSFileReadNoSuchFileError, missing },
        { "listing a missing folder", [&](ErrorPtr* e) { return fm.contentsOfDirectoryAtURL(fileURL(missing), 0, e).has_value(); },
          NSFileReadNoSuchFileError, missing },
        { "copying a missing item", [&](ErrorPtr* e) { return fm.copyItemAtURL(fileURL(missing), fileURL(dir / "x"), e); },
          NSFileReadNoSuchFileError, missing },
        { "removing a missing item", [&](ErrorPtr* e) { return fm.removeItemAtURL(fileURL(missing), e); },
          NSFileNoSuchFileError, missing },
        { "moving a missing item", [&](ErrorPtr* e) { return fm.moveItemAtURL(fileURL(missing), fileURL(dir / "x"), e); },
          NSFileNoSuchFileError, missing },
        { "copying onto an existing item", [&](ErrorPtr* e) { return fm.copyItemAtURL(fileURL(other), fileURL(file), e); },
          NSFileWriteFileExistsError, file },
        { "moving onto an existing item", [&](ErrorPtr* e) { return fm.moveItemAtURL(fileURL(other), fileURL(file), e); },
          NSFileWriteFileExistsError, file },
        { "linking onto an existing item", [&](ErrorPtr* e) { return fm.linkItemAtURL(fileURL(other), fileURL(file), e); },
          NSFileWriteFileExistsError, file },
        { "creating an existing folder", [&](ErrorPtr* e) { return fm.createDirectoryAtURL(fileURL(dir / "folder"), false, e); },
          NSFileWriteFileExistsError, dir / "folder" },
        { "creating a folder inside a file", [&](ErrorPtr* e) { return fm.createDirectoryAtURL(fileURL(file / "sub"), true, e); },
          NSFileWriteFileExistsError, file },
        { "creating a folder in a missing parent", [&](ErrorPtr* e) { return fm.createDirectoryAtURL(fileURL(missing / "sub"), false, e); },
          NSFileNoSuchFileError, missing / "sub" },
        { "replacing with a missing item", [&](ErrorPtr* e) { return fm.replaceItemAtURL(fileURL(file), fileURL(missing), e); },
          NSFileReadNoSuchFileError, missing },
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        EXPECT_FALSE(c.run(&error)) << c.what;
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->domain(), NSCocoaErrorDomain) << c.what;
        EXPECT_EQ(error->code(), c.code) << c.what;
        EXPECT_EQ(error->stringForKey(NSFilePathErrorKey), c.path.string()) << c.what;
        EXPECT_TRUE(error->underlyingError()) << c.what;
        EXPECT_FALSE(error->localizedDescription().empty()) << c.what;
    }
    // None of the failures touched what was there.
    EXPECT_EQ(contents(file), "original");
    EXPECT_EQ(contents(other), "other");
    EXPECT_TRUE(fm.createDirectoryAtURL(fileURL(dir / "folder"), true));
}

TEST(FileManager, WritingIntoAReadOnlyFolderIsAPermissionError)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions don't bind the superuser";
    testsupport::TempDir dir;
    const auto source = dir.write("a.txt", "a");
    fs::create_directory(dir / "locked");
    ::chmod((dir / "locked").c_str(), 0555);
    ErrorPtr error;
    EXPECT_FALSE(FileManager::defaultManager().copyItemAtURL(fileURL(source), fileURL(dir / "locked" / "a.txt"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), FileWriteNoPermissionError);
    ::chmod((dir / "locked").c_str(), 0755);
}

TEST(FileManager, EnumerationSkipsHiddenItemsAndDescendantsOnRequest)
{
    testsupport::TempDir dir;
    dir.write("b.txt", "");
    dir.write(".hidden", "");
    dir.write("a/inner.txt", "");
    dir.write("a/.secret", "");
    dir.write("a/deep/leaf", "");
    dir.write("c/x", "");
    fs::create_directory_symlink(dir.path(), dir / "loop"); // must not be followed

    EXPECT_EQ(walk(dir.path(), DirectoryEnumerationSkipsHiddenFiles),
              (std::vector<std::string> { "a/", "a/deep/", "a/deep/leaf", "a/inner.txt", "b.txt", "c/", "c/x", "loop" }));
    EXPECT_EQ(walk(dir.path(), 0, "a"),
              (std::vector<std::string> { ".hidden", "a/", "b.txt", "c/", "c/x", "loop" }));
    EXPECT_EQ(walk(dir.path(), DirectoryEnumerationSkipsHiddenFiles | DirectoryEnumerationSkipsSubdirectoryDescendants),
              (std::vector<std::string> { "a/", "b.txt", "c/", "loop" }));

    auto listing = FileManager::defaultManager().contentsOfDirectoryAtURL(fileURL(dir / "a", true), DirectoryEnumerationSkipsHiddenFiles);
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->size(), 2u);
    EXPECT_EQ((*listing)[0].lastPathComponent(), "deep");
    EXPECT_TRUE((*listing)[0].hasDirectoryPath());
    EXPECT_EQ((*listing)[1].lastPathComponent(), "inner.txt");
}

TEST(FileManager, EnumeratorReportsUnreadableFoldersToItsHandler)
{
    testsupport::TempDir dir;
    int reported = 0;
    auto e = FileManager::defaultManager().enumeratorAtURL(fileURL(dir / "missing", true), 0,
                                                           [&](const URL&, const ErrorPtr& error) {
                                                               ++reported;
                                                               EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
                                                               return true;
                                                           });
    EXPECT_FALSE(e.nextObject());
    EXPECT_EQ(reported, 1);
}

TEST(FileManager, ReplaceSwapsInTheNewItem)
{
    testsupport::TempDir dir;
    auto& fm = FileManager::defaultManager();
    struct Case {
        const char* what;
        std::function<void()> makeOriginal;
        std::function<void()> makeReplacement;
    };
    const fs::path original = dir / "doc";
    const fs::path replacement = dir / "doc.new";
    const Case cases[] = {
        { "file over file", [&] { dir.write("doc", "old"); }, [&] { dir.write("doc.new", "new"); } },
        { "folder over folder", [&] { dir.write("doc/a", "old"); dir.write("doc/b", "old"); },
          [&] { dir.write("doc.new/a", "new"); } },
        { "file where nothing was", [] {}, [&] { dir.write("doc.new", "new"); } },
    };
    for (const auto& c : cases) {
        fs::remove_all(original);
        fs::remove_all(replacement);
        c.makeOriginal();
        c.makeReplacement();
        ErrorPtr error;
        EXPECT_TRUE(fm.replaceItemAtURL(fileURL(original), fileURL(replacement), &error)) << c.what;
        EXPECT_FALSE(fs::exists(replacement)) << c.what;
        const auto check = fs::is_directory(original) ? original / "a" : original;
        EXPECT_EQ(contents(check), "new") << c.what;
        EXPECT_FALSE(fs::exists(original / "b")) << c.what;
    }
    // No leftovers of the swap beside the document.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string> { "doc" });
}

TEST(FileManager, CopyMoveAndLink)
{
    testsupport::TempDir dir;
    auto& fm = FileManager::defaultManager();
    dir.write("tree/file", "bytes");
    fs::create_symlink("file", dir / "tree" / "link");

    ASSERT_TRUE(fm.copyItemAtURL(fileURL(dir / "tree"), fileURL(dir / "copy")));
    EXPECT_EQ(contents(dir / "copy" / "file"), "bytes");
    EXPECT_TRUE(fs::is_symlink(dir / "copy" / "link"));
    EXPECT_EQ(fs::read_symlink(dir / "copy" / "link"), "file");

    ASSERT_TRUE(fm.moveItemAtURL(fileURL(dir / "copy"), fileURL(dir / "moved")));
    EXPECT_FALSE(fs::exists(dir / "copy"));
    EXPECT_EQ(contents(dir / "moved" / "file"), "bytes");

    const auto movie = dir.write("movie.mov", "frames");
    ASSERT_TRUE(fm.linkItemAtURL(fileURL(movie), fileURL(dir / "package" )));
    auto attributes = fm.attributesOfItemAtPath(movie.string());
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->referenceCount, 2u);
    EXPECT_EQ(contents(dir / "package"), "frames");

    ASSERT_TRUE(fm.linkItemAtURL(fileURL(dir / "tree"), fileURL(dir / "linkedTree")));
    EXPECT_EQ(fm.attributesOfItemAtPath((dir / "tree" / "file").string())->referenceCount, 2u);

    ASSERT_TRUE(fm.removeItemAtURL(fileURL(dir / "tree")));
    EXPECT_FALSE(fs::exists(dir / "tree"));
    EXPECT_EQ(contents(dir / "linkedTree" / "file"), "bytes");
}

TEST(FileManager, AttributesOfItems)
{
    testsupport::TempDir dir;
    const auto file = dir.write("f", "12345");
    fs::create_symlink("f", dir / "l");
    auto& fm = FileManager::defaultManager();
    auto a = fm.attributesOfItemAtPath(file.string());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, FileType::Regular);
    EXPECT_EQ(a->size, 5u);
    EXPECT_NEAR(a->modificationDate.timeIntervalSince1970(), Date::now().timeIntervalSince1970(), 60);
    EXPECT_EQ(fm.attributesOfItemAtPath((dir / "l").string())->type, FileType::SymbolicLink);
    EXPECT_EQ(fm.attributesOfItemAtPath(dir.path().string())->type, FileType::Directory);

    bool isDirectory = true;
    EXPECT_TRUE(fm.fileExistsAtPath(file.string(), &isDirectory));
    EXPECT_FALSE(isDirectory);
    fs::create_symlink("nowhere", dir / "dangling");
    EXPECT_FALSE(fm.fileExistsAtPath((dir / "dangling").string()));
}

TEST(FileManager, ContentsOfRegularFilesOnly)
{
    testsupport::TempDir dir;
    auto& fm = FileManager::defaultManager();
    const auto file = dir.write("f", std::string("a\0b\xFF", 4));
    fs::create_symlink("f", dir / "link");
    EXPECT_EQ(fm.contentsAtPath(file.string()), std::vector<std::uint8_t>({'a', 0, 'b', 0xFF}));
    EXPECT_EQ(fm.contentsAtPath((dir / "link").string()), fm.contentsAtPath(file.string()));
    EXPECT_EQ(fm.contentsAtPath(dir.write("empty", "").string()), std::vector<std::uint8_t>());

    // A folder would read as empty and a pipe without a writer would wait forever.
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    const std::pair<fs::path, long> refused[] = {
        { dir / "missing", NSFileReadNoSuchFileError },
        { dir / "folder", NSFileReadUnknownError },
        { dir / "pipe", NSFileReadUnknownError },
    };
    for (const auto& [path, code] : refused) {
        ErrorPtr error;
        EXPECT_FALSE(fm.contentsAtPath(path.string(), &error)) << path;
        ASSERT_TRUE(error) << path;
        EXPECT_EQ(error->code(), code) << path;
        EXPECT_EQ(error->stringForKey(NSFilePathErrorKey), path.string());
    }
}

TEST(FileManager, UserFoldersFollowXDGVariables)
{
    auto& fm = FileManager::defaultManager();
    const std::string saved = std::getenv("XDG_CACHE_HOME");
    testsupport::TempDir dir;
    ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
    auto caches = fm.URLForDirectory(SearchPathDirectory::Caches, true);
    ASSERT_TRUE(caches);
    EXPECT_EQ(caches->path(), (dir / "cache").string());
    EXPECT_TRUE(fs::is_directory(dir / "cache"));

    // A relative value is not a valid XDG folder: the default under $HOME is used.
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
    EXPECT_EQ(fm.URLForDirectory(SearchPathDirectory::Caches, false)->path(),
              std::string(std::getenv("HOME")) + "/.cache");
    ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);

    EXPECT_EQ(fm.temporaryDirectory().path(), std::string(std::getenv("TMPDIR")));
}

TEST(FileManager, ContentsPastTheReadersLimitAreRefusedBeforeAnythingIsRead)
{
    testsupport::TempDir dir;
    auto& fm = FileManager::defaultManager();
    // Sparse files: their size costs nothing on disk, only a reader that trusts it.
    auto sparse = [&](const char* name, off_t size) {
        const auto path = dir / name;
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        return path.string();
    };
    struct Case {
        const char* what;
        std::string path;
        std::uint64_t limit;
        bool reads;
    };
    const Case cases[] = {
        {"64 GB under the default limit", sparse("huge", off_t(64) << 30), FileManager::DefaultMaximumFileSize, false},
        {"one byte over the reader's limit", sparse("over", 4097), 4096, false},
        {"exactly the reader's limit", sparse("exact", 4096), 4096, true},
    };
    for (const auto& c : cases) {
        ErrorPtr error;
        const auto bytes = fm.contentsAtPath(c.path, &error, c.limit);
        EXPECT_EQ(bytes.has_value(), c.reads) << c.what;
        if (c.reads) {
            EXPECT_EQ(bytes->size(), c.limit) << c.what;
            continue;
        }
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->code(), foundation::NSFileReadTooLargeError) << c.what;
        EXPECT_EQ(error->stringForKey(NSFilePathErrorKey), c.path);
        // The error says what the limit is.
        const std::string limit = c.limit >= (1u << 20) ? std::to_string(c.limit >> 20) + " MB" : std::to_string(c.limit) + " bytes";
        EXPECT_NE(error->localizedDescription().find(limit), std::string::npos) << error->localizedDescription();
    }
}
