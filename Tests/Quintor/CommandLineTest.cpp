// The command line: its options, and the program itself run on tiny photos, checked by its
// exit status, by what it prints and by reading the movie it writes back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Quintor/CommandLine.h"
#include "Tests/Quintor/MainWindowTestSupport.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// ---- options ---------------------------------------------------------------------------------

std::optional<CommandLineOptions> parse(const std::vector<std::string>& arguments, std::string* error = nullptr)
{
    return parseCommandLine(arguments, error);
}

TEST(CommandLineOptions, ReadsEveryOption)
{
    std::string error;
    auto options = parse({"--export", "out.mov", "--format=prores4444", "--fps", "25", "--speed", "12.5", "--sort", "date",
                          "--reverse", "--trim", "0.25:0.75", "--snapshot", "window.png", "a.jpg", "--", "-b.jpg"},
                         &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->inputs, (std::vector<std::string> {"a.jpg", "-b.jpg"}));
    EXPECT_EQ(options->exportPath, "out.mov");
    EXPECT_EQ(options->format, "prores4444");
    EXPECT_EQ(options->frameRate, CommandLineFrameRate::fps25);
    EXPECT_EQ(options->speed, 12.5);
    EXPECT_EQ(options->sort, CommandLineSort::date);
    EXPECT_TRUE(options->reverse);
    EXPECT_EQ(options->trim, std::make_pair(0.25, 0.75));
    EXPECT_EQ(options->snapshotPath, "window.png");

    // The ends of the speed range, and a rate in whole thousandths.
    for (const char* speed : {"0.001", "0.1", "240"})
        EXPECT_TRUE(parse({"a.jpg", "--speed", speed})) << speed;

    auto plain = parse({"photos"});
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->exportPath || plain->format || plain->speed || plain->sort || plain->trim || plain->snapshotPath);
    EXPECT_EQ(plain->frameRate, CommandLineFrameRate::source);
    EXPECT_FALSE(plain->reverse);

    // Help and version need no photos.
    EXPECT_TRUE(parse({"--help"}).value().help);
    EXPECT_TRUE(parse({"--version"}).value().version);
}

TEST(CommandLineOptions, RefusesWhatItCannotUnderstand)
{
    const struct {
        std::vector<std::string> arguments;
        const char* error;
    } cases[] = {
        {{}, "no photos or folders given"},
        {{"--export", "out.mp4"}, "no photos or folders given"},
        {{"--bogus", "a.jpg"}, "unknown option '--bogus'"},
        {{"a.jpg", "--export"}, "option '--export' needs a value"},
        {{"a.jpg", "--format", "vp9", "--export", "o.mp4"}, "--format must be h264, hevc, prores422 or prores4444"},
        {{"a.jpg", "--fps", "60", "--export", "o.mp4"}, "--fps must be 24, 25, 30 or source"},
        {{"a.jpg", "--speed", "0"}, "--speed must be a number of photos per second from 0.001 to 240"},
        {{"a.jpg", "--speed", "241"}, "--speed must be"},
        // Rates the movie cannot time: below a thousandth, or finer than one.
        {{"a.jpg", "--speed", "0.0001"}, "from 0.001 to 240, in steps of 0.001"},
        {{"a.jpg", "--speed", "0.0015"}, "from 0.001 to 240, in steps of 0.001"},
        {{"a.jpg", "--speed", "12.3456"}, "--speed must be"},
        {{"a.jpg", "--speed", "fast"}, "--speed must be"},
        {{"a.jpg", "--speed", "nan"}, "--speed must be"},
        {{"a.jpg", "--sort", "size"}, "--sort must be name or date"},
        {{"a.jpg", "--trim", "0.5"}, "--trim must be START:END"},
        {{"a.jpg", "--trim", "0.6:0.4"}, "--trim must be START:END"},
        {{"a.jpg", "--trim", "0.5:0.5"}, "--trim must be START:END"},
        {{"a.jpg", "--trim", "-0.1:0.5"}, "--trim must be START:END"},
        {{"a.jpg", "--trim", "0:1.5"}, "--trim must be START:END"},
        {{"a.jpg", "--snapshot", "window.jpg"}, "--snapshot needs a file name ending in .png"},
        {{"a.jpg", "--format", "h264"}, "--format and --fps need --export"},
        {{"a.jpg", "--fps", "24"}, "--format and --fps need --export"},
        // The save panel would add the container's extension; the user hears about it instead.
        {{"a.jpg", "--export", "out.mov", "--format", "h264"}, "a movie in that format is a .mp4 file"},
        {{"a.jpg", "--export", "out.mp4", "--format", "prores422"}, "a movie in that format is a .mov file"},
        {{"a.jpg", "--export", "out"}, "a movie in that format is a .mp4 file"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parse(c.arguments, &error)) << testing::PrintToString(c.arguments);
        EXPECT_NE(error.find(c.error), std::string::npos) << testing::PrintToString(c.arguments) << " gave: " << error;
    }
}

