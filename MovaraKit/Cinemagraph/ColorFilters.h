#pragma once
// The framework's own filters: `RGBToneCurve` (a five-point tone curve per colour channel) and
// `RGBChannelCompositing` (red from one image, green from a second, blue from a third), and
// the constructor that makes both reachable through Filter::filterWithName once
// registerFilters() has run (the filter graph does so). A filter belongs to one thread at a time.

#include <memory>
#include <string>

#include "Platform/Graphics/Filter.h"
#include "Platform/Graphics/FilterKernel.h"

// The channel-compositing kernel in the platform's kernel language, kept as shipped.
extern const std::string MVRRGBChannelCompositingKernelSource;

class RGBChannelCompositing final : public graphics::Filter {
public:
    static std::shared_ptr<RGBChannelCompositing> init();

    graphics::FilterImagePtr inputRedImage() const { return image("inputRedImage"); }
    graphics::FilterImagePtr inputGreenImage() const { return image("inputGreenImage"); }
    graphics::FilterImagePtr inputBlueImage() const { return image("inputBlueImage"); }
    void setInputRedImage(const graphics::FilterImagePtr& v) { setValue(v, "inputRedImage"); }
    void setInputGreenImage(const graphics::FilterImagePtr& v) { setValue(v, "inputGreenImage"); }
    void setInputBlueImage(const graphics::FilterImagePtr& v) { setValue(v, "inputBlueImage"); }
    const graphics::ColorKernelPtr& rgbChannelCompositingKernel() const { return m_kernel; }

    void setDefaults() override;
    graphics::FilterImagePtr outputImage() const override;
    std::string className() const override { return "RGBChannelCompositing"; }

    RGBChannelCompositing();

private:
    graphics::ColorKernelPtr m_kernel;
};

class RGBToneCurve final : public graphics::Filter {
public:
    static std::shared_ptr<RGBToneCurve> init();
    // "inputRedPoint0" ... "inputBluePoint4".
    static std::string pointKey(const std::string& channel, int index);

    void setDefaults() override;
    graphics::FilterImagePtr outputImage() const override;
    std::string className() const override { return "RGBToneCurve"; }

    RGBToneCurve();
};

class MovaraKitFilterConstructor final : public graphics::FilterConstructor {
public:
    // Registers "RGBChannelCompositing" and "RGBToneCurve" (with the category "Custom") and the
    // archive classes of both; once per process, safe against concurrent first use.
    static void registerFilters();
    graphics::FilterPtr filterWithName(const std::string& name) override;
};
