#pragma once
// A hostile HTTP server on 127.0.0.1 for one test: every connection gets the request head it
// sent handed to the test's handler, which writes whatever it likes on the raw socket (endless
// bodies, broken framing). The handler should stop writing once stopping() says so or a write
// fails. Connections are closed after the handler returns. Stopped and joined when it goes.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class RawServer {
public:
    using Handler = std::function<void(RawServer& server, int fd, const std::string& head)>;

    explicit RawServer(Handler handler) : m_handler(std::move(handler))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(m_listener, 16) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }

    ~RawServer()
    {
        m_stopping = true;
        m_acceptor.join();
        std::vector<std::thread> connections;
        {
            std::lock_guard lock(m_mutex);
            connections.swap(m_connections);
        }
        for (auto& connection : connections)
            connection.join();
        ::close(m_listener);
    }

    int port() const { return m_port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    bool stopping() const { return m_stopping; }

    std::vector<std::string> heads()
    {
        std::lock_guard lock(m_mutex);
        return m_heads;
    }

    // Writes all of `bytes`; false once the peer has gone or the server stops.
    bool send(int fd, const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (m_stopping)
                return false;
            pollfd p { fd, POLLOUT, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Writes `chunk` as HTTP/1.1 chunks until the client goes away or the server stops.
    void sendChunksForever(int fd, const std::string& chunk)
    {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        const std::string framed = size + chunk + "\r\n";
        while (send(fd, framed)) { }
    }

private:
    void acceptLoop()
    {
        while (!m_stopping) {
            pollfd p { m_listener, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard lock(m_mutex);
            m_connections.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd)
    {
        std::string head;
        char buffer[4096];
        while (!m_stopping && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        if (!m_stopping && head.find("\r\n\r\n") != std::string::npos) {
            {
                std::lock_guard lock(m_mutex);
                m_heads.push_back(head);
            }
            m_handler(*this, fd, head);
        }
        ::close(fd);
    }

    Handler m_handler;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping = false;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<std::thread> m_connections;
    std::vector<std::string> m_heads;
};

} // namespace testsupport