TEST(CommandLineOptions, FormatFollowsTheExtensionUnlessGiven)
{
    const struct {
        std::vector<std::string> arguments;
        std::string format;
    } cases[] = {
        {{"a", "--export", "o.mp4"}, "h264"},
        {{"a", "--export", "o.MP4"}, "h264"},
        {{"a", "--export", "o.mov"}, "prores422"},
        {{"a", "--export", "o.mp4", "--format", "hevc"}, "hevc"},
        {{"a", "--export", "o.mov", "--format", "prores4444"}, "prores4444"},
    };
    for (const auto& c : cases) {
        auto options = parse(c.arguments);
        ASSERT_TRUE(options) << testing::PrintToString(c.arguments);
        EXPECT_EQ(effectiveFormat(*options).name, c.format) << testing::PrintToString(c.arguments);
    }
}

// ---- the program -----------------------------------------------------------------------------

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

fs::path programPath()
{
    // The test binary lives in Tests/ of the build tree, the program one level up.
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "quintor";
}

// What /proc tells of a thread of `pid`: its current system call, or a line of its status.
std::string procText(pid_t pid, pid_t thread, const char* file)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/" + file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The child `pid` has not ended (it is left for the caller to reap).
bool stillRunning(pid_t pid)
{
    siginfo_t info {};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// The main thread of `pid` is blocked writing to its stderr.
bool mainThreadBlockedOnStderr(pid_t pid)
{
    return procText(pid, pid, "syscall").rfind(std::to_string(SYS_write) + " 0x2 ", 0) == 0;
}

// `signal` was taken by the program's signal thread, which has handed it to the main loop and
// waits for the next one: it is no longer pending, and a thread is back in sigwait.
bool signalHandedOn(pid_t pid, int signal)
{
    std::istringstream status(procText(pid, pid, "status"));
    unsigned long long pending = ~0ull;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("ShdPnd:", 0) == 0)
            pending = std::stoull(line.substr(7), nullptr, 16);
    if (pending & (1ull << (signal - 1)))
        return false;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        if (procText(pid, std::stoi(task.path().filename().string()), "syscall").rfind(std::to_string(SYS_rt_sigtimedwait) + " ", 0) == 0)
            return true;
    return false;
}

// The names in a folder that begin with a prefix (all of them for none): what a job left there.
std::vector<std::string> namesIn(const fs::path& folder, const std::string& prefix = "")
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

