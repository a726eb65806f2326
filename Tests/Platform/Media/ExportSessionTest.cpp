#include "Platform/Media/ExportSession.h"

#include "Platform/Media/MediaError.h"
#include "Platform/Media/VideoSettings.h"
#include "Tests/Platform/Media/MovieFixtures.h"
#include "Tests/Support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

using namespace media;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> filesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A ten-frame movie of a second, to lay end to end.
fs::path sourceMovie(const testsupport::TempDir& dir)
{
    const auto path = dir / "source.mov";
    mediatest::MovieSpec recipe;
    recipe.fileType = AVFileTypeQuickTimeMovie;
    recipe.settings = mediatest::settingsFor(AVVideoCodecTypeH264);
    EXPECT_FALSE(mediatest::writeMovie(path, recipe));
    return path;
}

std::shared_ptr<AssetExportSession> sessionFor(const fs::path& source, const fs::path& output, int copies)
{
    auto session = AssetExportSession::init(AVAssetExportPresetPassthrough);
    auto asset = Asset::assetWithURL(foundation::URL::fileURLWithPath(source.string()));
    std::vector<AssetExportSession::Segment> segments;
    for (int i = 0; i < copies; ++i)
        segments.push_back({asset, Time::make(i, 1)});
    session->setSegments(std::move(segments));
    session->setOutputURL(foundation::URL::fileURLWithPath(output.string()));
    session->setOutputFileType(AVFileTypeQuickTimeMovie);
    return session;
}

// Exports and waits (bounded) for the handler.
void exportAndWait(const std::shared_ptr<AssetExportSession>& session)
{
    std::promise<void> done;
    session->exportAsynchronouslyWithCompletionHandler([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

std::string reasonOf(const foundation::ErrorPtr& error)
{
    return error ? error->localizedFailureReason().value_or("") : std::string();
}

} // namespace

// The session writes only where nothing is: not over a file, not through a link (one that
// leads nowhere included), and leaves nothing of its own behind.
TEST(AssetExportSession, WritesOnlyWhereNothingIsNotEvenALink)
{
    testsupport::TempDir dir;
    const auto source = sourceMovie(dir);
    fs::create_directories(dir / "elsewhere");
    const auto notes = dir.write("elsewhere/notes.txt", "the user's notes");
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
    } cases[] = {
        {"a file", [](const fs::path& p) { std::ofstream(p) << "the user's movie"; }},
        {"a link to a file", [&](const fs::path& p) { fs::create_symlink(notes, p); }},
        {"a link that leads nowhere", [&](const fs::path& p) { fs::create_symlink(dir / "elsewhere" / "new.mov", p); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto output = dir / "out.mov";
        c.make(output);
        const auto before = fs::is_symlink(output) ? fs::read_symlink(output).string() : contents(output);
        auto session = sessionFor(source, output, 2);
        exportAndWait(session);
        EXPECT_EQ(session->status(), AssetExportSession::Status::Failed);
        ASSERT_TRUE(session->error());
        EXPECT_EQ(session->error()->code(), AVErrorFileAlreadyExists);
        EXPECT_EQ(fs::is_symlink(output) ? fs::read_symlink(output).string() : contents(output), before);
        EXPECT_EQ(contents(notes), "the user's notes");
        EXPECT_EQ(filesIn(dir / "elsewhere"), std::vector<std::string>{"notes.txt"});
        EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"elsewhere", "out.mov", "source.mov"}));
        fs::remove(output);
    }
}

// Sessions that write one file at once never mix their bytes: one movie, whole, takes the
// name; the others fail as if it had been there first.
TEST(AssetExportSession, SessionsWritingOneFileAtOnceLeaveOneWholeMovie)
{
    testsupport::TempDir dir;
    const auto source = sourceMovie(dir);
    const auto output = dir / "out.mov";
    constexpr int Sessions = 4, Copies = 60;
    std::vector<std::shared_ptr<AssetExportSession>> sessions;
    std::vector<std::promise<void>> done(Sessions);
    for (int i = 0; i < Sessions; ++i)
        sessions.push_back(sessionFor(source, output, Copies));
    for (int i = 0; i < Sessions; ++i)
        sessions[i]->exportAsynchronouslyWithCompletionHandler([&done, i] { done[i].set_value(); });
    for (auto& d : done)
        ASSERT_EQ(d.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    int completed = 0;
    for (const auto& session : sessions) {
        if (session->status() == AssetExportSession::Status::Completed) {
            ++completed;
            continue;
        }
        EXPECT_EQ(session->status(), AssetExportSession::Status::Failed);
        ASSERT_TRUE(session->error());
        EXPECT_EQ(session->error()->code(), AVErrorFileAlreadyExists) << reasonOf(session->error());
    }
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(mediatest::probe(output)["streams"][0]["nb_frames"], std::to_string(10 * Copies));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"out.mov", "source.mov"}));
}

// A disk that fills up (here: a limit on file sizes) ends the session with an error that says
// so, and nothing of the movie stays.
TEST(AssetExportSession, AFullDiskFailsClearlyAndLeavesNothing)
{
    testsupport::TempDir dir;
    const auto source = sourceMovie(dir);
    const auto output = dir / "out.mov";
    const auto sourceSize = fs::file_size(source);
    auto session = sessionFor(source, output, 40);
    {
        rlimit saved {};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(sourceSize * 4);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        exportAndWait(session);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }
    EXPECT_EQ(session->status(), AssetExportSession::Status::Failed);
    EXPECT_NE(reasonOf(session->error()).find("larger than a file may be here: " + output.string()), std::string::npos)
        << reasonOf(session->error());
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"source.mov"});
}
