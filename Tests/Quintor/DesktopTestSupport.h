#pragma once
// The application on a display: the real program in a window of the X server the environment
// names (scripts/test starts a virtual one), driven with synthetic input (xdotool) and looked
// at through screenshots (ImageMagick). Without a display, or without those tools, the tests
// are skipped. Tests that share a display take turns.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Tests/Quintor/MainWindowTestSupport.h"
#include "Tests/Support/DisplayLock.h"
#include "Tests/Support/TempDir.h"

extern char** environ;

namespace desktoptest {

namespace fs = std::filesystem;
using mainwindowtest::capture;

inline bool hasTool(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

template <class Predicate> inline bool waitFor(Predicate predicate, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

inline std::string xdotool(const std::string& arguments)
{
    return trimmed(capture("xdotool " + arguments + " 2>/dev/null"));
}

// The visible top-level windows called `name`.
inline std::vector<std::string> windowsNamed(const std::string& name)
{
    std::vector<std::string> ids;
    std::istringstream in(xdotool("search --onlyvisible --name '^" + name + "$'"));
    for (std::string id; std::getline(in, id);)
        if (!id.empty())
            ids.push_back(id);
    return ids;
}

struct Size {
    int width = 0;
    int height = 0;
};

inline Size imageSize(const fs::path& png)
{
    Size s;
    std::istringstream(capture("identify -format '%w %h' '" + png.string() + "' 2>/dev/null")) >> s.width >> s.height;
    return s;
}

// ImageMagick's normalized root-mean-square difference of two pictures of one size (0 alike,
// 1 opposite); 1 when they cannot be compared.
inline double difference(const fs::path& a, const fs::path& b)
{
    const auto out = capture("compare -metric RMSE '" + a.string() + "' '" + b.string() + "' null: 2>&1");
    const auto open = out.find('('), close = out.find(')');
    if (open == std::string::npos || close == std::string::npos)
        return 1.0;
    return std::atof(out.substr(open + 1, close - open - 1).c_str());
}

// The program on the display, in its own folder of state (the test process's XDG folders),
// its output kept in files.
class DesktopProgram {
public:
    DesktopProgram(const fs::path& dir, const std::vector<std::string>& arguments)
    {
        const std::string program = (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "quintor").string();
        std::vector<std::string> args {program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0)
                environment.emplace_back(*e);
        }
        // GTK and the libraries under it keep what they allocate until the process ends.
        environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
        environment.emplace_back("GSK_RENDERER=cairo");
        std::vector<char*> envp;
        for (auto& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        m_log = dir / "program.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = 0;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~DesktopProgram()
    {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // The processor time the process has used so far (user and system), in clock ticks.
    long cpuTicks() const
    {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The fields after the command name, which may hold spaces but ends at the last ')'.
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            return -1;
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::atol(field.c_str());
            if (i == 15)
                stime = std::atol(field.c_str());
        }
        return utime + stime;
    }
    // Asks the program to quit as the session does when it ends (SIGTERM).
    void terminate()
    {
        if (m_pid > 0 && !m_status)
            ::kill(m_pid, SIGTERM);
    }

    // The exit status once the process has ended within `seconds`.
    std::optional<int> waitForExit(double seconds)
    {
        waitFor([this] {
            int status = 0;
            if (!m_status && ::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status.has_value();
        }, seconds);
        return m_status;
    }

    std::string log() const
    {
        std::ifstream in(m_log);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    pid_t m_pid = 0;
    std::optional<int> m_status;
    fs::path m_log;
};

// A D-Bus session bus of the test's own, named to the programs it starts: the application is
// one instance per session, and tests running side by side must not meet on one bus (nor on
// the developer's). Nothing is started on demand on it.
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(const fs::path& dir)
    {
        if (!hasTool("dbus-daemon"))
            return;
        const fs::path config = dir / "session-bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir=" << dir.string() << "</listen>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        int out[2];
        if (::pipe(out) != 0)
            return;
        const std::string configArgument = "--config-file=" + config.string();
        std::vector<std::string> args {"dbus-daemon", configArgument, "--nofork", "--nopidfile", "--print-address=1"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawnp(&m_pid, "dbus-daemon", &actions, nullptr, argv.data(), environ) != 0)
            m_pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string address;
        char c = 0;
        while (m_pid > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
            address += c;
        ::close(out[0]);
        m_address = address;
    }
    ~PrivateSessionBus()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& address() const { return m_address; }

private:
    pid_t m_pid = 0;
    std::string m_address;
};

class Desktop : public testing::Test {
protected:
    void SetUp() override
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display (scripts/test starts a virtual one)";
        for (const char* tool : {"xdotool", "import", "compare", "convert", "identify"})
            if (!hasTool(tool))
                GTEST_SKIP() << tool << " is not installed";
        // One test at a time drives the pointer and keyboard of a display.
        m_lock.emplace(display);
        ASSERT_TRUE(m_lock->held()) << "the display stayed busy";
        // No first-launch windows: the walkthrough, the plan onboarding and the move alert.
        std::ofstream(fs::path(std::getenv("XDG_CONFIG_HOME")) / "com.movara.Quintor.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>hasShownWalkthroughWindowOnLaunch</key><true/>"
               "<key>dontShowOnboardingWindowOnLaunch</key><true/>"
               "<key>SuppressMoveToAppsFolderAlert</key><true/>"
               "</dict></plist>\n";
        // The programs this test starts share a session bus of their own; without one they
        // find none (rather than a bus started for the display, which other tests would share).
        m_bus.emplace(m_dir.path());
        ::setenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().empty() ? "unix:path=/nonexistent" : m_bus->address().c_str(), 1);
        // GTK's settings (the file chooser's) stay in the program: the bus starts no dconf.
        ::setenv("GSETTINGS_BACKEND", "memory", 1);
    }

    void TearDown() override
    {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("GSETTINGS_BACKEND");
        m_bus.reset();
        m_lock.reset();
    }

    std::vector<foundation::URL> photos(const std::vector<int>& greys, int width = 64, int height = 48)
    {
        fs::create_directories(m_dir / "photos");
        std::vector<foundation::URL> urls;
        for (size_t i = 0; i < greys.size(); ++i)
            urls.push_back(mainwindowtest::greyPhoto(m_dir / "photos" / ("IMG_" + std::to_string(i + 1) + ".jpg"), greys[i],
                                                     int(i), width, height));
        return urls;
    }

    // The main window once it is on screen.
    std::string mainWindow(DesktopProgram& program)
    {
        std::string id;
        waitFor([&] {
            auto ids = windowsNamed("Quintor");
            if (!ids.empty())
                id = ids.front();
            return !id.empty();
        }, 60);
        EXPECT_FALSE(id.empty()) << "no window on screen\n" << program.log();
        return id;
    }

    fs::path screenshot(const std::string& window, const std::string& name)
    {
        const fs::path png = m_dir / (name + ".png");
        capture("import -window " + window + " '" + png.string() + "' 2>/dev/null");
        // Kept for a person to look at when asked to.
        if (const char* keep = std::getenv("QUINTOR_SCREENSHOT_DIR"); keep && *keep) {
            std::error_code ec;
            fs::copy_file(png, fs::path(keep) / (testing::UnitTest::GetInstance()->current_test_info()->name() + std::string("-") + name + ".png"),
                          fs::copy_options::overwrite_existing, ec);
        }
        return png;
    }

    // The part of a screenshot below the menu bar: the window's own picture, `size` points.
    fs::path windowContent(const fs::path& shot, Size size)
    {
        const Size whole = imageSize(shot);
        const fs::path out = shot.parent_path() / (shot.stem().string() + "-content.png");
        capture("convert '" + shot.string() + "' -crop " + std::to_string(size.width) + "x" + std::to_string(size.height)
                + "+0+" + std::to_string(whole.height - size.height) + " +repage '" + out.string() + "' 2>/dev/null");
        return out;
    }

    int menuBarHeight(const std::string& window, double frameHeight)
    {
        std::istringstream in(xdotool("getwindowgeometry --shell " + window));
        int height = 0;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("HEIGHT=", 0) == 0)
                height = std::atoi(line.c_str() + 7);
        return height - static_cast<int>(frameHeight);
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::DisplayLock> m_lock;
    std::optional<PrivateSessionBus> m_bus;
};

} // namespace desktoptest