class CommandLineProcess : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(programPath())) << programPath();
        ASSERT_TRUE(fs::exists(programPath().parent_path() / "Resources/Info.plist"))
            << "the program's resources are not built beside it";
    }

    // Runs the program with `arguments` in the test's folder, waiting at most `seconds`.
    // `whileRunning` may act on the running process (its pid and the path of its stderr).
    // `environment` ("NAME=value") replaces the test's own variables of those names.
    // With `holdStderr`, stderr is a pipe that is full before the program starts: the program's
    // first message holds its main thread (which drives every job) until `whileRunning` has
    // returned and the pipe is read; the messages then come in `err` as usual.
    ProgramRun run(const std::vector<std::string>& arguments, double seconds = 120,
            const std::function<void(pid_t, const fs::path&)>& whileRunning = {},
            const std::vector<std::string>& environment = {}, bool holdStderr = false)
    {
        const fs::path out = m_dir / ".stdout", err = m_dir / ".stderr";
        int held[2] = {-1, -1};
        size_t filler = 0;
        if (holdStderr) {
            if (::pipe2(held, O_CLOEXEC) != 0) {
                ADD_FAILURE() << "cannot make a pipe";
                return {};
            }
            ::fcntl(held[1], F_SETPIPE_SZ, 4096);
            ::fcntl(held[1], F_SETFL, O_NONBLOCK);
            const std::string block(4096, '#');
            for (ssize_t n; (n = ::write(held[1], block.data(), block.size())) > 0;)
                filler += size_t(n);
            // The program's end of the pipe blocks, as a full pipe should.
            ::fcntl(held[1], F_SETFL, 0);
        }
        const std::string program = programPath().string();
        std::vector<char*> argv;
        for (auto& word : m_launcher)
            argv.push_back(word.data());
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // The child keeps this test's private folders, its stand-ins for the desktop's helpers
        // and its leak suppressions.
        std::vector<std::string> variables = environment;
        for (char** e = environ; *e; ++e) {
            const std::string variable = *e;
            const std::string name = variable.substr(0, variable.find('=') + 1);
            if (std::none_of(environment.begin(), environment.end(), [&](const std::string& v) { return v.rfind(name, 0) == 0; }))
                variables.push_back(variable);
        }
        std::vector<char*> envp;
        for (auto& e : variables)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (holdStderr)
            posix_spawn_file_actions_adddup2(&actions, held[1], 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, m_dir.path().c_str());
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (holdStderr)
            ::close(held[1]);
        ProgramRun result;
        if (spawned != 0) {
            if (holdStderr)
                ::close(held[0]);
            ADD_FAILURE() << "cannot start " << program;
            return result;
        }
        if (whileRunning)
            whileRunning(pid, err);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        if (holdStderr) {
            std::string text;
            char buffer[4096];
            for (;;) {
                pollfd ready {held[0], POLLIN, 0};
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0 || ::poll(&ready, 1, int(left.count())) <= 0)
                    break;
                const ssize_t n = ::read(held[0], buffer, sizeof buffer);
                if (n <= 0)
                    break;
                text.append(buffer, size_t(n));
            }
            ::close(held[0]);
            std::ofstream(err, std::ios::binary) << text.substr(std::min(filler, text.size()));
        }
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                ADD_FAILURE() << "quintor did not finish within " << seconds << " s";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = read(out);
        result.err = read(err);
        return result;
    }

    static std::string read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Photos of one flat grey each, taken a second apart, named IMG_1.jpg ... in `folder`.
    void photos(const fs::path& folder, const std::vector<int>& greys, int width = 64, int height = 48)
    {
        fs::create_directories(folder);
        for (size_t i = 0; i < greys.size(); ++i)
            mainwindowtest::greyPhoto(folder / ("IMG_" + std::to_string(i + 1) + ".jpg"), greys[i], int(i), width, height);
    }

    testsupport::TempDir m_dir;
    // A program and its arguments that start quintor (given last), when not started directly.
    std::vector<std::string> m_launcher;
};

// The grey levels of a movie's frames with repeats folded, as a frame-rate change repeats them.
std::vector<int> distinctRuns(const std::vector<int>& greys)
{
    std::vector<int> runs;
    for (int g : greys)
        if (runs.empty() || std::abs(runs.back() - g) > 6)
            runs.push_back(g);
    return runs;
}

