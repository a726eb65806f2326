#include "MovaraKit/Cinemagraph/MVRFilterGraph.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "MovaraKit/Cinemagraph/ColorFilters.h"
#include "MovaraKit/Cinemagraph/FilterImage+Movara.h"
#include "MovaraKit/Media/Color+Movara.h"
#include "MovaraKit/Media/Image+Movara.h"
#include "Platform/Foundation/Error.h"

const std::string MVRFilterInputContext = "MVRFilterInputContext";

namespace {

struct AdjustmentFilter {
    const char* key;
    const char* filterName;
};

// Archive order (and the order values are taken in).
const AdjustmentFilter kArchiveOrder[] = {
    {"tempTintFilter", "CITemperatureAndTint"},
    {"exposureFilter", "CIExposureAdjust"},
    {"colorControlsFilter", "CIColorControls"},
    {"rgbToneCurveFilter", "RGBToneCurve"},
    {"toneCurveFilter", "CIToneCurve"},
    {"saturationColorControlsFilter", "CIColorControls"},
    {"vignetteFilter", "CIVignette"},
};

void* inputContext()
{
    return const_cast<std::string*>(&MVRFilterInputContext);
}

graphics::Rect relativeCropFor(const graphics::Rect& cropRect, const graphics::FilterImagePtr& still)
{
    if (!still || cropRect.isNull())
        return graphics::Rect::null();
    const double w = std::abs(still->extent().width()), h = std::abs(still->extent().height());
    // A still image without area gives no frame of reference: the crop is ignored rather than
    // divided by zero.
    if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h))
        return graphics::Rect::null();
    return graphics::Rect::make(cropRect.minX() / w, cropRect.minY() / h, cropRect.width() / w, cropRect.height() / h);
}

} // namespace

// ---- class ----------------------------------------------------------------------------------

void MVRFilterGraph::initialize()
{
    static std::once_flag once;
    std::call_once(once, [] {
        MovaraKitFilterConstructor::registerFilters();
        foundation::KeyedArchiver::registerClass(foundation::CodingClass{
            "MVRFilterGraph", {}, true, 1, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                auto graph = std::make_shared<MVRFilterGraph>();
                for (const auto& entry : kArchiveOrder) {
                    if (!coder.containsValueForKey(entry.key))
                        continue;
                    auto object = coder.decodeObjectOfClasses({"CIFilter"}, entry.key);
                    if (coder.error())
                        return nullptr;
                    auto filter = std::dynamic_pointer_cast<graphics::Filter>(object);
                    // Each slot holds one kind of filter: anything else is a damaged archive.
                    if (!filter || filter->name() != entry.filterName) {
                        coder.failWithError(foundation::Error::make(
                            foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError,
                            std::string("The filter graph's \"") + entry.key + "\" is not a " + entry.filterName + " filter."));
                        return nullptr;
                    }
                    *graph->adjustmentSlot(entry.key) = filter;
                }
                graph->commonSetUp();
                return graph;
            }});
    });
}

const std::vector<std::string>& MVRFilterGraph::adjustmentFilterKeys()
{
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (const auto& entry : kArchiveOrder)
            k.emplace_back(entry.key);
        return k;
    }();
    return keys;
}

graphics::FilterPtr* MVRFilterGraph::adjustmentSlot(const std::string& key)
{
    graphics::FilterPtr* slots[] = {&m_tempTintFilter,     &m_exposureFilter,  &m_colorControlsFilter,
                                    &m_rgbToneCurveFilter, &m_toneCurveFilter, &m_saturationColorControlsFilter,
                                    &m_vignetteFilter};
    for (size_t i = 0; i < std::size(slots); ++i)
        if (key == kArchiveOrder[i].key)
            return slots[i];
    return nullptr;
}

graphics::FilterPtr MVRFilterGraph::adjustmentFilter(const std::string& key) const
{
    auto* slot = const_cast<MVRFilterGraph*>(this)->adjustmentSlot(key);
    return slot ? *slot : nullptr;
}

