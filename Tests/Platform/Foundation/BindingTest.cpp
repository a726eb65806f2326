#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <string>
#include <vector>

#include "Platform/Foundation/Binding.h"

using namespace foundation;

namespace {

class Settings : public Observable {
public:
    double volume() const { return m_volume; }
    void setVolume(double volume)
    {
        willChange("volume");
        m_volume = std::clamp(volume, 0.0, 1.0);
        didChange("volume");
    }
    bool muted() const { return m_muted; }
    void setMuted(bool muted)
    {
        willChange("muted");
        m_muted = muted;
        didChange("muted");
    }

    const KeyTable& observableKeys() const override
    {
        static const KeyTable keys = KeyTable()
                                         .key("volume", &Settings::volume, &Settings::setVolume)
                                         .key("muted", &Settings::muted, &Settings::setMuted);
        return keys;
    }

private:
    double m_volume = 0.5;
    bool m_muted = false;
};

// A control that, like a real one, reports every value set on it as a change.
struct Slider {
    std::vector<double> shown;
    std::shared_ptr<Binding> binding;
    void setDoubleValue(const std::any& v)
    {
        shown.push_back(std::any_cast<double>(v));
        if (binding)
            binding->controlDidChange(v);
    }
};

} // namespace

TEST(Binding, PushesInitialAndChangedValuesAndWritesControlChangesBack)
{
    auto settings = std::make_shared<Settings>();
    Slider slider;
    slider.binding = Binding::bind([&](const std::any& v) { slider.setDoubleValue(v); }, settings, "volume");
    ASSERT_TRUE(slider.binding);
    EXPECT_EQ(slider.shown, std::vector<double> { 0.5 });

    settings->setVolume(0.25);
    EXPECT_EQ(slider.shown, (std::vector<double> { 0.5, 0.25 }));

    // The user drags past the end: the model clamps and the slider shows what was kept.
    slider.binding->controlDidChange(1.7);
    EXPECT_EQ(settings->volume(), 1.0);
    EXPECT_EQ(slider.shown.back(), 1.0);

    // Text where a number belongs is refused, not thrown out of the control: the slider shows
    // the value kept.
    EXPECT_NO_THROW(slider.binding->controlDidChange(std::string("loud")));
    EXPECT_EQ(settings->volume(), 1.0);
    EXPECT_EQ(slider.shown.back(), 1.0);

    slider.binding->unbind();
    settings->setVolume(0.1);
    slider.binding->controlDidChange(0.9);
    EXPECT_EQ(slider.shown.back(), 1.0);
    EXPECT_EQ(settings->volume(), 0.1);
}

TEST(Binding, TransformersApplyInBothDirections)
{
    auto settings = std::make_shared<Settings>();
    std::vector<bool> hidden;
    BindingOptions options;
    auto negate = [](const std::any& v) { return std::any(!std::any_cast<bool>(v)); };
    options.valueTransformer = negate;
    options.reverseValueTransformer = negate;
    auto binding = Binding::bind([&](const std::any& v) { hidden.push_back(std::any_cast<bool>(v)); }, settings,
                                 "muted", options);
    settings->setMuted(true);
    EXPECT_EQ(hidden, (std::vector<bool> { true, false }));
    binding->controlDidChange(true);
    EXPECT_FALSE(settings->muted());
}

TEST(Binding, BindingOutlivingTheObservedObjectDoesNothing)
{
    std::shared_ptr<Binding> binding;
    int pushes = 0;
    {
        auto settings = std::make_shared<Settings>();
        binding = Binding::bind([&](const std::any&) { ++pushes; }, settings, "volume");
    }
    EXPECT_EQ(binding->observedObject(), nullptr);
    binding->controlDidChange(0.3);
    EXPECT_EQ(pushes, 1);
}
