#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/Queue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Graphics/Image.h"
#include "Platform/Images/ImageDestination.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Object.h"
#include "Quintor/Model.h"
#include "Tests/Support/TempDir.h"

using foundation::URL;

namespace {

struct Posted {
    std::string name;
    std::optional<double> fps;
};

struct ModelTest : ::testing::Test {
    testsupport::TempDir dir;
    ModelPtr model = Model::init();
    std::shared_ptr<foundation::UndoManager> undo = foundation::UndoManager::init();
    std::vector<Posted> posted;
    std::vector<foundation::NotificationCenter::Token> tokens;

    void SetUp() override
    {
        model->setUndoManagerProvider([u = undo] { return u; });
        for (const std::string* name : { &MVRImageSequenceChanged, &MVRImageSequenceCleared, &MVRImageSequenceSorted,
                                         &MVRSpeedChanged }) {
            tokens.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
                *name, nullptr, nullptr, [this](const foundation::Notification& n) {
                    EXPECT_TRUE(dispatch::RunLoop::isMainThread()) << n.name;
                    posted.push_back({ n.name, MVRImageSequenceEstimatedFps(n) });
                }));
        }
    }

    // A grey JPEG without EXIF data, so that its capture date is its modification time
    // (seconds since 1970).
    URL jpeg(const std::string& name, int width = 8, int height = 6, double mtime = 1.7e9)
    {
        const auto path = dir / name;
        std::filesystem::create_directories(path.parent_path());
        auto image = graphics::Image::create(width, height, 8, 8, width, graphics::ColorSpace::createDeviceGray(), {},
                                             std::vector<uint8_t>(width * height, 128));
        auto destination = images::ImageDestination::createWithPath(path.string(), images::kUTTypeJPEG, 1);
        destination->addImage(image);
        EXPECT_TRUE(destination->finalize());
        const timespec times[2] = { { static_cast<time_t>(mtime), static_cast<long>(std::fmod(mtime, 1.0) * 1e9) },
                                    { static_cast<time_t>(mtime), static_cast<long>(std::fmod(mtime, 1.0) * 1e9) } };
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        return URL::fileURLWithPath(path.string());
    }
    URL file(const std::string& name, const std::string& bytes = "text")
    {
        return URL::fileURLWithPath(dir.write(name, bytes).string());
    }
    URL folder(const std::string& name) { return URL::fileURLWithPath((dir / name).string(), true); }

    // Adds on the main thread and runs the loop until the model's announcement.
    foundation::ErrorPtr add(const std::vector<URL>& urls)
    {
        foundation::ErrorPtr error;
        const std::size_t before = posted.size();
        if (!model->addImages(urls, &error))
            return error;
        EXPECT_TRUE(dispatch::RunLoop::main().runUntil([&] { return posted.size() > before; }, 10));
        return nullptr;
    }
    // Runs what is already queued for the main thread.
    void drain()
    {
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> result;
        for (const auto& source : model->imageSources())
            result.push_back(source->fileURL().lastPathComponent());
        return result;
    }
    static std::vector<std::string> namesOf(const std::vector<MVRImageSourcePtr>& sources)
    {
        std::vector<std::string> result;
        for (const auto& source : sources)
            result.push_back(source->fileURL().lastPathComponent());
        return result;
    }
};

} // namespace

