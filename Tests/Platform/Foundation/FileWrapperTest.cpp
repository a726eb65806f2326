#include "Platform/Foundation/FileWrapper.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Tests/Support/TempDir.h"

using foundation::FileWrapper;
using foundation::URL;

namespace {

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

foundation::Data bytes(const std::string& s)
{
    return foundation::Data(s.begin(), s.end());
}

} // namespace

TEST(FileWrapper, AFolderWrittenAndReadBackKeepsNamesAndBytes)
{
    testsupport::TempDir dir;
    auto package = FileWrapper::initDirectoryWithFileWrappers();
    package->addRegularFileWithContents(bytes("top"), "a.txt");
    auto sub = FileWrapper::initDirectoryWithFileWrappers({{"b.bin", FileWrapper::initRegularFileWithContents(bytes("inner"))}});
    sub->setPreferredFilename("Sub");
    package->addFileWrapper(sub);
    // A taken name gets a free one; an unusable one is replaced.
    EXPECT_EQ(package->addRegularFileWithContents(bytes("second"), "a.txt"), "1__a.txt");
    EXPECT_EQ(package->addRegularFileWithContents(bytes("x"), "../escape"), "file");

    const URL url = URL::fileURLWithPath((dir / "pkg").string());
    foundation::ErrorPtr error;
    ASSERT_TRUE(package->writeToURL(url, 0, std::nullopt, &error));
    EXPECT_EQ(slurp(dir / "pkg" / "a.txt"), "top");
    EXPECT_EQ(slurp(dir / "pkg" / "Sub" / "b.bin"), "inner");
    EXPECT_FALSE(std::filesystem::exists(dir / "escape"));

    auto read = FileWrapper::initWithURL(url, foundation::FileWrapperReadingImmediate, &error);
    ASSERT_TRUE(read && read->isDirectory());
    EXPECT_EQ(read->preferredFilename(), "pkg");
    EXPECT_EQ(*read->fileWrapperNamed("Sub")->fileWrapperNamed("b.bin")->regularFileContents(), bytes("inner"));
    EXPECT_FALSE(read->fileWrapperNamed("a.txt")->isDirectory());
    EXPECT_FALSE(read->fileWrapperNamed("Sub")->regularFileContents());
}

TEST(FileWrapper, WritingReplacesWholeAndAFailureLeavesWhatWasThere)
{
    testsupport::TempDir dir;
    const URL url = URL::fileURLWithPath((dir / "pkg").string());
    auto first = FileWrapper::initDirectoryWithFileWrappers({{"old.txt", FileWrapper::initRegularFileWithContents(bytes("1"))}});
    ASSERT_TRUE(first->writeToURL(url, 0, std::nullopt));
    auto second = FileWrapper::initDirectoryWithFileWrappers({{"new.txt", FileWrapper::initRegularFileWithContents(bytes("2"))}});
    ASSERT_TRUE(second->writeToURL(url, 0, std::nullopt));
    EXPECT_FALSE(std::filesystem::exists(dir / "pkg" / "old.txt"));
    EXPECT_EQ(slurp(dir / "pkg" / "new.txt"), "2");

    // A child that can't be written (a name that isn't one path component) fails the write.
    auto bad = FileWrapper::initDirectoryWithFileWrappers({{"a/b", FileWrapper::initRegularFileWithContents(bytes("3"))}});
    foundation::ErrorPtr error;
    EXPECT_FALSE(bad->writeToURL(url, 0, std::nullopt, &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(slurp(dir / "pkg" / "new.txt"), "2");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary is left behind";
}

TEST(FileWrapper, ReadingTakesNoLinksOrSpecialFiles)
{
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir / "pkg");
    dir.write("secret", "outside");
    dir.write("pkg/real.txt", "inside");
    std::filesystem::create_symlink(dir / "secret", dir / "pkg" / "link.txt");
    auto read = FileWrapper::initWithURL(URL::fileURLWithPath((dir / "pkg").string()), 0);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->fileWrapperNamed("real.txt"));
    EXPECT_FALSE(read->fileWrapperNamed("link.txt"));
    foundation::ErrorPtr error;
    EXPECT_FALSE(FileWrapper::initWithURL(URL::fileURLWithPath((dir / "missing").string()), 0, &error));
    EXPECT_TRUE(error);
}

TEST(FileWrapper, FilesPastTheSizeLimitAreRefusedNotRead)
{
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir / "package");
    std::ofstream(dir / "package" / "small") << "ok";
    std::ofstream(dir / "package" / "huge") << "x";
    // Sparse: free on disk, only a reader that trusts its size would pay for it.
    std::filesystem::resize_file(dir / "package" / "huge", std::uintmax_t(3) << 30);

    foundation::ErrorPtr error;
    EXPECT_FALSE(FileWrapper::initWithURL(URL::fileURLWithPath((dir / "package").string()), foundation::FileWrapperReadingImmediate, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), foundation::NSFileReadTooLargeError);
    EXPECT_NE(error->localizedDescription().find("huge"), std::string::npos) << error->localizedDescription();

    // Read on demand: the small file reads, the huge one has no contents.
    auto lazy = FileWrapper::initWithURL(URL::fileURLWithPath((dir / "package").string()), 0, &error);
    ASSERT_TRUE(lazy);
    EXPECT_EQ(lazy->fileWrapperNamed("small")->regularFileContents(), bytes("ok"));
    EXPECT_FALSE(lazy->fileWrapperNamed("huge")->regularFileContents());
}
