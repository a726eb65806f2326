// URL sessions: one curl multi loop per session on its own thread.

#include "Platform/Net/URLSession.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Net/URLError.h"

namespace net {

namespace {

// A body larger than this is refused rather than allowed to exhaust memory.
constexpr std::size_t kMaximumBodyBytes = std::size_t(512) << 20;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long urlErrorCodeFor(CURLcode code, long osErrno)
{
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return URLErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
            return URLErrorNotConnectedToInternet;
        return URLErrorCannotConnectToHost;
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT: return URLErrorBadURL;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return URLErrorNetworkConnectionLost;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorBadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return URLErrorHTTPTooManyRedirects;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCannotDecodeRawData;
    case CURLE_FILESIZE_EXCEEDED: return URLErrorDataLengthExceedsMaximum;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH: return URLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED: return URLErrorSecureConnectionFailed;
    default: return URLErrorUnknown;
    }
}

std::string trim(const std::string& s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

} // namespace

// The per-transfer state that only the network thread touches.
struct URLSessionTask::Transfer {
    std::shared_ptr<URLSessionTask> task;
    EasyHandle easy;
    HeaderList headers;
    foundation::Data body;     // kept alive for CURLOPT_POSTFIELDS
    foundation::Data received;
    HTTPHeaderFields responseHeaders;
    std::string httpVersion = "HTTP/1.1";
    double lastActivity = 0;
    double timeout = 0;
    bool tooLarge = false;
    curl_off_t lastUploaded = 0;

    static size_t onData(char* bytes, size_t size, size_t count, void* context)
    {
        auto* self = static_cast<Transfer*>(context);
        const size_t length = size * count;
        self->lastActivity = monotonicSeconds();
        if (self->received.size() + length > kMaximumBodyBytes) {
            self->tooLarge = true;
            return 0; // aborts the transfer
        }
        self->received.insert(self->received.end(), bytes, bytes + length);
        std::lock_guard lock(self->task->m_mutex);
        self->task->m_bytesReceived += static_cast<std::int64_t>(length);
        return length;
    }

    static size_t onHeader(char* bytes, size_t size, size_t count, void* context)
    {
        auto* self = static_cast<Transfer*>(context);
        const size_t length = size * count;
        self->lastActivity = monotonicSeconds();
        std::string line(bytes, length);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new status line: an interim answer or a redirect came before; start over.
            self->responseHeaders.clear();
            self->httpVersion = line.substr(0, line.find(' '));
            return length;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos)
            return length;
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (name.empty())
            return length;
        auto it = self->responseHeaders.find(name);
        if (it == self->responseHeaders.end())
            self->responseHeaders.emplace(std::move(name), std::move(value));
        else
            it->second += ", " + value;
        return length;
    }

    static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
    {
        auto* self = static_cast<Transfer*>(context);
        if (uploaded != self->lastUploaded) {
            self->lastUploaded = uploaded;
            self->lastActivity = monotonicSeconds();
        }
        return 0;
    }
};

// The network thread of one session. The thread keeps the loop alive until it is told to stop,
// so the loop never waits for itself when the last task lets go of its session on it.
struct NetworkLoop : std::enable_shared_from_this<NetworkLoop> {
    NetworkLoop() { initialiseCurlOnce(); }

    ~NetworkLoop()
    {
        for (auto& [easy, transfer] : active)
            curl_multi_remove_handle(multi, easy);
        active.clear();
        if (multi)
            curl_multi_cleanup(multi);
    }

    void stop()
    {
        std::lock_guard lock(mutex);
        stopping = true;
        if (multi)
            curl_multi_wakeup(multi);
    }

    void submit(std::shared_ptr<URLSessionTask> task)
    {
        std::lock_guard lock(mutex);
        startThreadLocked();
        adds.push_back(std::move(task));
        curl_multi_wakeup(multi);
    }

    void cancel(std::shared_ptr<URLSessionTask> task)
    {
        std::lock_guard lock(mutex);
        startThreadLocked();
        cancels.push_back(std::move(task));
        curl_multi_wakeup(multi);
    }

    void startThreadLocked()
    {
        if (multi)
            return;
        multi = curl_multi_init();
        std::thread([self = shared_from_this()] { self->loop(); }).detach();
    }

