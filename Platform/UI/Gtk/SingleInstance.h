#pragma once
// One instance of an application per user session, through GApplication's uniqueness on the
// D-Bus session bus: the first launch owns the application's name there and receives the open
// requests of later launches, which hand them over and end. Requests reach the shared
// Application on the main thread (openFiles, or reopen when a launch brings no files), from
// GLib's main context, which a GtkDesktop runs. Without a session bus every launch runs alone.
// Main thread only.

#include <memory>
#include <string>
#include <vector>

namespace ui {

class SingleInstance {
public:
    enum class Outcome {
        primary,   // this process is the session's instance; later launches reach it
        forwarded, // another process is; it took the request
        alone,     // no session bus: this process runs on its own
        failed,    // another process owns the name but did not take the request
    };

    // Registers `applicationId` on the session bus. When another process holds it, hands it
    // `paths` (absolute) to open, or asks it to show itself when there are none, and waits for
    // its answer. `error` says why a hand-over failed.
    static std::unique_ptr<SingleInstance> start(const std::string& applicationId, const std::vector<std::string>& paths,
                                                 Outcome* outcome, std::string* error = nullptr);
    // Leaves the name to the next launch.
    ~SingleInstance();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    struct Impl;

private:
    SingleInstance();
    std::unique_ptr<Impl> m_impl;
};

} // namespace ui