MVRFilterGraphPtr MVRFilterGraph::init()
{
    return initWithTempTint(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

MVRFilterGraphPtr MVRFilterGraph::initWithTempTint(const graphics::FilterPtr& tempTint, const graphics::FilterPtr& exposure,
                                                   const graphics::FilterPtr& colorControls, const graphics::FilterPtr& vignette,
                                                   const graphics::FilterPtr& rgbToneCurve, const graphics::FilterPtr& toneCurve,
                                                   const graphics::FilterPtr& saturationColorControls)
{
    initialize();
    auto graph = std::make_shared<MVRFilterGraph>();
    auto copied = [](const graphics::FilterPtr& f) { return f ? f->copy() : nullptr; };
    graph->m_tempTintFilter = copied(tempTint);
    graph->m_exposureFilter = copied(exposure);
    graph->m_colorControlsFilter = copied(colorControls);
    graph->m_vignetteFilter = copied(vignette);
    graph->m_rgbToneCurveFilter = copied(rgbToneCurve);
    graph->m_toneCurveFilter = copied(toneCurve);
    graph->m_saturationColorControlsFilter = copied(saturationColorControls);
    graph->commonSetUp();
    return graph;
}

void MVRFilterGraph::commonSetUp()
{
    m_overlayOpacity = 1.0;
    struct Slot {
        graphics::FilterPtr* filter;
        const char* name;
    };
    // Creation and observation order.
    const Slot slots[] = {
        {&m_tempTintFilter, "CITemperatureAndTint"}, {&m_exposureFilter, "CIExposureAdjust"},
        {&m_colorControlsFilter, "CIColorControls"}, {&m_vignetteFilter, "CIVignette"},
        {&m_toneCurveFilter, "CIToneCurve"},         {&m_rgbToneCurveFilter, "RGBToneCurve"},
        {&m_saturationColorControlsFilter, "CIColorControls"},
    };
    for (const auto& slot : slots) {
        if (!*slot.filter) {
            *slot.filter = graphics::Filter::filterWithName(slot.name);
            mvr_reset(**slot.filter);
        }
    }
    if (m_cropRect == graphics::Rect::zero())
        m_cropRect = graphics::Rect::null();
    m_canvasObjectBlendColorSpace = graphics::ColorSpace::createWithName(graphics::kCGColorSpaceSRGB);
    m_canvasTransform = graphics::AffineTransform::identity();
    for (const auto& slot : slots) {
        graphics::FilterPtr filter = *slot.filter;
        std::weak_ptr<graphics::Filter> weakFilter = filter;
        for (const auto& key : filter->inputKeys()) {
            m_filterObservations.push_back(filter->addObserver(
                key,
                foundation::KeyValueObservingOptionNew | foundation::KeyValueObservingOptionOld
                    | foundation::KeyValueObservingOptionInitial,
                inputContext(), [this, weakFilter](const foundation::KeyValueChange& change) {
                    if (auto f = weakFilter.lock())
                        observeFilterInput(f, change);
                }));
        }
    }
}

MVRFilterGraph::~MVRFilterGraph()
{
    // Same order as they were added.
    for (auto& token : m_filterObservations)
        token.remove();
}

// ---- observation and undo -------------------------------------------------------------------

void MVRFilterGraph::observeFilterInput(const graphics::FilterPtr& filter, const foundation::KeyValueChange& change)
{
    if (change.context != inputContext())
        return;
    const std::any& old = change.oldValue;
    if (!old.has_value() || graphics::filterValuesEqual(old, change.newValue))
        return;
    if (change.keyPath != graphics::kCIInputImageKey) {
        if (auto undo = undoManager()) {
            const std::string key = change.keyPath;
            undo->registerUndo<graphics::Filter>(filter, [key, old](graphics::Filter& f) { f.setValue(old, key); });
            if (!undo->isUndoing() && !undo->isRedoing()) {
                if (auto name = actionNameForFilter(filter.get(), key))
                    undo->setActionName(*name);
            }
        }
    }
    invalidateOutputImage();
}

std::optional<std::string> MVRFilterGraph::actionNameForFilter(const graphics::Filter* filter, const std::string& inputKey)
{
    if (!filter)
        return std::nullopt;
    const auto& attributes = filter->attributes();
    const auto* input = attributes.input(inputKey);
    if (attributes.displayName.empty() || !input || input->displayName.empty())
        return std::nullopt;
    return attributes.displayName + " " + input->displayName;
}

const foundation::KeyTable& MVRFilterGraph::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("outputImage", [](const foundation::Observable& o) -> std::any {
            return static_cast<const MVRFilterGraph&>(o).m_outputImage;
        });
        for (const auto& entry : kArchiveOrder) {
            t.key(entry.key, [key = std::string(entry.key)](const foundation::Observable& o) -> std::any {
                return static_cast<const MVRFilterGraph&>(o).adjustmentFilter(key);
            });
        }
        return t;
    }();
    return table;
}

