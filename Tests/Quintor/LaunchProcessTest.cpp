// The application as a real process: it starts, runs the launch on its main run loop and
// quits cleanly when it is asked to by a signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// An installed copy of the application: the binary with a Resources folder beside it, as an
// installation lays it out. It lives next to the test binary so the binary can be hard-linked.
class InstalledApplication {
public:
    InstalledApplication()
    {
        const fs::path tests = fs::read_symlink("/proc/self/exe").parent_path();
        m_dir = tests / ("quintor-install-" + std::to_string(::getpid()));
        fs::create_directories(m_dir / "Resources");
        std::error_code ec;
        fs::create_hard_link(tests.parent_path() / "quintor", m_dir / "quintor", ec);
        if (ec)
            fs::copy_file(tests.parent_path() / "quintor", m_dir / "quintor");
        std::ofstream(m_dir / "Resources/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleName</key><string>Quintor</string>"
               "<key>CFBundleIdentifier</key><string>com.movara.QuintorLaunchTest</string>"
               "<key>CFBundleShortVersionString</key><string>1.0</string>"
               "</dict></plist>\n";
        for (const char* movie : {"walkthrough1.mp4", "walkthrough2.mp4", "walkthrough3.mp4", "walkthrough4.mp4"})
            std::ofstream(m_dir / "Resources" / movie) << "";
    }
    ~InstalledApplication()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    fs::path binary() const { return m_dir / "quintor"; }

private:
    fs::path m_dir;
};

// Waits (at most `seconds`) for the predicate, looking every few milliseconds.
template <class Predicate> bool waitFor(Predicate predicate, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool launchHasRun()
{
    // The walkthrough records its first showing in the application's preferences.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::ifstream in(fs::path(config) / "com.movara.QuintorLaunchTest.plist");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("hasShownWalkthroughWindowOnLaunch") != std::string::npos;
}

class LaunchProcess : public testing::TestWithParam<int> { };

TEST_P(LaunchProcess, LaunchesAndQuitsCleanlyOnSignal)
{
    InstalledApplication app;
    const std::string binary = app.binary().string();
    char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
    // Without a display: the launch runs headless whatever the test's environment offers.
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("WAYLAND_DISPLAY=", 0) != 0)
            envp.push_back(*e);
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    const bool launched = waitFor(launchHasRun, 60);
    ::kill(pid, GetParam());
    int status = 0;
    const bool exited = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 60);
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    std::error_code ec;
    fs::remove(fs::path(std::getenv("XDG_CONFIG_HOME")) / "com.movara.QuintorLaunchTest.plist", ec);

    EXPECT_TRUE(launched);
    ASSERT_TRUE(exited);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, LaunchProcess, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int>& info) { return info.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

} // namespace
