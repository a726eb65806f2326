#pragma once
// An analytics back end: what the applications and the shell's screens report about their use.
// The facade (Analytics) implements it too and forwards every call to its back ends.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// How a document was started. Only the four raw values 0 to 3 exist.
enum class AnalyticsDocumentSource : int { imageSequence = 0, movie = 1, modernizedMovie = 2, movieCapture = 3 };

// The editor's tabs; the list of all of them is in the order the tab bar shows them (see
// Analytics::allNavigationTabs), not in raw-value order.
enum class AnalyticsNavigationTab : int { stillImage = 0, loop = 1, adjustments = 2, crop = 3 };

enum class AnalyticsExportTarget : int { file = 0 };

// Editing actions, raw values 0 to 34; only the two preset actions are told apart by name.
enum class AnalyticsEditAction : int { presetSelected = 17, presetCreated = 18 };

using AnalyticsProperties = std::map<std::string, std::string>;

class AnalyticsTracking {
public:
    virtual ~AnalyticsTracking() = default;

    virtual void signUp() = 0;
    virtual void signIn() = 0;
    virtual void createDocument(AnalyticsDocumentSource source, const std::optional<AnalyticsProperties>& properties) = 0;
    virtual void openDocument() = 0;
    virtual void navigateTo(AnalyticsNavigationTab tab) = 0;
    virtual void edit(AnalyticsEditAction action) = 0;
    virtual void exportTo(AnalyticsExportTarget target, std::int64_t width, std::int64_t height, std::int64_t iterations,
                          const std::string& format, std::int64_t overlayObjectsCount) = 0;
    virtual void upload() = 0;
    virtual void resourceLinkClicked(const std::string& link) = 0;
    virtual void viewTutorials() = 0;
    virtual void playTutorial(const std::string& tutorial, double completion, double duration) = 0;
    virtual void beginOnboardingStage(std::int64_t stage) = 0;
    virtual void endOnboardingStage(std::int64_t stage) = 0;
    virtual void endOnboarding(double completion) = 0;
};