    void loop()
    {
        while (true) {
            std::vector<std::shared_ptr<URLSessionTask>> toAdd;
            std::vector<std::shared_ptr<URLSessionTask>> toCancel;
            bool cancelEverything = false;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
                toAdd.swap(adds);
                toCancel.swap(cancels);
                cancelEverything = std::exchange(cancelAll, false);
            }
            if (cancelEverything) {
                for (auto& task : toAdd)
                    toCancel.push_back(task);
                for (auto& [easy, transfer] : active)
                    toCancel.push_back(transfer->task);
            }
            for (auto& task : toAdd)
                start(std::move(task));
            for (auto& task : toCancel)
                finishCancelled(task);

            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE)
                    finish(message->easy_handle, message->data.result);
            }
            checkTimeouts();

            int waitMs = active.empty() ? 1000 : 50;
            curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
        }
    }

    void start(std::shared_ptr<URLSessionTask> task)
    {
        const URLRequest& request = task->m_request;
        const std::string urlText = request.URL() ? request.URL()->absoluteString() : std::string();
        const std::string scheme = request.URL() ? request.URL()->scheme() : std::string();
        if (scheme != "http" && scheme != "https") {
            task->complete({}, std::nullopt, makeURLError(URLErrorUnsupportedURL, urlText));
            return;
        }

        auto transfer = std::make_unique<URLSessionTask::Transfer>();
        transfer->task = task;
        transfer->easy.reset(curl_easy_init());
        CURL* easy = transfer->easy.get();
        if (!easy) {
            task->complete({}, std::nullopt, makeURLError(URLErrorUnknown, urlText));
            return;
        }
        curl_easy_setopt(easy, CURLOPT_URL, urlText.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLSessionTask::Transfer::onData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLSessionTask::Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &URLSessionTask::Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());

        transfer->timeout = request.timeoutInterval();
        if (transfer->timeout > 0)
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(transfer->timeout * 1000));

        curl_slist* list = nullptr;
        bool hasAcceptEncoding = false;
        for (const auto& [name, value] : request.allHTTPHeaderFields()) {
            // Header text with line breaks would let a caller's value inject headers.
            if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
                continue;
            if (!CaseInsensitiveLess{}(name, "Accept-Encoding") && !CaseInsensitiveLess{}("Accept-Encoding", name))
                hasAcceptEncoding = true;
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            list = curl_slist_append(list, line.c_str());
        }
        // No "Expect: 100-continue" round trip before bodies.
        list = curl_slist_append(list, "Expect:");
        transfer->headers.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
        if (!hasAcceptEncoding)
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");

        const std::string& method = request.HTTPMethod();
        if (request.HTTPBody())
            transfer->body = *request.HTTPBody();
        if (method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (method == "GET" && transfer->body.empty()) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            if (method != "POST" || !request.HTTPBody()) {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
            }
            if (request.HTTPBody() || method == "POST" || method == "PUT") {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->body.size()));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.empty() ? "" : reinterpret_cast<const char*>(transfer->body.data()));
            }
        }

        {
            std::lock_guard lock(task->m_mutex);
            if (task->m_state != URLSessionTask::State::Running)
                return; // cancelled meanwhile; its cancel is queued behind this
        }
        transfer->lastActivity = monotonicSeconds();
        curl_multi_add_handle(multi, easy);
        active.emplace(easy, std::move(transfer));
    }

    void finish(CURL* easy, CURLcode result)
    {
        auto it = active.find(easy);
        if (it == active.end())
            return;
        std::unique_ptr<URLSessionTask::Transfer> transfer = std::move(it->second);
        active.erase(it);
        curl_multi_remove_handle(multi, easy);

        const auto& request = transfer->task->m_request;
        std::string urlText = request.URL()->absoluteString();
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);

        if (result != CURLE_OK || status == 0) {
            long osErrno = 0;
            curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
            long code = transfer->tooLarge ? URLErrorDataLengthExceedsMaximum
                        : result == CURLE_OK ? URLErrorBadServerResponse
                                             : urlErrorCodeFor(result, osErrno);
            transfer->task->complete({}, std::nullopt, makeURLError(code, urlText));
            return;
        }
        auto finalURL = effective ? foundation::URL::URLWithString(effective) : std::nullopt;
        HTTPURLResponse response(finalURL ? *finalURL : *request.URL(), status, std::move(transfer->responseHeaders),
                                 transfer->httpVersion);
        transfer->task->complete(std::move(transfer->received), std::move(response), nullptr);
    }

    void finishCancelled(const std::shared_ptr<URLSessionTask>& task)
    {
        for (auto it = active.begin(); it != active.end(); ++it) {
            if (it->second->task == task) {
                curl_multi_remove_handle(multi, it->first);
                active.erase(it);
                break;
            }
        }
        const auto& url = task->m_request.URL();
        task->complete({}, std::nullopt, makeURLError(URLErrorCancelled, url ? url->absoluteString() : std::string()));
    }

    void checkTimeouts()
    {
        const double now = monotonicSeconds();
        std::vector<CURL*> expired;
        for (auto& [easy, transfer] : active) {
            if (transfer->timeout > 0 && now - transfer->lastActivity > transfer->timeout)
                expired.push_back(easy);
        }
        for (CURL* easy : expired) {
            auto it = active.find(easy);
            std::unique_ptr<URLSessionTask::Transfer> transfer = std::move(it->second);
            active.erase(it);
            curl_multi_remove_handle(multi, easy);
            transfer->task->complete({}, std::nullopt,
                                     makeURLError(URLErrorTimedOut, transfer->task->m_request.URL()->absoluteString()));
        }
    }

    std::mutex mutex;
    bool stopping = false;
    bool cancelAll = false;
    std::vector<std::shared_ptr<URLSessionTask>> adds;
    std::vector<std::shared_ptr<URLSessionTask>> cancels;
    CURLM* multi = nullptr;
    // Network thread only.
    std::map<CURL*, std::unique_ptr<URLSessionTask::Transfer>> active;
};