void expectGreys(const std::vector<int>& actual, const std::vector<int>& expected)
{
    ASSERT_EQ(actual.size(), expected.size()) << testing::PrintToString(actual);
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], 6) << "frame " << i << " of " << testing::PrintToString(actual);
}

TEST_F(CommandLineProcess, ExportsEachFormatInOnePassAtTheSequencesRate)
{
    photos(m_dir / "photos", {40, 90, 140, 190});
    const struct {
        const char* format;
        const char* file;
        const char* codec;
        bool quickTime;
    } cases[] = {
        {"h264", "h264.mp4", "h264", false},
        {"prores422", "prores422.mov", "prores", true},
        {"prores4444", "prores4444.mov", "prores", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const ProgramRun result = run({"photos", "--speed", "10", "--export", c.file, "--format", c.format});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find(std::string("Exported ") + (m_dir / c.file).string()), std::string::npos) << result.out;
        const auto movie = mainwindowtest::readMovie(m_dir / c.file);
        EXPECT_EQ(movie.codec, c.codec);
        EXPECT_EQ(movie.isQuickTime(), c.quickTime) << movie.brand;
        EXPECT_EQ(movie.frameRate, "10/1");
        EXPECT_EQ(movie.width, 64);
        EXPECT_EQ(movie.height, 48);
        expectGreys(movie.greys, {40, 90, 140, 190});
    }
}