TEST_F(ModelTest, RefusedAdditionsExplainWhyAndChangeNothing)
{
    ASSERT_EQ(add({ jpeg("a1.jpg"), jpeg("a2.jpg") }), nullptr);
    model->setPreviousImageSources({});
    posted.clear();

    const std::string noImage = "You must add at least one image.";
    const std::string sameSize = "The images in the sequence must all have the same dimensions.";
    struct Case { std::vector<URL> urls; std::string description; };
    const Case cases[] = {
        { {}, noImage },
        { { file("notes.txt"), file("clip.mov", "not a movie either"), folder("empty") }, noImage },
        { { URL::URLWithString("https://example.com/a.jpg").value() }, noImage },
        { { jpeg("portrait.jpg", 6, 8) }, sameSize },
        { { jpeg("same1.jpg"), jpeg("small.jpg", 4, 3) }, sameSize },
        // A name that promises an image with content the decoder does not know stops the
        // addition with that name, even though the files after it are fine.
        { { jpeg("good.jpg"), file("broken.jpg", "definitely not a JPEG"), jpeg("later.jpg") },
          "File \u201c" "broken.jpg\u201d contains an unknown image type." },
    };
    std::filesystem::create_directories(dir / "empty");
    for (const auto& c : cases) {
        foundation::ErrorPtr error;
        EXPECT_FALSE(model->addImages(c.urls, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), foundation::NSCocoaErrorDomain);
        EXPECT_EQ(error->code(), 0);
        EXPECT_EQ(error->localizedDescription(), c.description);
    }
    drain();
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(names(), (std::vector<std::string> { "a1.jpg", "a2.jpg" }));
    EXPECT_TRUE(model->previousImageSources().empty());
    EXPECT_DOUBLE_EQ(model->fps(), 30.0);
}

TEST_F(ModelTest, ASequenceNeedsMoreThanOneImage)
{
    const URL first = jpeg("first.jpg");
    foundation::ErrorPtr error;
    EXPECT_FALSE(model->addImages({ first }, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "You must start with more than one image.");
    EXPECT_TRUE(model->imageSources().empty());

    // One image is enough once one is there.
    model->setImageSources({ MVRImageSource::initWithFileURL(first) });
    EXPECT_EQ(add({ jpeg("second.jpg") }), nullptr);
    EXPECT_EQ(names(), (std::vector<std::string> { "first.jpg", "second.jpg" }));
}

TEST_F(ModelTest, FolderAddsItsVisibleImagesInNaturalNameOrder)
{
    // All taken at the same second and ordered by date: the folder's natural name order is
    // what remains (a plain byte order would put IMG_10 before IMG_2).
    model->setSortItemTag(Model::SortTag(2000));
    jpeg("roll/IMG_10.jpg");
    jpeg("roll/IMG_2.jpg");
    jpeg("roll/img_1.jpg");
    jpeg("roll/.hidden.jpg");
    jpeg("roll/nested/IMG_3.jpg");
    file("roll/notes.txt");
    const URL loose = jpeg("loose.jpg");

    ASSERT_EQ(add({ folder("roll"), loose }), nullptr);
    EXPECT_EQ(names(), (std::vector<std::string> { "img_1.jpg", "IMG_2.jpg", "IMG_10.jpg", "loose.jpg" }));
}

TEST_F(ModelTest, OrdersByNameOrByDateKeepingTiesInPlace)
{
    // Given out of order; c and a share a capture date.
    ASSERT_EQ(add({ jpeg("IMG_10.jpg", 8, 6, 1000), jpeg("c.jpg", 8, 6, 1002), jpeg("IMG_2.jpg", 8, 6, 1003),
                    jpeg("a.jpg", 8, 6, 1002) }),
              nullptr);
    EXPECT_EQ(names(), (std::vector<std::string> { "a.jpg", "c.jpg", "IMG_2.jpg", "IMG_10.jpg" }));

    posted.clear();
    model->setSortItemTag(Model::SortTag(2000));
    model->sortImageSources(true);
    EXPECT_EQ(names(), (std::vector<std::string> { "IMG_10.jpg", "a.jpg", "c.jpg", "IMG_2.jpg" }));
    model->setSortItemTag(Model::SortTag::byName);
    model->sortImageSources(false);
    EXPECT_EQ(names(), (std::vector<std::string> { "a.jpg", "c.jpg", "IMG_2.jpg", "IMG_10.jpg" }));
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, MVRImageSequenceSorted);

    // New images take their places among the old ones; same-date images keep list order.
    model->setSortItemTag(Model::SortTag(2000));
    ASSERT_EQ(add({ jpeg("b.jpg", 8, 6, 1002), jpeg("z.jpg", 8, 6, 999) }), nullptr);
    EXPECT_EQ(names(), (std::vector<std::string> { "z.jpg", "IMG_10.jpg", "a.jpg", "c.jpg", "b.jpg", "IMG_2.jpg" }));

    model->setImageSources({});
    posted.clear();
    model->sortImageSources(true);
    EXPECT_TRUE(posted.empty());
}