void MVRFilterGraph::invalidateOutputImage()
{
    willChange("outputImage");
    m_outputImage = nullptr;
    didChange("outputImage");
}

// ---- properties -----------------------------------------------------------------------------

void MVRFilterGraph::setInputVideoImage(const graphics::FilterImagePtr& image)
{
    m_inputVideoImage = imageByZeroingOriginOfImage(image);
    invalidateOutputImage();
}

void MVRFilterGraph::setInputMaskImage(const graphics::FilterImagePtr& image)
{
    m_inputMaskImage = imageByZeroingOriginOfImage(image);
    invalidateOutputImage();
}

void MVRFilterGraph::setInputStillImage(const graphics::FilterImagePtr& image)
{
    m_inputStillImage = imageByZeroingOriginOfImage(image);
    invalidateOutputImage();
}

void MVRFilterGraph::setOverlayOpacity(double opacity)
{
    m_overlayOpacity = std::min(std::max(opacity, 0.0), 1.0);
    invalidateOutputImage();
}

void MVRFilterGraph::setPostProcessingBlock(PostProcessingBlock block)
{
    m_postProcessingBlock = std::move(block);
    invalidateOutputImage();
}

void MVRFilterGraph::setCanvasObjects(std::vector<CanvasObjectPtr> objects)
{
    m_canvasObjects = std::move(objects);
    invalidateOutputImage();
}

void MVRFilterGraph::setCanvasObjectBlendColorSpace(const graphics::ColorSpacePtr& space)
{
    const bool same = space && m_canvasObjectBlendColorSpace ? space->isEqual(*m_canvasObjectBlendColorSpace)
                                                             : space == m_canvasObjectBlendColorSpace;
    if (same)
        return;
    m_canvasObjectBlendColorSpace = space;
    invalidateOutputImage();
}

const graphics::FilterPtr& MVRFilterGraph::tintFilter()
{
    if (!m_tintFilter) {
        const graphics::Color c = mvr_standardOverlayColorsPalette()[0];
        m_tintFilter = graphics::Filter::filterWithName("CIFalseColor");
        m_tintFilter->setValue(mvr_darkenedForOverlay(c), "inputColor0");
        m_tintFilter->setValue(c, "inputColor1");
    }
    return m_tintFilter;
}

const graphics::FilterPtr& MVRFilterGraph::blendWithAlphaMaskFilter()
{
    if (!m_blendWithAlphaMaskFilter) {
        m_blendWithAlphaMaskFilter = graphics::Filter::filterWithName("CIBlendWithAlphaMask");
        mvr_reset(*m_blendWithAlphaMaskFilter);
    }
    return m_blendWithAlphaMaskFilter;
}

std::vector<std::optional<graphics::Color>> MVRFilterGraph::overlayColors()
{
    std::vector<std::optional<graphics::Color>> colors;
    for (const char* key : {"inputColor0", "inputColor1"}) {
        const std::any value = tintFilter()->value(key);
        const auto* color = std::any_cast<graphics::Color>(&value);
        colors.push_back(color ? std::optional<graphics::Color>(*color) : std::nullopt);
    }
    return colors;
}

void MVRFilterGraph::setOverlayColors(const std::vector<graphics::Color>& colors)
{
    if (colors.size() >= 2) {
        tintFilter()->setValue(colors[0], "inputColor0");
        tintFilter()->setValue(colors[1], "inputColor1");
        m_showsOverlay = true;
    } else {
        m_showsOverlay = false;
    }
    invalidateOutputImage();
}

void MVRFilterGraph::setSelectedOverlayColorIndex(long long index)
{
    const auto& palette = mvr_standardOverlayColorsPalette();
    // A colour the palette does not have is a slip of the caller's (a stale menu tag, say):
    // the overlay stays as it is rather than the program ending over a preview colour.
    if (index < 0 || uint64_t(index) >= palette.size()) {
        std::fprintf(stderr, "MVRFilterGraph: no overlay colour %lld in a palette of %zu\n", index, palette.size());
        return;
    }
    m_selectedOverlayColorIndex = index;
    const graphics::Color c = palette[size_t(index)];
    setOverlayColors({mvr_darkenedForOverlay(c), c});
}

