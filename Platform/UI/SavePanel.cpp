#include "Platform/UI/SavePanel.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Images/UTType.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Presenter.h"
#include "Platform/UI/ScriptedResponder.h"
#include "Platform/UI/View.h"

namespace ui {

namespace {

bool isTypeIdentifier(const std::string& type)
{
    return type.find('.') != std::string::npos;
}

// The extension a save panel adds for an allowed type.
std::string extensionFor(const std::string& type)
{
    if (!isTypeIdentifier(type))
        return type;
    auto ut = images::UTType::typeWithIdentifier(type);
    return ut ? ut->preferredFilenameExtension() : std::string();
}

} // namespace

std::shared_ptr<SavePanel> SavePanel::savePanel()
{
    return std::shared_ptr<SavePanel>(new SavePanel());
}

bool SavePanel::isAllowedFileName(const std::string& name) const
{
    if (m_allowedTypes.empty())
        return true;
    const std::string ext = foundation::asciiLowercase(foundation::URL::fileURLWithPath(name).pathExtension());
    if (ext.empty())
        return false;
    auto typeOfExtension = images::UTType::typeWithFilenameExtension(ext);
    for (const auto& allowed : m_allowedTypes) {
        if (!isTypeIdentifier(allowed)) {
            if (foundation::asciiLowercase(allowed) == ext)
                return true;
        } else if (typeOfExtension && typeOfExtension->conformsTo(allowed)) {
            return true;
        }
    }
    return false;
}

void SavePanel::recordAnswer(bool asSheet, bool open, ModalResponse response, const std::vector<foundation::URL>& urls)
{
    auto responder = ScriptedResponder::installed();
    if (!responder)
        return;
    ScriptedResponder::Record r;
    r.kind = open ? ScriptedResponder::Kind::openPanel : ScriptedResponder::Kind::savePanel;
    r.asSheet = asSheet;
    r.title = m_title;
    r.messageText = m_message;
    r.nameFieldStringValue = m_nameField;
    r.allowedFileTypes = m_allowedTypes;
    r.response = response;
    r.urls = urls;
    responder->record(std::move(r));
}

ModalResponse SavePanel::answer(bool asSheet)
{
    auto responder = ScriptedResponder::installed();
    std::optional<ScriptedResponder::PanelAnswer> reply;
    if (responder)
        reply = isOpenPanel() ? responder->takeOpenPanelAnswer() : responder->takeSavePanelAnswer();
    std::optional<std::vector<foundation::URL>> chosen;
    if (reply && reply->ok)
        chosen = reply->urls;
    return accept(asSheet, chosen);
}

void SavePanel::chooseOnScreen(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> done)
{
    auto keep = sharedAs<SavePanel>();
    std::weak_ptr<Window> weakParent = parent;
    Presenter::installed()->chooseFiles(
        *this, isOpenPanel(), parent,
        [keep, weakParent, asSheet = parent != nullptr, done = std::move(done)](std::vector<foundation::URL> urls) {
            std::optional<std::vector<foundation::URL>> chosen;
            if (!urls.empty())
                chosen = std::move(urls);
            const ModalResponse response = keep->accept(asSheet, chosen);
            // The chooser asked about replacing the name that was typed; a name the panel
            // completed with its extension is another file, asked about here before anything
            // is written over it.
            if (response == ModalResponseOK && !keep->isOpenPanel() && keep->m_url && chosen
                && keep->m_url->path() != chosen->front().path()) {
                std::error_code ec;
                if (std::filesystem::exists(keep->m_url->path(), ec)) {
                    keep->confirmReplacing(weakParent.lock(), done);
                    return;
                }
            }
            if (done)
                done(response);
        });
}

void SavePanel::confirmReplacing(const std::shared_ptr<Window>& parent, std::function<void(ModalResponse)> done)
{
    auto keep = sharedAs<SavePanel>();
    const foundation::URL url = *m_url;
    auto alert = Alert::init();
    alert->setMessageText("\u201c" + url.lastPathComponent() + "\u201d already exists. Do you want to replace it?");
    alert->setInformativeText("A file with the same name already exists in \u201c"
                              + url.URLByDeletingLastPathComponent().lastPathComponent()
                              + "\u201d. Replacing it will overwrite its current contents.");
    alert->addButtonWithTitle("Replace");
    alert->addButtonWithTitle("Cancel");
    alert->beginSheetModalForWindow(parent, [keep, parent, done](ModalResponse response) {
        if (response == AlertFirstButtonReturn) {
            if (done)
                done(ModalResponseOK);
            return;
        }
        // Back to the chooser, with the name as it would be saved, for another one.
        keep->m_url.reset();
        keep->chooseOnScreen(parent, done);
    });
}

ModalResponse SavePanel::accept(bool asSheet, const std::optional<std::vector<foundation::URL>>& chosen)
{
    m_url.reset();
    ModalResponse response = ModalResponseCancel;
    if (chosen && !chosen->empty() && chosen->front().isFileURL() && !chosen->front().lastPathComponent().empty()) {
        foundation::URL url = chosen->front();
        // The name must end in an allowed type; the panel adds the extension otherwise.
        if (!m_allowsOtherTypes && !m_allowedTypes.empty() && !isAllowedFileName(url.lastPathComponent())) {
            const std::string ext = extensionFor(m_allowedTypes.front());
            if (!ext.empty())
                url = url.URLByAppendingPathExtension(ext);
        }
        m_url = url;
        response = ModalResponseOK;
    }
    recordAnswer(asSheet, false, response, m_url ? std::vector<foundation::URL>{*m_url} : std::vector<foundation::URL>{});
    if (m_url) {
        m_directory = m_url->URLByDeletingLastPathComponent();
        m_nameField = m_url->lastPathComponent();
    }
    return response;
}

ModalResponse SavePanel::runModal()
{
    if (isInteractive()) {
        std::optional<ModalResponse> response;
        chooseOnScreen(nullptr, [&response](ModalResponse r) { response = r; });
        while (!response)
            dispatch::RunLoop::main().runOnce(1.0);
        return *response;
    }
    return answer(false);
}

void SavePanel::begin(std::function<void(ModalResponse)> handler)
{
    auto keep = sharedAs<SavePanel>();
    if (isInteractive()) {
        chooseOnScreen(nullptr, std::move(handler));
        return;
    }
    dispatch::RunLoop::main().perform([keep, handler = std::move(handler)] {
        const ModalResponse response = keep->answer(false);
        if (handler)
            handler(response);
    });
}

void SavePanel::beginSheetModalForWindow(const std::shared_ptr<Window>& host, std::function<void(ModalResponse)> handler)
{
    if (!host) {
        begin(std::move(handler));
        return;
    }
    auto keep = sharedAs<SavePanel>();
    if (isInteractive()) {
        chooseOnScreen(host, std::move(handler));
        return;
    }
    m_sheet = Window::initWithContentRect(graphics::Rect::make(0, 0, 480, 320), WindowStyleMaskTitled);
    m_sheet->setTitle(m_title);
    const ModalResponse response = answer(true);
    host->beginSheet(m_sheet, [keep, handler = std::move(handler)](ModalResponse code) {
        keep->m_sheet.reset();
        if (handler)
            handler(code);
    });
    ScriptedResponder::endSheetSoon(host, m_sheet, response);
}

OpenPanel::OpenPanel()
{
    setCanCreateDirectories(false);
}

std::shared_ptr<OpenPanel> OpenPanel::openPanel()
{
    return std::shared_ptr<OpenPanel>(new OpenPanel());
}

ModalResponse OpenPanel::accept(bool asSheet, const std::optional<std::vector<foundation::URL>>& chosen)
{
    m_url.reset();
    m_urls.clear();
    if (chosen) {
        // Only what the panel would have let the user pick.
        for (const auto& url : *chosen) {
            if (!url.isFileURL())
                continue;
            std::error_code ec;
            const auto status = std::filesystem::status(url.path(), ec);
            if (ec || !std::filesystem::exists(status))
                continue;
            const bool isDirectory = std::filesystem::is_directory(status);
            if (isDirectory ? !m_canChooseDirectories : !m_canChooseFiles)
                continue;
            if (!isDirectory && !allowedFileTypes().empty()) {
                const std::string type = images::typeOfFile(url.path());
                bool ok = isAllowedFileName(url.lastPathComponent());
                for (const auto& allowed : allowedFileTypes())
                    ok = ok || (!type.empty() && images::typeConformsTo(type, allowed));
                if (!ok)
                    continue;
            }
            m_urls.push_back(url);
            if (!m_allowsMultipleSelection)
                break;
        }
    }
    const ModalResponse response = m_urls.empty() ? ModalResponseCancel : ModalResponseOK;
    if (!m_urls.empty())
        m_url = m_urls.front();
    recordAnswer(asSheet, true, response, m_urls);
    return response;
}

} // namespace ui