TEST_F(ModelTest, EstimatesTheFrameRateOnlyForAnEmptySequence)
{
    struct Case { double interval; double fps; };
    for (const Case& c : { Case { 0.5, 2.0 }, Case { 0.1, 10.0 }, Case { 5.0, 24.0 }, Case { 0.001, 24.0 } }) {
        SCOPED_TRACE(c.interval);
        model->setImageSources({});
        posted.clear();
        const std::string run = std::to_string(c.interval);
        ASSERT_EQ(add({ jpeg(run + "/1.jpg", 8, 6, 5000), jpeg(run + "/2.jpg", 8, 6, 5000 + c.interval),
                        jpeg(run + "/3.jpg", 8, 6, 5000 + 2 * c.interval) }),
                  nullptr);
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].name, MVRImageSequenceChanged);
        ASSERT_TRUE(posted[0].fps);
        EXPECT_NEAR(*posted[0].fps, c.fps, 1e-9);
    }

    posted.clear();
    ASSERT_EQ(add({ jpeg("later.jpg") }), nullptr);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, MVRImageSequenceChanged);
    EXPECT_FALSE(posted[0].fps);
    EXPECT_DOUBLE_EQ(model->fps(), 30.0); // the estimate is the preview's to apply
}

TEST_F(ModelTest, UndoAndRedoOfAnAdditionRestoreTheListsUnderOneName)
{
    // The preview registers "Add Items" once its movie is built, with the list from before.
    auto addAsThePreviewDoes = [&](std::vector<URL> urls) {
        ASSERT_EQ(add(urls), nullptr);
        model->registerImageSourcesUndo(model->previousImageSources(), "Add Items");
        model->setPreviousImageSources({});
        drain();
    };
    addAsThePreviewDoes({ jpeg("1.jpg"), jpeg("2.jpg") });
    addAsThePreviewDoes({ jpeg("3.jpg") });
    ASSERT_EQ(names().size(), 3u);

    posted.clear();
    undo->undo();
    EXPECT_EQ(names(), (std::vector<std::string> { "1.jpg", "2.jpg" }));
    EXPECT_EQ(undo->redoActionName(), "Add Items");
    undo->undo();
    EXPECT_TRUE(names().empty());
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].name, MVRImageSequenceChanged);
    EXPECT_FALSE(posted[0].fps);
    EXPECT_EQ(posted[1].name, MVRImageSequenceCleared);

    posted.clear();
    undo->redo();
    EXPECT_EQ(names(), (std::vector<std::string> { "1.jpg", "2.jpg" }));
    EXPECT_EQ(undo->undoActionName(), "Add Items");
    undo->redo();
    EXPECT_EQ(names(), (std::vector<std::string> { "1.jpg", "2.jpg", "3.jpg" }));
    EXPECT_EQ(undo->undoActionName(), "Add Items");
    // Redo into the empty sequence estimated the frame rate again; the next one did not.
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_TRUE(posted[0].fps);
    EXPECT_FALSE(posted[1].fps);
    EXPECT_TRUE(model->previousImageSources().empty());
}

TEST_F(ModelTest, UndoOfASortRestoresTheEarlierOrder)
{
    ASSERT_EQ(add({ jpeg("b.jpg", 8, 6, 10), jpeg("a.jpg", 8, 6, 20) }), nullptr);
    drain();
    // As the main window sorts: keep the list, change the tag, re-order with undo.
    const auto before = model->imageSources();
    model->setPreviousSortItemTag(model->sortItemTag());
    model->setSortItemTag(Model::SortTag(2000));
    model->sortImageSources(true);
    model->registerImageSourcesUndo(before, "Sort by Date");
    drain();
    EXPECT_EQ(names(), (std::vector<std::string> { "b.jpg", "a.jpg" }));

    undo->undo();
    EXPECT_EQ(names(), (std::vector<std::string> { "a.jpg", "b.jpg" }));
    undo->redo();
    EXPECT_EQ(names(), (std::vector<std::string> { "b.jpg", "a.jpg" }));
    EXPECT_EQ(undo->undoActionName(), "Sort by Date");
}

