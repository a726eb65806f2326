#include "MovaraKit/Cinemagraph/PresetsController.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "MovaraKit/Support/FileManager+Movara.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/UI/Application.h"

namespace {

// The running program's name when the main bundle does not give one.
std::string executableName()
{
    if (auto main = foundation::Bundle::main()) {
        const auto& value = main->objectForInfoDictionaryKey("CFBundleExecutable");
        if (value.isString() && !value.asString().empty())
            return value.asString();
    }
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec || self.filename().empty() ? std::string("Quintor") : self.filename().string();
}

} // namespace

foundation::URL PresetsController::customPresetsFileURL()
{
    static const foundation::URL url = [] {
        auto& files = foundation::FileManager::defaultManager();
        auto support = files.URLForDirectory(foundation::SearchPathDirectory::ApplicationSupport, true);
        const foundation::URL base = support ? *support : files.temporaryDirectory();
        return base.URLByAppendingPathComponent(executableName(), true).URLByAppendingPathComponent("Custom Presets.plist");
    }();
    return url;
}

std::shared_ptr<PresetsController> PresetsController::shared()
{
    static const std::shared_ptr<PresetsController> controller = init();
    return controller;
}

std::shared_ptr<PresetsController> PresetsController::init()
{
    return initWithFileURL(customPresetsFileURL());
}

std::shared_ptr<PresetsController> PresetsController::initWithFileURL(const foundation::URL& fileURL)
{
    auto controller = std::make_shared<PresetsController>(fileURL);
    controller->load();
    foundation::NotificationCenter::defaultCenter().addObserver(controller, &PresetsController::applicationWillTerminate,
                                                                ui::NSApplicationWillTerminateNotification);
    return controller;
}

PresetsController::PresetsController(foundation::URL fileURL)
    : m_fileURL(std::move(fileURL)), m_ioQueue(dispatch::Queue::serial("com.movara.stillara.PresetsController.io"))
{
}

void PresetsController::load()
{
    registerPresetArchiveClasses();
    auto& files = foundation::FileManager::defaultManager();
    const foundation::URL folder = m_fileURL.URLByDeletingLastPathComponent();
    files.createDirectoryAtURL(folder, true);
    if (!files.fileExistsAtPath(m_fileURL.path()))
        return;
    foundation::ErrorPtr error;
    auto data = files.contentsAtPath(m_fileURL.path(), &error);
    auto list = data ? unarchivedPresets(*data, &error) : std::nullopt;
    if (list) {
        m_presets = std::move(*list);
        return;
    }
    // The user's presets must not be replaced by the empty list at the next change: the
    // damaged file goes aside, where it can still be looked at or mended.
    const foundation::URL aside = mvr_uniqueFileURLInDirectory(folder.path(), "Custom Presets (damaged)", "plist");
    foundation::ErrorPtr moveError;
    if (!files.moveItemAtURL(m_fileURL, aside, &moveError))
        std::printf("failed to move damaged presets aside: %s\n", moveError->localizedDescription().c_str());
    else
        std::printf("damaged presets moved to %s: %s\n", aside.path().c_str(),
                    error ? error->localizedDescription().c_str() : "");
}

void PresetsController::addChangeObserver(const std::shared_ptr<void>& observer, ChangeHandler handler)
{
    m_changeObservers.push_back(std::make_shared<Observance>(Observance{observer, std::move(handler)}));
}

void PresetsController::notifyChangeObservers()
{
    const auto entries = m_changeObservers;
    for (const auto& entry : entries) {
        if (auto observer = entry->observer.lock()) {
            entry->handler(observer);
        } else {
            auto it = std::find(m_changeObservers.begin(), m_changeObservers.end(), entry);
            if (it != m_changeObservers.end())
                m_changeObservers.erase(it);
        }
    }
}

void PresetsController::savePresets()
{
    // Graphs belong to this thread: they are encoded here, and the queue only writes bytes.
    foundation::ErrorPtr error;
    foundation::Data data = archivedPresets(m_presets, &error);
    if (data.empty()) {
        std::printf("failed to write presets: %s\n", error ? error->localizedDescription().c_str() : "");
        return;
    }
    const std::string path = m_fileURL.path();
    m_ioQueue->async([data = std::move(data), path] {
        foundation::ErrorPtr failure;
        if (!writePresetData(data, path, true, &failure))
            std::printf("failed to write presets: %s\n", failure ? failure->localizedDescription().c_str() : "");
    });
}

void PresetsController::createNewPreset(const std::string& name, const MVRFilterGraph& adjustments)
{
    m_presets.push_back(Preset::init(name, adjustments));
    std::stable_sort(m_presets.begin(), m_presets.end(), [](const PresetPtr& a, const PresetPtr& b) {
        return foundation::localizedStandardCompare(a->name(), b->name()) == foundation::ComparisonResult::OrderedAscending;
    });
    notifyChangeObservers();
    savePresets();
}

void PresetsController::deletePreset(const Preset& preset)
{
    auto it = std::find_if(m_presets.begin(), m_presets.end(), [&](const PresetPtr& p) { return p->isEqual(preset); });
    if (it != m_presets.end())
        m_presets.erase(it);
    notifyChangeObservers();
    savePresets();
}

void PresetsController::applicationWillTerminate(const foundation::Notification&)
{
    m_ioQueue->sync([] { });
}
