#pragma once
// Presets: a named set of colour-adjustment values (its own filter graph) with key paths that
// applying it leaves alone, and named groups of them. The built-in groups ship as the
// framework resource "Builtin Presets.plist"; single presets are files of their own type, and a
// folder tree of such files becomes groups. Presets and groups are immutable and may be
// shared between threads; applying one changes the target graph on that graph's thread.

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UUID.h"

// "com.movara.stillara-preset": the type of a file holding one archived preset.
extern const std::string presetUTI;
// "stillarapreset": the file-name extension by which such files are recognised here.
extern const std::string presetFileExtension;

class Preset;
class PresetGroup;
using PresetPtr = std::shared_ptr<Preset>;
using PresetGroupPtr = std::shared_ptr<PresetGroup>;

// Class versions and the legacy archive names "Stillara.Preset" / "Stillara.PresetGroup";
// once per process, safe against concurrent first use.
void registerPresetArchiveClasses();

class Preset : public foundation::Coding {
public:
    // Keeps a copy of the graph and takes a new identity.
    static PresetPtr init(const std::string& name, const MVRFilterGraph& filterGraph,
                          std::set<std::string> excludedKeyPaths = {});

    const std::string& name() const { return m_name; }
    const MVRFilterGraphPtr& filterGraph() const { return m_filterGraph; }
    const std::set<std::string>& excludedKeyPaths() const { return m_excludedKeyPaths; }
    const foundation::UUID& uuid() const { return m_uuid; }
    // Identity is the UUID alone.
    bool isEqual(const Preset& other) const { return m_uuid == other.m_uuid; }
    std::size_t hash() const { return m_uuid.hash(); }
    std::vector<std::shared_ptr<const foundation::Coding>> children() const { return {}; }

    // Archives the preset alone into a new file; never replaces an existing one. False and
    // the file system's error when the file exists or cannot be written.
    bool write(const foundation::URL& url, foundation::ErrorPtr* error = nullptr) const;
    // Copies every adjustment not excluded into `target`.
    void apply(MVRFilterGraph& target) const;

    std::string className() const override { return "MovaraKit.Preset"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

    Preset(std::string name, MVRFilterGraphPtr graph, std::set<std::string> excluded, foundation::UUID uuid);

private:
    std::string m_name;
    MVRFilterGraphPtr m_filterGraph;
    std::set<std::string> m_excludedKeyPaths;
    foundation::UUID m_uuid;
};

class PresetGroup : public foundation::Coding {
public:
    static PresetGroupPtr init(const std::string& name, std::vector<PresetPtr> presets);

    const std::string& name() const { return m_name; }
    const std::vector<PresetPtr>& presets() const { return m_presets; }
    const std::vector<PresetPtr>& children() const { return m_presets; }

    // The framework's built-in groups, read once per process (empty, with a log line, when
    // the resource is missing or damaged).
    static const std::vector<PresetGroupPtr>& builtinGroups();
    // Groups from a folder tree: every preset file inside a subfolder of `folder`, grouped by
    // the first subfolder, named by its file name, ordered by name; fresh identities.
    static std::vector<PresetGroupPtr> groups(const foundation::URL& folder);
    // "Custom": the shared presets controller's presets now.
    static PresetGroupPtr custom();

    std::string className() const override { return "MovaraKit.PresetGroup"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

    PresetGroup(std::string name, std::vector<PresetPtr> presets) : m_name(std::move(name)), m_presets(std::move(presets)) { }

private:
    std::string m_name;
    std::vector<PresetPtr> m_presets;
};

// Archive helpers shared with the presets controller: an array of presets or of groups as a
// keyed archive's root, and back (none, with `error`, for anything else).
foundation::Data archivedPresets(const std::vector<PresetPtr>& presets, foundation::ErrorPtr* error = nullptr);
std::optional<std::vector<PresetPtr>> unarchivedPresets(const foundation::Data& data, foundation::ErrorPtr* error = nullptr);
foundation::Data archivedPresetGroups(const std::vector<PresetGroupPtr>& groups, foundation::ErrorPtr* error = nullptr);
std::optional<std::vector<PresetGroupPtr>> unarchivedPresetGroups(const foundation::Data& data,
                                                                  foundation::ErrorPtr* error = nullptr);

// Writes `data` to `path`: atomically replacing what is there, or only as a new file (the
// file system's error when one exists). A failed write leaves no partial file.
bool writePresetData(const foundation::Data& data, const std::string& path, bool atomically,
                     foundation::ErrorPtr* error = nullptr);