// ---- pipeline -------------------------------------------------------------------------------

graphics::FilterImagePtr MVRFilterGraph::imageByZeroingOriginOfImage(const graphics::FilterImagePtr& image)
{
    if (!image)
        return nullptr;
    const graphics::Rect e = image->extent();
    if (e.origin.x == 0 && e.origin.y == 0)
        return image;
    if (e.isNull() || e.isInfinite())
        return image;
    return image->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(-e.minX(), -e.minY()));
}

graphics::FilterImagePtr MVRFilterGraph::imageByApplyingAlphaMask(const graphics::FilterImagePtr& mask,
                                                                  const graphics::FilterImagePtr& image,
                                                                  const graphics::FilterImagePtr& background)
{
    graphics::FilterImagePtr bg = background, m = mask;
    if (image) {
        const graphics::Size size = image->extent().size;
        if (bg && !(bg->extent().size == size))
            bg = mvr_imageWithSize(bg, size);
        if (m && !(m->extent().size == size))
            m = mvr_imageWithSize(m, size);
    }
    const auto& blend = blendWithAlphaMaskFilter();
    blend->setValue(image, graphics::kCIInputImageKey);
    blend->setValue(bg, graphics::kCIInputBackgroundImageKey);
    blend->setValue(m, "inputMaskImage");
    auto output = blend->outputImage();
    blend->setValue(std::any(), graphics::kCIInputImageKey);
    blend->setValue(std::any(), graphics::kCIInputBackgroundImageKey);
    blend->setValue(std::any(), "inputMaskImage");
    return output;
}

graphics::FilterImagePtr MVRFilterGraph::imageByApplyingAdjustmentFiltersToImage(const graphics::FilterImagePtr& image)
{
    const graphics::FilterPtr chain[] = {m_tempTintFilter,    m_exposureFilter,  m_colorControlsFilter,
                                         m_rgbToneCurveFilter, m_toneCurveFilter, m_saturationColorControlsFilter};
    graphics::FilterImagePtr current = image;
    for (const auto& filter : chain) {
        filter->setValue(current, graphics::kCIInputImageKey);
        current = filter->outputImage();
    }
    graphics::FilterImagePtr result = current ? current : image;
    for (const auto& filter : chain)
        filter->setValue(std::any(), graphics::kCIInputImageKey);
    return result;
}

graphics::FilterImagePtr MVRFilterGraph::imageByApplyingVignetteToImage(const graphics::FilterImagePtr& image)
{
    m_vignetteFilter->setValue(image, graphics::kCIInputImageKey);
    auto output = m_vignetteFilter->outputImage();
    m_vignetteFilter->setValue(std::any(), graphics::kCIInputImageKey);
    return output;
}

graphics::FilterImagePtr MVRFilterGraph::applyFilters(const std::vector<graphics::FilterPtr>& filters,
                                                      const graphics::FilterImagePtr& image)
{
    graphics::FilterImagePtr current = image;
    for (const auto& filter : filters) {
        filter->setValue(current, graphics::kCIInputImageKey);
        current = filter->outputImage();
        filter->setValue(std::any(), graphics::kCIInputImageKey);
    }
    return current;
}

graphics::FilterImagePtr MVRFilterGraph::geometry(const graphics::FilterImagePtr& image, const graphics::Rect& relativeCrop) const
{
    if (!image || relativeCrop.isNull())
        return image;
    const graphics::Rect e = image->extent();
    // The rotation needs a finite picture; an endless or empty one has nothing to crop.
    if (e.isNull() || e.isInfinite() || e.isEmpty())
        return image;
    const double w = std::abs(e.width()), h = std::abs(e.height());
    const graphics::Rect crop = graphics::Rect::make(std::round(relativeCrop.origin.x * w), std::round(relativeCrop.origin.y * h),
                                                     std::round(relativeCrop.size.width * w),
                                                     std::round(relativeCrop.size.height * h));
    auto turned = mvr_imageByApplyingRotation(image, m_straightenAngle, crop);
    const graphics::Rect t = turned->extent();
    if (t.isNull())
        return turned;
    return turned->imageByApplyingTransform(graphics::AffineTransform::makeTranslation(-t.minX(), -t.minY()));
}

