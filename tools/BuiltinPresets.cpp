// Writes the framework's built-in presets, "Builtin Presets.plist": a keyed archive of preset
// groups. Run by hand when the presets change; the output is kept in MovaraKit/Resources.
//
//   movarakit-builtin-presets <output file>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "MovaraKit/Cinemagraph/Preset.h"
#include "MovaraKit/Cinemagraph/ColorFilters.h"

namespace {

using graphics::FilterVector;

struct Recipe {
    const char* name;
    std::function<void(MVRFilterGraph&)> adjust;
};

void curve(MVRFilterGraph& graph, double shadows, double midtones, double highlights)
{
    const auto& filter = graph.toneCurveFilter();
    filter->setValue(FilterVector::make(0.25, shadows), "inputPoint1");
    filter->setValue(FilterVector::make(0.5, midtones), "inputPoint2");
    filter->setValue(FilterVector::make(0.75, highlights), "inputPoint3");
}

void channelCurve(MVRFilterGraph& graph, const char* channel, double midtone)
{
    graph.rgbToneCurveFilter()->setValue(FilterVector::make(0.5, midtone), RGBToneCurve::pointKey(channel, 2));
}

PresetGroupPtr group(const char* name, const std::vector<Recipe>& recipes)
{
    std::vector<PresetPtr> presets;
    for (const auto& recipe : recipes) {
        auto graph = MVRFilterGraph::init();
        recipe.adjust(*graph);
        presets.push_back(Preset::init(recipe.name, *graph));
    }
    return PresetGroup::init(name, std::move(presets));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    const std::vector<PresetGroupPtr> groups = {
        group("Light",
              {
                  {"Bright", [](MVRFilterGraph& g) { g.exposureFilter()->setValue(0.4, "inputEV"); }},
                  {"Soft", [](MVRFilterGraph& g) {
                       g.colorControlsFilter()->setValue(0.85, "inputContrast");
                       curve(g, 0.3, 0.52, 0.74);
                   }},
                  {"Crisp", [](MVRFilterGraph& g) {
                       g.colorControlsFilter()->setValue(1.2, "inputContrast");
                       curve(g, 0.2, 0.5, 0.8);
                   }},
              }),
        group("Colour",
              {
                  {"Warm", [](MVRFilterGraph& g) {
                       g.tempTintFilter()->setValue(FilterVector::make(7800, 0), "inputNeutral");
                   }},
                  {"Cool", [](MVRFilterGraph& g) {
                       g.tempTintFilter()->setValue(FilterVector::make(5200, 0), "inputNeutral");
                   }},
                  {"Vivid", [](MVRFilterGraph& g) { g.saturationColorControlsFilter()->setValue(1.35, "inputSaturation"); }},
                  {"Muted", [](MVRFilterGraph& g) { g.saturationColorControlsFilter()->setValue(0.7, "inputSaturation"); }},
              }),
        group("Mood",
              {
                  {"Faded", [](MVRFilterGraph& g) {
                       g.toneCurveFilter()->setValue(FilterVector::make(0, 0.1), "inputPoint0");
                       g.toneCurveFilter()->setValue(FilterVector::make(1, 0.92), "inputPoint4");
                       g.saturationColorControlsFilter()->setValue(0.8, "inputSaturation");
                   }},
                  {"Noir", [](MVRFilterGraph& g) {
                       g.saturationColorControlsFilter()->setValue(0.0, "inputSaturation");
                       g.colorControlsFilter()->setValue(1.25, "inputContrast");
                       g.vignetteFilter()->setValue(0.5, "inputIntensity");
                   }},
                  {"Teal and Orange", [](MVRFilterGraph& g) {
                       channelCurve(g, "Red", 0.55);
                       channelCurve(g, "Blue", 0.46);
                       g.vignetteFilter()->setValue(0.25, "inputIntensity");
                   }},
              }),
    };
    foundation::ErrorPtr error;
    const foundation::Data data = archivedPresetGroups(groups, &error);
    if (data.empty() || !writePresetData(data, argv[1], true, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error ? error->localizedDescription().c_str() : "cannot be written");
        return 1;
    }
    return 0;
}