TEST_F(ModelTest, FrameRateChangesAreUndoableAndAnnounced)
{
    for (double refused : { 0.0, -5.0, std::nan(""), double(INFINITY) }) {
        model->setFps(refused);
        EXPECT_DOUBLE_EQ(model->fps(), 30.0);
    }
    EXPECT_FALSE(undo->canUndo());
    EXPECT_TRUE(posted.empty());

    model->setFps(12.5);
    drain();
    EXPECT_EQ(undo->undoActionName(), "FPS Change");
    undo->undo();
    EXPECT_DOUBLE_EQ(model->fps(), 30.0);
    undo->redo();
    EXPECT_DOUBLE_EQ(model->fps(), 12.5);
    EXPECT_EQ(posted.size(), 3u);
    for (const auto& p : posted)
        EXPECT_EQ(p.name, MVRSpeedChanged);

    // The same value again still counts as a change.
    model->setFps(12.5);
    drain();
    EXPECT_EQ(posted.size(), 4u);
    undo->undo();
    EXPECT_DOUBLE_EQ(model->fps(), 12.5);
    EXPECT_TRUE(undo->canUndo());
}

TEST_F(ModelTest, FrameRateSetWithRegistrationOffLeavesTheUndoStackAlone)
{
    // The preview applies the estimate this way; the entry below must keep its name.
    model->setFps(20);
    drain();
    undo->disableUndoRegistration();
    model->setFps(29.97);
    undo->enableUndoRegistration();
    drain();
    EXPECT_DOUBLE_EQ(model->fps(), 29.97);
    EXPECT_EQ(posted.size(), 2u);
    EXPECT_EQ(undo->undoActionName(), "FPS Change");
    undo->undo();
    EXPECT_DOUBLE_EQ(model->fps(), 30.0);
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(ModelTest, KeysAreObservableAndSettableByName)
{
    std::vector<std::string> changed;
    std::vector<foundation::Observable::Token> observations;
    for (const char* key : { "fps", "sortItemTag", "playDirectionTag" })
        observations.push_back(model->addObserver(key, foundation::KeyValueObservingOptionNew,
                                                  [&changed, key](const foundation::KeyValueChange&) { changed.push_back(key); }));

    // As a bound slider or menu would set them.
    model->setValueForKey("fps", 15);
    model->setValueForKey("playDirectionTag", ui::tagValue(Model::PlayDirectionTag::reverse));
    model->setValueForKey("sortItemTag", 2000.0);
    EXPECT_DOUBLE_EQ(model->fps(), 15.0);
    EXPECT_EQ(model->playDirectionTag(), Model::PlayDirectionTag::reverse);
    EXPECT_EQ(model->sortItemTag(), Model::SortTag(2000));
    EXPECT_EQ(changed, (std::vector<std::string> { "fps", "playDirectionTag", "sortItemTag" }));
    EXPECT_EQ(foundation::anyTo<double>(model->valueForKey("fps")), 15.0);
    // A bound menu reads the tags back as the integers it holds.
    EXPECT_EQ(foundation::anyTo<long>(model->valueForKey("sortItemTag")), 2000);
    EXPECT_EQ(foundation::anyTo<long>(model->valueForKey("playDirectionTag")), 1001);

    changed.clear();
    model->setValueForKey("fps", 0.0); // refused: observers hear nothing
    EXPECT_TRUE(changed.empty());
}

TEST_F(ModelTest, AdditionsFromBackgroundQueuesNeverMixSizes)
{
    // Two drops in quick succession onto an empty sequence, each valid on its own.
    const std::vector<URL> landscape { jpeg("l1.jpg", 8, 6), jpeg("l2.jpg", 8, 6) };
    const std::vector<URL> portrait { jpeg("p1.jpg", 6, 8), jpeg("p2.jpg", 6, 8) };
    std::atomic<int> done = 0;
    foundation::ErrorPtr errors[2];
    bool results[2] = {};
    auto queue = dispatch::Queue::global(dispatch::QoS::UserInitiated);
    for (int i = 0; i < 2; ++i) {
        queue->async([&, i] {
            results[i] = model->addImages(i == 0 ? landscape : portrait, &errors[i]);
            ++done;
        });
    }
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return done == 2 && !posted.empty(); }, 10));
    drain();

    ASSERT_NE(results[0], results[1]);
    const int refused = results[0] ? 1 : 0;
    ASSERT_TRUE(errors[refused]);
    EXPECT_EQ(errors[refused]->localizedDescription(), "The images in the sequence must all have the same dimensions.");
    EXPECT_EQ(names().size(), 2u);
    const auto size = model->imageSources().front()->size();
    for (const auto& source : model->imageSources())
        EXPECT_EQ(source->size(), size);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].name, MVRImageSequenceChanged);
}