graphics::FilterImagePtr MVRFilterGraph::outputImage()
{
    if (m_outputImage)
        return m_outputImage;
    const graphics::Rect relativeCrop = relativeCropFor(m_cropRect, m_inputStillImage);
    graphics::FilterImagePtr mask = geometry(m_inputMaskImage, relativeCrop);
    graphics::FilterImagePtr video = geometry(m_inputVideoImage, relativeCrop);
    graphics::FilterImagePtr still = geometry(m_inputStillImage, relativeCrop);
    if (video) {
        const graphics::Size size = video->extent().size;
        if (still && !(still->extent().size == size))
            still = mvr_imageWithSize(still, size);
        if (mask && !(mask->extent().size == size))
            mask = mvr_imageWithSize(mask, size);
    }
    const std::vector<CanvasObjectPtr> objects(m_canvasObjects.rbegin(), m_canvasObjects.rend());
    auto finish = [&](const graphics::FilterImagePtr& image) {
        return imageByApplyingVignetteToImage(imageByCompositingCanvasObjects(objects, imageByApplyingAdjustmentFiltersToImage(image)));
    };

    graphics::FilterImagePtr result;
    if (m_blendsStillImage) {
        auto sourceOver = graphics::Filter::filterWithName("CISourceOverCompositing");
        sourceOver->setDefaults();
        graphics::FilterImagePtr translucent = mvr_imageWithAlpha(still, 0.5);
        if (translucent && video)
            translucent = mvr_imageWithSize(translucent, video->extent().size);
        sourceOver->setValue(translucent, graphics::kCIInputImageKey);
        sourceOver->setValue(video, graphics::kCIInputBackgroundImageKey);
        auto aligned = sourceOver->outputImage();
        result = aligned ? finish(aligned) : nullptr;
    } else if (m_showsOverlay) {
        graphics::FilterImagePtr v = video ? finish(video) : nullptr;
        graphics::FilterImagePtr s = still ? finish(still) : nullptr;
        graphics::FilterImagePtr tint = s ? applyFilters({tintFilter()}, s) : nullptr;
        if (tint && m_overlayOpacity < 1.0)
            tint = mvr_imageWithAlpha(tint, m_overlayOpacity);
        graphics::FilterImagePtr blended = imageByApplyingAlphaMask(mask, v, tint);
        result = blended && m_overlayOpacity < 1.0 && v ? blended->imageByCompositingOverImage(v) : blended;
    } else {
        auto blended = imageByApplyingAlphaMask(mask, video, still);
        result = blended ? finish(blended) : nullptr;
    }
    if (m_postProcessingBlock)
        result = m_postProcessingBlock(result);
    m_outputImage = result;
    return result;
}

// ---- values ---------------------------------------------------------------------------------

void MVRFilterGraph::takeValuesFrom(const MVRFilterGraph& source, const std::set<std::string>& excludedKeyPaths)
{
    for (const auto& property : adjustmentFilterKeys()) {
        graphics::FilterPtr from = source.adjustmentFilter(property);
        graphics::FilterPtr to = adjustmentFilter(property);
        if (!from || !to)
            continue;
        for (const auto& key : from->inputKeys()) {
            if (excludedKeyPaths.count(property + "." + key))
                continue;
            to->setValue(from->value(key), key);
        }
    }
}

void MVRFilterGraph::reset()
{
    for (const auto& filter : {m_tempTintFilter, m_exposureFilter, m_colorControlsFilter, m_vignetteFilter, m_toneCurveFilter,
                               m_rgbToneCurveFilter, m_saturationColorControlsFilter})
        mvr_reset(*filter);
}

MVRFilterGraphPtr MVRFilterGraph::copy() const
{
    auto graph = initWithTempTint(m_tempTintFilter, m_exposureFilter, m_colorControlsFilter, m_vignetteFilter,
                                  m_rgbToneCurveFilter, m_toneCurveFilter, m_saturationColorControlsFilter);
    graph->setPostProcessingBlock(m_postProcessingBlock);
    graph->setCropRect(m_cropRect);
    graph->setStraightenAngle(m_straightenAngle);
    graph->setCanvasObjectBlendColorSpace(m_canvasObjectBlendColorSpace);
    graph->setCanvasObjects(m_canvasObjects);
    graph->setCanvasTransform(m_canvasTransform);
    return graph;
}

void MVRFilterGraph::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    for (const auto& entry : kArchiveOrder)
        coder.encodeObject(adjustmentFilter(entry.key), entry.key);
}
