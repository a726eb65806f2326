#pragma once
// An HTTP or HTTPS server on 127.0.0.1 for one test: handlers are registered on server(), the
// base URL names its scheme and port. Stopped and joined when the object goes. Header-only so the tests of the HTTP
// layer and the web-service client can share it.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace testsupport {

class LocalServer {
public:
    LocalServer() : m_owned(std::make_unique<httplib::Server>()) { bind(); }
    // HTTPS with the certificate chain and key in these PEM files.
    LocalServer(const std::string& certificatePath, const std::string& keyPath)
        : m_owned(std::make_unique<httplib::SSLServer>(certificatePath.c_str(), keyPath.c_str()))
        , m_tls(true)
    {
        bind();
    }

    void bind()
    {
        // One request per connection: a kept-alive client connection would hold stop() for the
        // server's keep-alive timeout.
        m_server.set_keep_alive_max_count(1);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            throw std::runtime_error("cannot bind a local port");
    }

    ~LocalServer() { stop(); }

    // Keeps connections open between requests, as real servers do (and clients reuse them);
    // an idle one is closed after a second, so stop() waits no longer than that.
    void keepConnectionsOpen()
    {
        m_server.set_keep_alive_max_count(100);
        m_server.set_keep_alive_timeout(1);
    }

    // Starts serving; call after the handlers are registered.
    void start()
    {
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!m_server.is_running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }

    void stop()
    {
        releaseHeldRequests();
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }

    httplib::Server& server() { return m_server; }
    int port() const { return m_port; }
    std::string baseURL() const { return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port); }
    std::string url(const std::string& path) const { return baseURL() + path; }

    // For handlers that must stay unanswered until the test lets them go (bounded at 10 s).
    void holdRequest()
    {
        std::unique_lock lock(m_holdMutex);
        ++m_held;
        m_holdCondition.notify_all();
        m_holdCondition.wait_for(lock, std::chrono::seconds(10), [this] { return m_released; });
    }
    bool waitForHeldRequest(double seconds = 5)
    {
        std::unique_lock lock(m_holdMutex);
        return m_holdCondition.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return m_held > 0; });
    }
    void releaseHeldRequests()
    {
        std::lock_guard lock(m_holdMutex);
        m_released = true;
        m_holdCondition.notify_all();
    }

private:
    std::unique_ptr<httplib::Server> m_owned;
    bool m_tls = false;
    httplib::Server& m_server = *m_owned;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_holdMutex;
    std::condition_variable m_holdCondition;
    int m_held = 0;
    bool m_released = false;
};

} // namespace testsupport
