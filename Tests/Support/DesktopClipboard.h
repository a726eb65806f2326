#pragma once
// The desktop's clipboard as another application sees it, for the tests of the clipboard
// bridge: xclip copies and pastes on the display while the test's main loop keeps serving GTK's
// side of the clipboard. Nothing here waits without a bound: a child that does not end in time is
// killed and the step fails.

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
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Tests/Support/DisplayLock.h"

extern char** environ;

namespace testsupport {

inline bool hasXclip()
{
    return std::system("command -v xclip >/dev/null 2>&1") == 0;
}

// Another application on the display, played by xclip.
class OtherApplication {
public:
    explicit OtherApplication(std::filesystem::path dir) : m_dir(std::move(dir)) { }
    ~OtherApplication() { stopServing(); }
    OtherApplication(const OtherApplication&) = delete;
    OtherApplication& operator=(const OtherApplication&) = delete;

    // Copies `bytes` as `target`. xclip stays, a child of ours in the foreground, to serve them
    // until the clipboard changes hands or the next copy. False when it could not start.
    bool copy(const std::string& target, const std::vector<uint8_t>& bytes)
    {
        stopServing();
        const auto file = m_dir / "copied";
        std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                      std::streamsize(bytes.size()));
        m_server = spawn({"xclip", "-selection", "clipboard", "-quiet", "-t", target, file.string()}, m_dir / "server.out");
        return m_server > 0;
    }
    bool copy(const std::string& target, const std::string& text)
    {
        return copy(target, std::vector<uint8_t>(text.begin(), text.end()));
    }

    // What it pastes as `target`, while the main loop runs; none when xclip fails (the target is
    // not offered) or does not end within the bound.
    std::optional<std::string> paste(const std::string& target, double timeoutSeconds = 20)
    {
        const auto out = m_dir / "pasted";
        const pid_t pid = spawn({"xclip", "-selection", "clipboard", "-o", "-t", target}, out);
        if (pid <= 0)
            return std::nullopt;
        int status = 0;
        const bool ended = dispatch::RunLoop::main().runUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutSeconds);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return std::nullopt;
        std::ifstream in(out, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Ends the copy it still serves.
    bool serving() const { return m_server > 0; }

    void stopServing()
    {
        if (m_server > 0) {
            ::kill(m_server, SIGTERM);
            ::waitpid(m_server, nullptr, 0);
            m_server = 0;
        }
    }

private:
    // Starts `argv` without a shell, reading nothing, its output into `output` and its errors
    // beside it, and none of the
    // test's other descriptors.
    static pid_t spawn(std::vector<std::string> argv, const std::filesystem::path& output)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string errors = output.string() + ".err";
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, args.front(), &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? pid : 0;
    }

    std::filesystem::path m_dir;
    pid_t m_server = 0;
};

} // namespace testsupport