TEST_F(CommandLineProcess, ExportsTheTrimmedReversedSequenceInTwoPassesAtAFixedRate)
{
    photos(m_dir / "photos", {20, 60, 100, 140, 180, 220});
    // Six photos at 12 a second, re-timed to 24: every photo shows for two frames. The trim
    // keeps the photos the preview plays between the fractions, backwards.
    const ProgramRun result = run({"photos", "--speed", "12", "--reverse", "--trim", "0.2:0.8", "--fps", "24", "--export", "out.mp4"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto movie = mainwindowtest::readMovie(m_dir / "out.mp4");
    EXPECT_EQ(movie.codec, "h264") << "the format chosen is the codec written";
    EXPECT_FALSE(movie.isQuickTime());
    EXPECT_EQ(movie.frameRate, "24/1");
    // The trim keeps photos 2 to 5 of 6 (the preview plays every photo whose thirtieth of a
    // second reaches into 0.2...0.8); reversed, the newest comes first.
    expectGreys(distinctRuns(movie.greys), {180, 140, 100, 60});
    EXPECT_GE(movie.greys.size(), 8u) << "two frames of 24 per photo at 12 a second";
}

TEST_F(CommandLineProcess, PrintsASummaryWithoutExport)
{
    photos(m_dir / "photos", {40, 90, 140});
    const ProgramRun result = run({"photos", "--sort", "date", "--speed", "12.5"});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* line : {"Photos:     3\n", "Size:       64 x 48\n", "Order:      by date, forward\n", "Frame rate: 12.5 fps\n",
                             "Trim:       all photos\n", "Duration:   00:00.240\n"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "in:\n" << result.out;
    EXPECT_FALSE(fs::exists(m_dir / "photos.mp4"));
}

TEST_F(CommandLineProcess, ReportsBadInputWithTheWindowsMessages)
{
    fs::create_directories(m_dir / "empty");
    fs::create_directories(m_dir / "folder.mp4");
    std::ofstream(m_dir / "notes.txt") << "not a photo";
    photos(m_dir / "one", {100});
    photos(m_dir / "mixed", {40, 90});
    mainwindowtest::greyPhoto(m_dir / "mixed/IMG_3.jpg", 140, 3, 48, 64);
    photos(m_dir / "corrupt", {40, 90});
    std::ofstream(m_dir / "corrupt/IMG_0.jpg") << "\xFF\xD8\xFF\xE0 this is no JPEG";
    // Names that would drive the terminal: an escape that clears the screen, a C1 control
    // sequence introducer, a bell and a byte that is no UTF-8.
    photos(m_dir / "hostile", {40, 90});
    std::ofstream(m_dir / "hostile/IMG_0\x1B[2J\xC2\x9B\x07\xFF.jpg") << "\xFF\xD8\xFF\xE0 this is no JPEG";

    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{"empty", "--export", "out.mp4"}, 1, "You must add at least one image."},
        {{"notes.txt", "--export", "out.mp4"}, 1, "You must add at least one image."},
        {{"one", "--export", "out.mp4"}, 1, "You must start with more than one image."},
        {{"mixed", "--export", "out.mp4"}, 1, "The images in the sequence must all have the same dimensions."},
        {{"corrupt", "--export", "out.mp4"}, 1, "File \u201CIMG_0.jpg\u201D contains an unknown image type."},
        {{"hostile", "--export", "out.mp4"}, 1, "File \u201CIMG_0\\x1B[2J\\u009B\\x07\\xFF.jpg\u201D contains an unknown image type."},
        {{"missing", "--export", "out.mp4"}, 1, "missing: no such file or folder"},
        {{"gone\x1B]0;owned\x07", "--export", "out.mp4"}, 1, "gone\\x1B]0;owned\\x07: no such file or folder"},
        {{"mixed", "--export", "nowhere/out.mp4"}, 1, "the folder"},
        {{"mixed", "--export", "folder.mp4"}, 1, "is a folder"},
        {{"mixed", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"--export", "out.mp4"}, 2, "no photos or folders given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ProgramRun result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        for (const unsigned char ch : result.err)
            EXPECT_TRUE(ch >= 0x20 || ch == '\n' || ch == '\r') << "a control character reached the terminal: " << int(ch);
        EXPECT_FALSE(fs::exists(m_dir / "out.mp4"));
    }
}

TEST_F(CommandLineProcess, KeepsAnExistingMovieWhenTheJobFails)
{
    photos(m_dir / "one", {100});
    photos(m_dir / "corrupt", {40, 90, 140});
    std::ofstream(m_dir / "corrupt/IMG_2.jpg") << "\xFF\xD8\xFF\xE0 this is no JPEG";
    std::ofstream(m_dir / "keep.mp4") << "the user's movie";
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"one", "--export", "keep.mp4"}, "You must start with more than one image."},
        {{"corrupt", "--fps", "24", "--export", "keep.mp4"}, "File \u201CIMG_2.jpg\u201D contains an unknown image type."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const ProgramRun result = run(c.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(read(m_dir / "keep.mp4"), "the user's movie");
    }
}

TEST_F(CommandLineProcess, RefusesAnUnwritableFolder)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    photos(m_dir / "photos", {40, 90});
    fs::create_directories(m_dir / "locked");
    fs::permissions(m_dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const ProgramRun result = run({"photos", "--export", "locked/out.mp4"});
    fs::permissions(m_dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot write locked/out.mp4"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(m_dir / "locked/out.mp4"));
}

// A folder no one may write to, even the superuser (a file system mounted read-only in a
// private mount namespace): refused with the reason before any work, the movie there kept.
TEST_F(CommandLineProcess, RefusesAReadOnlyFolderAndKeepsTheMovieInIt)
{
    photos(m_dir / "photos", {40, 90});
    fs::create_directories(m_dir / "readonly");
    m_launcher = {"unshare", "-m", "/bin/sh", "-c",
                  "mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 97; printf old > \"$1/out.mp4\"; "
                  "mount -o remount,ro \"$1\" || exit 97; d=$1; shift; \"$@\"; rc=$?; echo \"rc=$rc\"; cat \"$d/out.mp4\"; echo; ls -A \"$d\"",
                  "sh", (m_dir / "readonly").string()};
    const ProgramRun result = run({"photos", "--export", "readonly/out.mp4"}, 60);
    if (result.status == 97 || (result.status == 1 && result.out.empty()))
        GTEST_SKIP() << "no private tmpfs can be mounted here: " << result.err;
    EXPECT_NE(result.out.find("rc=1\nold\nout.mp4\n"), std::string::npos) << result.out << result.err;
    EXPECT_NE(result.err.find("cannot write readonly/out.mp4: Read-only file system"), std::string::npos) << result.err;
}

TEST_F(CommandLineProcess, AFullDiskEndsTheExportWithAClearErrorAndKeepsThePreviousMovie)
{
    // The destination is a small file system of the program's own (a tmpfs in a private mount
    // namespace), holding the movie an earlier export left; the script reports what is in it
    // once the program has ended.
    std::vector<int> greys;
    for (int i = 0; i < 24; ++i)
        greys.push_back(10 * i);
    photos(m_dir / "photos", greys, 320, 240);
    fs::create_directories(m_dir / "full");
    m_launcher = {"unshare", "-m", "/bin/sh", "-c",
                  "mount -t tmpfs -o size=24k tmpfs \"$1\" || exit 97; printf old > \"$1/out.mov\"; d=$1; shift; "
                  "\"$@\"; rc=$?; echo \"rc=$rc\"; cat \"$d/out.mov\"; echo; ls -A \"$d\"",
                  "sh", (m_dir / "full").string()};
    const ProgramRun result = run({"photos", "--export", "full/out.mov", "--format", "prores422"}, 60);
    if (result.status == 97 || (result.status == 1 && result.out.empty()))
        GTEST_SKIP() << "no private tmpfs can be mounted here: " << result.err;
    EXPECT_NE(result.out.find("rc=1\nold\nout.mov\n"), std::string::npos) << result.out << result.err;
    EXPECT_NE(result.err.find("The disk is full: there is no room left for "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("full/out.mov"), std::string::npos) << result.err;
}

// A limit on the size of the files the program may write (a quota, a file system's largest
// file) ends the export as a full disk does: a clear error, the previous movie kept, nothing
// unfinished left beside it.
TEST_F(CommandLineProcess, AFileSizeLimitEndsTheExportWithAClearErrorAndKeepsThePreviousMovie)
{
    std::vector<int> greys;
    for (int i = 0; i < 24; ++i)
        greys.push_back(10 * i);
    photos(m_dir / "photos", greys, 320, 240);
    std::ofstream(m_dir / "out.mov") << "old";
    // 8 KB (in the shell's blocks of 512 bytes), where the movie needs about 25.
    m_launcher = {"/bin/sh", "-c", "ulimit -f 16 && exec \"$@\"", "sh"};
    const ProgramRun result = run({"photos", "--export", "out.mov", "--format", "prores422"}, 60);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("The movie grew larger than a file may be here: "), std::string::npos) << result.err;
    EXPECT_TRUE(read(m_dir / "out.mov") == "old") << "the previous movie was replaced";
    const std::vector<std::string> left = namesIn(m_dir.path(), ".out");
    EXPECT_TRUE(left.empty()) << testing::PrintToString(left);
}

// The movie takes the name it is given: a link there is replaced by the movie, and the file
// it led to (or the place a dangling one named) is left as it was.
TEST_F(CommandLineProcess, AnExportOverALinkReplacesTheLinkNotWhereItLeads)
{
    photos(m_dir / "photos", {40, 90, 140});
    fs::create_directories(m_dir / "elsewhere");
    std::ofstream(m_dir / "elsewhere/notes.txt") << "the user's notes";
    for (const fs::path& target : {m_dir / "elsewhere/notes.txt", m_dir / "elsewhere/new.mp4"}) {
        SCOPED_TRACE(target.string());
        fs::remove(m_dir / "out.mp4");
        fs::create_symlink(target, m_dir / "out.mp4");
        const ProgramRun result = run({"photos", "--export", "out.mp4"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(m_dir / "out.mp4")));
        expectGreys(mainwindowtest::readMovie(m_dir / "out.mp4").greys, {40, 90, 140});
        EXPECT_EQ(read(m_dir / "elsewhere/notes.txt"), "the user's notes");
        EXPECT_EQ(namesIn(m_dir / "elsewhere"), std::vector<std::string>{"notes.txt"});
    }
}

// Two programs exporting to one file at once each write a movie of their own: the file is
// then one of them, whole, and nothing unfinished stays.
TEST_F(CommandLineProcess, TwoExportsToOneFileAtOnceLeaveOneWholeMovie)
{
    std::vector<int> greys;
    for (int i = 0; i < 24; ++i)
        greys.push_back(30 + 8 * i);
    photos(m_dir / "photos", greys, 320, 240);
    m_launcher = {"/bin/sh", "-c", "\"$@\" >first.out 2>first.err & p=$!; \"$@\"; second=$?; wait $p; echo \"rc=$? $second\"", "sh"};
    const ProgramRun result = run({"photos", "--export", "out.mp4"});
    EXPECT_NE(result.out.find("rc=0 0"), std::string::npos) << result.out << result.err << read(m_dir / "first.err");
    // Every frame decodes, in the photos' order.
    const auto movie = mainwindowtest::readMovie(m_dir / "out.mp4");
    ASSERT_EQ(movie.greys.size(), greys.size());
    EXPECT_TRUE(std::is_sorted(movie.greys.begin(), movie.greys.end())) << testing::PrintToString(movie.greys);
    const std::vector<std::string> left = namesIn(m_dir.path(), ".out");
    EXPECT_TRUE(left.empty()) << testing::PrintToString(left);
}

// A name as long as the folder holds is exported; a longer one is refused with the reason.
TEST_F(CommandLineProcess, ExportsToTheLongestNameTheFolderHoldsAndRefusesLongerOnes)
{
    photos(m_dir / "photos", {40, 90});
    const std::string longest = std::string(251, 'm') + ".mp4", tooLong = std::string(252, 'm') + ".mp4";
    ProgramRun result = run({"photos", "--export", longest});
    ASSERT_EQ(result.status, 0) << result.err;
    expectGreys(mainwindowtest::readMovie(m_dir / longest).greys, {40, 90});
    result = run({"photos", "--export", tooLong});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("File name too long"), std::string::npos) << result.err;
    std::error_code ec;
    EXPECT_FALSE(fs::exists(m_dir / tooLong, ec));
}

TEST_F(CommandLineProcess, SnapshotShowsTheMainWindowInItsEditingState)
{
    photos(m_dir / "photos", {40, 90, 140});
    const ProgramRun result = run({"photos", "--snapshot", "window.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    foundation::ErrorPtr error;
    auto image = ui::Image::imageWithContentsOfFile((m_dir / "window.png").string(), &error);
    ASSERT_TRUE(image && image->isValid()) << (error ? error->localizedDescription() : "");
    EXPECT_GT(image->bitmap()->width(), 400u);
    EXPECT_GT(image->bitmap()->height(), 300u);
}

TEST_F(CommandLineProcess, InterruptStopsTheJobAndKeepsTheUsersFile)
{
    photos(m_dir / "photos", {40, 90, 140, 190});
    std::ofstream(m_dir / "out.mp4") << "the user's movie";
    // The program's first message holds its main thread before the export can begin (only
    // the main thread starts one); the signal comes then, and the program goes on only once
    // the signal is on its way to the main loop. However fast the export, it comes too late.
    const ProgramRun result = run({"photos", "--export", "out.mp4"}, 120, [](pid_t pid, const fs::path&) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto until = [&](const std::function<bool()>& done) {
            while (!done() && stillRunning(pid) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        };
        until([&] { return mainThreadBlockedOnStderr(pid); });
        ::kill(pid, SIGINT);
        until([&] { return signalHandedOn(pid, SIGINT); });
    }, {}, true);
    EXPECT_EQ(result.status, 130) << result.err;
    EXPECT_NE(result.err.find("interrupted"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Exporting your timelapse"), std::string::npos) << "stopped before the export: " << result.err;
    EXPECT_EQ(read(m_dir / "out.mp4"), "the user's movie");
}

// Stopped by a signal while it builds the preview or writes either pass (or, should the
// signal come late, after it finished), the job leaves no file of its own behind: none in
// the temporary folder, no unfinished movie beside the output.
TEST_F(CommandLineProcess, InterruptedOrNotTheJobLeavesNoWorkingFiles)
{
    std::vector<int> greys;
    for (int i = 0; i < 24; ++i)
        greys.push_back(30 + 8 * i);
    photos(m_dir / "photos", greys, 640, 480);
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        int signal;
        // Signalled once this shows: a caption on stderr, or a hidden file in the test's folder.
        const char* caption;
        bool hiddenOutput;
    } cases[] = {
        {"preview", {"photos"}, SIGTERM, "Creating preview", false},
        {"one pass", {"photos", "--export", "out.mp4"}, SIGINT, "Exporting your timelapse", false},
        {"first of two passes", {"photos", "--export", "out.mp4", "--fps", "25"}, SIGTERM, "Exporting your timelapse", false},
        {"second of two passes", {"photos", "--export", "out.mp4", "--fps", "25"}, SIGINT, nullptr, true},
    };
    const fs::path temporary = m_dir / "tmp";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temporary);
        fs::create_directories(temporary);
        fs::remove(m_dir / "out.mp4");
        const ProgramRun result = run(c.arguments, 120, [&](pid_t pid, const fs::path& err) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            auto shows = [&] {
                if (c.caption)
                    return read(err).find(c.caption) != std::string::npos;
                return !namesIn(m_dir.path(), ".out.mp4").empty();
            };
            while (!shows() && stillRunning(pid) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ::kill(pid, c.signal);
        }, {"TMPDIR=" + temporary.string()});
        EXPECT_TRUE(result.status == 130 || result.status == 0) << result.status << " " << result.err;
        std::vector<std::string> left = namesIn(temporary);
        for (const std::string& name : namesIn(m_dir.path(), ".out"))
            left.push_back(name);
        EXPECT_TRUE(left.empty()) << testing::PrintToString(left);
        if (result.status == 0 && c.arguments.size() > 1)
            EXPECT_TRUE(fs::exists(m_dir / "out.mp4"));
        else
            EXPECT_FALSE(fs::exists(m_dir / "out.mp4"));
    }
}

// A second signal ends the program at once, without waiting for the job to stop: the movie
// being written goes all the same, and the user's file stays.
TEST_F(CommandLineProcess, ASecondSignalEndsTheProgramAtOnceAndLeavesNoWorkingFiles)
{
    std::vector<int> greys;
    for (int i = 0; i < 24; ++i)
        greys.push_back(30 + 8 * i);
    photos(m_dir / "photos", greys, 320, 240);
    std::ofstream(m_dir / "out.mp4") << "the user's movie";
    const fs::path temporary = m_dir / "tmp";
    fs::create_directories(temporary);
    const ProgramRun result = run({"photos", "--export", "out.mp4"}, 120, [&](pid_t pid, const fs::path&) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto writing = [&] { return !namesIn(m_dir.path(), ".out.mp4.").empty(); };
        while (!writing() && stillRunning(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::kill(pid, SIGTERM);
        while (!signalHandedOn(pid, SIGTERM) && stillRunning(pid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, SIGTERM);
    }, {"TMPDIR=" + temporary.string()});
    EXPECT_EQ(result.status, 130) << result.err;
    std::vector<std::string> left = namesIn(temporary);
    for (const std::string& name : namesIn(m_dir.path(), ".out"))
        left.push_back(name);
    EXPECT_TRUE(left.empty()) << testing::PrintToString(left);
    EXPECT_TRUE(read(m_dir / "out.mp4") == "the user's movie");
}

TEST_F(CommandLineProcess, AnswersHelpAndVersion)
{
    const ProgramRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: quintor [options] PHOTO_OR_FOLDER..."), std::string::npos);
    const ProgramRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quintor ") + QUINTOR_VERSION + "\n");
}

} // namespace