// What a session and its tasks share: the delegate queue and the network loop, stopped when
// the last of them goes.
struct URLSessionEngine {
    explicit URLSessionEngine(dispatch::QueuePtr queue)
        : delegateQueue(std::move(queue))
        , loop(std::make_shared<NetworkLoop>())
    {
    }
    ~URLSessionEngine() { loop->stop(); }

    dispatch::QueuePtr delegateQueue;
    std::atomic<std::uint64_t> nextIdentifier { 1 };
    std::shared_ptr<NetworkLoop> loop;
};

// ---- URLSessionTask -------------------------------------------------------------------------

URLSessionTask::URLSessionTask(std::shared_ptr<URLSessionEngine> engine, std::uint64_t identifier, URLRequest request,
                               CompletionHandler handler)
    : m_engine(std::move(engine))
    , m_identifier(identifier)
    , m_request(std::move(request))
    , m_handler(std::move(handler))
{
}

URLSessionTask::~URLSessionTask() = default;

URLSessionTask::State URLSessionTask::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

std::optional<HTTPURLResponse> URLSessionTask::response() const
{
    std::lock_guard lock(m_mutex);
    return m_response;
}

foundation::ErrorPtr URLSessionTask::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::int64_t URLSessionTask::countOfBytesReceived() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesReceived;
}

void URLSessionTask::resume()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Suspended)
            return;
        m_state = State::Running;
    }
    m_engine->loop->submit(shared_from_this());
}

void URLSessionTask::cancel()
{
    bool started = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Completed || m_state == State::Canceling)
            return;
        started = m_state == State::Running;
        m_state = State::Canceling;
    }
    if (started) {
        m_engine->loop->cancel(shared_from_this());
    } else {
        const auto& url = m_request.URL();
        complete({}, std::nullopt, makeURLError(URLErrorCancelled, url ? url->absoluteString() : std::string()));
    }
}

void URLSessionTask::complete(foundation::Data data, std::optional<HTTPURLResponse> response, foundation::ErrorPtr error)
{
    CompletionHandler handler;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Completed)
            return;
        // A cancel that raced with the end of the transfer still ends as cancelled.
        if (m_state == State::Canceling && !(error && error->is(foundation::URLErrorDomain, URLErrorCancelled))) {
            data.clear();
            response.reset();
            const auto& url = m_request.URL();
            error = makeURLError(URLErrorCancelled, url ? url->absoluteString() : std::string());
        }
        m_state = State::Completed;
        m_response = response;
        m_error = error;
        handler = std::move(m_handler);
        m_handler = nullptr;
    }
    if (!handler)
        return;
    m_engine->delegateQueue->async([self = shared_from_this(), handler = std::move(handler), data = std::move(data),
                                    response = std::move(response), error = std::move(error)] {
        handler(data, response, error);
    });
}

// ---- URLSession -----------------------------------------------------------------------------

URLSession::URLSession(dispatch::QueuePtr delegateQueue, bool shared)
    : m_delegateQueue(delegateQueue ? std::move(delegateQueue) : dispatch::Queue::serial("com.quintor.net.session.delegate"))
    , m_engine(std::make_shared<URLSessionEngine>(m_delegateQueue))
    , m_shared(shared)
{
}

URLSession::~URLSession()
{
    invalidateAndCancel();
}

std::shared_ptr<URLSession> URLSession::sharedSession()
{
    static const std::shared_ptr<URLSession> session(new URLSession(nullptr, true));
    return session;
}

std::shared_ptr<URLSession> URLSession::sessionWithDelegateQueue(dispatch::QueuePtr delegateQueue)
{
    return std::shared_ptr<URLSession>(new URLSession(std::move(delegateQueue), false));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    URLSessionTask::CompletionHandler completionHandler)
{
    struct Enabler : URLSessionDataTask {
        Enabler(std::shared_ptr<URLSessionEngine> e, std::uint64_t i, URLRequest r, CompletionHandler h)
            : URLSessionDataTask(std::move(e), i, std::move(r), std::move(h)) { }
    };
    return std::make_shared<Enabler>(m_engine, m_engine->nextIdentifier++, request, std::move(completionHandler));
}

void URLSession::invalidateAndCancel()
{
    if (m_shared)
        return;
    // Every task that was resumed is on the network thread or on its way there.
    auto& loop = *m_engine->loop;
    std::lock_guard lock(loop.mutex);
    if (loop.multi) {
        loop.cancelAll = true;
        curl_multi_wakeup(loop.multi);
    }
}

} // namespace net
