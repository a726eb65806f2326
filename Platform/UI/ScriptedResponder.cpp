#include "Platform/UI/ScriptedResponder.h"

#include "Platform/Dispatch/RunLoop.h"

namespace ui {

namespace {

std::mutex& installMutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<ScriptedResponder>& current()
{
    static std::shared_ptr<ScriptedResponder> responder;
    return responder;
}

template <class T> std::optional<T> takeFront(std::deque<T>& queue)
{
    if (queue.empty())
        return std::nullopt;
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
}

} // namespace

void ScriptedResponder::install(std::shared_ptr<ScriptedResponder> responder)
{
    std::lock_guard lock(installMutex());
    current() = std::move(responder);
}

std::shared_ptr<ScriptedResponder> ScriptedResponder::installed()
{
    std::lock_guard lock(installMutex());
    return current();
}

void ScriptedResponder::answerAlertWithButton(const std::string& title, bool suppress)
{
    std::lock_guard lock(m_mutex);
    m_alerts.push_back(AlertAnswer{title, AlertFirstButtonReturn, suppress});
}

void ScriptedResponder::answerAlertWithResponse(ModalResponse response, bool suppress)
{
    std::lock_guard lock(m_mutex);
    m_alerts.push_back(AlertAnswer{std::nullopt, response, suppress});
}

void ScriptedResponder::answerOpenPanel(std::vector<foundation::URL> urls)
{
    std::lock_guard lock(m_mutex);
    m_openPanels.push_back(PanelAnswer{true, std::move(urls)});
}

void ScriptedResponder::cancelNextOpenPanel()
{
    std::lock_guard lock(m_mutex);
    m_openPanels.push_back(PanelAnswer{false, {}});
}

void ScriptedResponder::answerSavePanel(const foundation::URL& url)
{
    std::lock_guard lock(m_mutex);
    m_savePanels.push_back(PanelAnswer{true, {url}});
}

void ScriptedResponder::cancelNextSavePanel()
{
    std::lock_guard lock(m_mutex);
    m_savePanels.push_back(PanelAnswer{false, {}});
}

void ScriptedResponder::answerModalWindow(ModalResponse response)
{
    std::lock_guard lock(m_mutex);
    m_modals.push_back(response);
}

size_t ScriptedResponder::pendingAnswers() const
{
    std::lock_guard lock(m_mutex);
    return m_alerts.size() + m_openPanels.size() + m_savePanels.size() + m_modals.size();
}

std::optional<ScriptedResponder::AlertAnswer> ScriptedResponder::takeAlertAnswer()
{
    std::lock_guard lock(m_mutex);
    return takeFront(m_alerts);
}

std::optional<ScriptedResponder::PanelAnswer> ScriptedResponder::takeOpenPanelAnswer()
{
    std::lock_guard lock(m_mutex);
    return takeFront(m_openPanels);
}

std::optional<ScriptedResponder::PanelAnswer> ScriptedResponder::takeSavePanelAnswer()
{
    std::lock_guard lock(m_mutex);
    return takeFront(m_savePanels);
}

std::optional<ModalResponse> ScriptedResponder::takeModalAnswer(const Window& window)
{
    std::optional<ModalResponse> answer;
    {
        std::lock_guard lock(m_mutex);
        answer = takeFront(m_modals);
    }
    Record r;
    r.kind = Kind::modalWindow;
    r.title = window.title();
    r.response = answer.value_or(ModalResponseAbort);
    record(std::move(r));
    return answer;
}

void ScriptedResponder::record(Record record)
{
    std::lock_guard lock(m_mutex);
    m_transcript.push_back(std::move(record));
}

std::vector<ScriptedResponder::Record> ScriptedResponder::transcript() const
{
    std::lock_guard lock(m_mutex);
    return m_transcript;
}

void ScriptedResponder::clearTranscript()
{
    std::lock_guard lock(m_mutex);
    m_transcript.clear();
}

void ScriptedResponder::endSheetSoon(const WindowPtr& host, const WindowPtr& sheet, ModalResponse response)
{
    std::weak_ptr<Window> weakHost = host;
    std::weak_ptr<Window> weakSheet = sheet;
    dispatch::RunLoop::main().perform([weakHost, weakSheet, response] {
        auto h = weakHost.lock();
        auto s = weakSheet.lock();
        if (h && s && s->sheetParent() == h)
            h->endSheet(s, response);
    });
}

} // namespace ui
