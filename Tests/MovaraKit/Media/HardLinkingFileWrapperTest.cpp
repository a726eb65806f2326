#include "MovaraKit/Media/HardLinkingFileWrapper.h"

#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

foundation::URL fileURL(const fs::path& p)
{
    return foundation::URL::fileURLWithPath(p.string());
}

void writeText(const fs::path& p, const std::string& text)
{
    std::ofstream(p, std::ios::binary) << text;
}

std::string readText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ino_t inode(const fs::path& p)
{
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct Fixture {
    testsupport::TempDir dir;
    fs::path movie = dir / "movie.mov";
    std::shared_ptr<HardLinkingFileWrapper> wrapper;
    Fixture()
    {
        writeText(movie, "movie bytes");
        wrapper = HardLinkingFileWrapper::initWithRegularFileURL(fileURL(movie));
    }
};

} // namespace

TEST(HardLinkingFileWrapper, WritingLinksToTheOriginalFile)
{
    Fixture f;
    ASSERT_TRUE(f.wrapper);
    EXPECT_EQ(f.wrapper->originalURL(), fileURL(f.movie));
    const auto contents = f.wrapper->regularFileContents();
    EXPECT_EQ(std::string(contents.begin(), contents.end()), "movie bytes");

    const auto saved = f.dir / "package" / "movie.mov";
    fs::create_directories(saved.parent_path());
    foundation::ErrorPtr error;
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(saved), FileWrapperWritingAtomic, std::nullopt, &error));
    EXPECT_EQ(inode(saved), inode(f.movie));
    EXPECT_EQ(fs::hard_link_count(f.movie), 2u);
    EXPECT_EQ(readText(saved), "movie bytes");
    EXPECT_EQ(f.wrapper->originalURL(), fileURL(saved));
    // Nothing staged is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(saved.parent_path()), fs::directory_iterator()), 1);
}

TEST(HardLinkingFileWrapper, TheNextWriteLinksToTheLastDestination)
{
    Fixture f;
    const auto first = f.dir / "first.mov", second = f.dir / "second.mov";
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(first), 0, std::nullopt));
    fs::remove(f.movie); // the remembered location is now `first`
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(second), 0, std::nullopt));
    EXPECT_EQ(inode(second), inode(first));
    EXPECT_EQ(f.wrapper->originalURL(), fileURL(second));
}

TEST(HardLinkingFileWrapper, AnExplicitOriginalLocationWinsWhenItHoldsTheSameFile)
{
    Fixture f;
    const auto elsewhere = f.dir / "elsewhere.mov";
    fs::create_hard_link(f.movie, elsewhere);
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(f.dir / "a.mov"), 0, std::nullopt));
    fs::remove(f.dir / "a.mov"); // the remembered location is gone: only the caller's can serve
    const auto out = f.dir / "b.mov";
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(out), 0, fileURL(elsewhere)));
    EXPECT_EQ(inode(out), inode(elsewhere));
}

TEST(HardLinkingFileWrapper, NeverLinksToAFileThatHoldsOtherBytes)
{
    const struct {
        const char* name;
        bool replaceOriginal; // else: the caller names an unrelated file as the original
    } cases[] = {{"the original was replaced by another file", true}, {"the caller names an unrelated file", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        const auto other = f.dir / "other.mov";
        writeText(other, "other bytes"); // same size, different bytes
        if (c.replaceOriginal)
            fs::rename(other, f.movie);
        const auto out = f.dir / "out.mov";
        ASSERT_TRUE(f.wrapper->writeToURL(fileURL(out), 0, c.replaceOriginal ? std::nullopt : std::optional(fileURL(other))));
        EXPECT_EQ(readText(out), "movie bytes");
        EXPECT_NE(inode(out), inode(c.replaceOriginal ? f.movie : other));
    }
}

TEST(HardLinkingFileWrapper, WritingOverTheFileItselfKeepsIt)
{
    Fixture f;
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(f.movie), 0, std::nullopt));
    EXPECT_EQ(readText(f.movie), "movie bytes");
    EXPECT_EQ(std::distance(fs::directory_iterator(f.dir.path()), fs::directory_iterator()), 1);
}

TEST(HardLinkingFileWrapper, ReplacesAnExistingDestination)
{
    Fixture f;
    const auto out = f.dir / "out.mov";
    writeText(out, "older save");
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(out), FileWrapperWritingAtomic, std::nullopt));
    EXPECT_EQ(inode(out), inode(f.movie));
}

TEST(HardLinkingFileWrapper, CopiesWhereItCannotLink)
{
    Fixture f;
    struct stat a {}, b {};
    if (::stat(f.dir.path().c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";
    const auto out = fs::path("/dev/shm") / ("hlfw-" + std::to_string(::getpid()) + ".mov");
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(out), 0, std::nullopt));
    EXPECT_EQ(readText(out), "movie bytes");
    EXPECT_EQ(fs::hard_link_count(f.movie), 1u);
    // Written again on that volume, it links to its copy there.
    const auto again = fs::path("/dev/shm") / ("hlfw-" + std::to_string(::getpid()) + "-2.mov");
    ASSERT_TRUE(f.wrapper->writeToURL(fileURL(again), 0, std::nullopt));
    EXPECT_EQ(inode(again), inode(out));
    fs::remove(out);
    fs::remove(again);
}

TEST(HardLinkingFileWrapper, FailuresAreReportedAndChangeNothing)
{
    Fixture f;
    foundation::ErrorPtr error;
    const auto missingFolder = f.dir / "no" / "such.mov";
    EXPECT_FALSE(f.wrapper->writeToURL(fileURL(missingFolder), 0, std::nullopt, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain);
    EXPECT_EQ(f.wrapper->originalURL(), fileURL(f.movie));

    const struct {
        fs::path path;
        long code;
    } unreadable[] = {{f.dir / "missing.mov", foundation::NSFileReadNoSuchFileError},
                      {f.dir.path(), foundation::NSFileReadUnknownError}};
    for (const auto& c : unreadable) {
        SCOPED_TRACE(c.path);
        foundation::ErrorPtr readError;
        EXPECT_EQ(HardLinkingFileWrapper::initWithRegularFileURL(fileURL(c.path), &readError), nullptr);
        ASSERT_TRUE(readError);
        EXPECT_EQ(readError->code(), c.code);
    }
}