// Run as the superuser, permission bits bind nobody; the additions are then made by a child
// process that has given its rights up, and its answer comes back through a pipe.
std::string refusalWithoutPrivileges(const ModelPtr& model, const std::vector<URL>& urls)
{
    auto describe = [&] {
        foundation::ErrorPtr error;
        if (model->addImages(urls, &error))
            return std::string("added");
        return error ? error->localizedDescription() : std::string("no error");
    };
    if (::geteuid() != 0)
        return describe();
    // The folders above the test's own (made private by the test run) must let the child pass.
    std::vector<std::pair<std::filesystem::path, mode_t>> opened;
    for (std::filesystem::path above = std::filesystem::path(urls.back().path()).parent_path();
         above.has_relative_path(); above = above.parent_path()) {
        struct stat st {};
        if (::stat(above.c_str(), &st) == 0 && !(st.st_mode & S_IXOTH)) {
            opened.emplace_back(above, st.st_mode & 07777);
            ::chmod(above.c_str(), (st.st_mode & 07777) | S_IXOTH);
        }
    }
    struct Restore {
        decltype(opened)& modes;
        ~Restore()
        {
            for (const auto& [path, mode] : modes)
                ::chmod(path.c_str(), mode);
        }
    } restore { opened };
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string answer = (::setgid(65534) == 0 && ::setuid(65534) == 0) ? describe() : "kept privileges";
        [[maybe_unused]] ssize_t written = ::write(fds[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        answer.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return answer;
}

TEST_F(ModelTest, APhotoOrFolderThatCannotBeReadIsNamedWithTheReason)
{
    const URL a = jpeg("a.jpg"), b = jpeg("b.jpg"), c = jpeg("c.jpg"), locked = jpeg("locked.jpg");
    jpeg("closed/IMG_1.jpg");
    jpeg("closed/IMG_2.jpg");
    ::chmod(dir.path().c_str(), 0755);
    for (const URL& url : { a, b, c })
        ::chmod(url.path().c_str(), 0644);
    ::chmod(locked.path().c_str(), 0);
    ::chmod((dir / "closed").c_str(), 0);

    struct Case { std::vector<URL> urls; std::string description; };
    const Case cases[] = {
        { { a, locked },
          "The file \u201clocked.jpg\u201d couldn\u2019t be opened because you don\u2019t have permission to view it." },
        { { b, URL::fileURLWithPath((dir / "gone.jpg").string()) },
          "The file \u201cgone.jpg\u201d couldn\u2019t be opened because it is no longer there." },
        { { c, folder("closed") },
          "The file \u201c" "closed\u201d couldn\u2019t be opened because you don\u2019t have permission to view it." },
    };
    for (const auto& c : cases)
        EXPECT_EQ(refusalWithoutPrivileges(model, c.urls), c.description);
    ::chmod((dir / "closed").c_str(), 0755);
    EXPECT_TRUE(model->imageSources().empty());
}
