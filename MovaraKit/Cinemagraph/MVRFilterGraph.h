#pragma once
// The filter pipeline of one cinemagraph frame: crops and straightens the video frame, the
// still image and the painted mask, lets the video show through the still where the mask is
// painted, runs the seven colour adjustments, composites the canvas objects on top, adds the
// vignette and caches the result as outputImage(). Two previews replace the mask blend: a
// translucent still over the video (alignment) and a coloured overlay of the mask.
//
// The seven adjustment filters are the graph's lasting state: they are archived, copied and
// handed to presets. Every change of one of their inputs is undoable through undoManager().
// A graph belongs to one thread at a time (the host's main thread).

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/UndoManager.h"
#include "Platform/Graphics/Color.h"
#include "Platform/Graphics/ColorSpace.h"
#include "Platform/Graphics/Filter.h"
#include "Platform/Graphics/Geometry.h"

class CanvasObject;
using CanvasObjectPtr = std::shared_ptr<CanvasObject>;

class MVRFilterGraph;
using MVRFilterGraphPtr = std::shared_ptr<MVRFilterGraph>;

// "MVRFilterInputContext": the observation context of the graph's filter inputs.
extern const std::string MVRFilterInputContext;

class MVRFilterGraph : public foundation::Observable,
                       public foundation::Coding,
                       public std::enable_shared_from_this<MVRFilterGraph> {
public:
    using PostProcessingBlock = std::function<graphics::FilterImagePtr(const graphics::FilterImagePtr&)>;

    static MVRFilterGraphPtr init();
    // Stores a copy of each filter given; a missing one is made at its identity values.
    static MVRFilterGraphPtr initWithTempTint(const graphics::FilterPtr& tempTint, const graphics::FilterPtr& exposure,
                                              const graphics::FilterPtr& colorControls, const graphics::FilterPtr& vignette,
                                              const graphics::FilterPtr& rgbToneCurve, const graphics::FilterPtr& toneCurve,
                                              const graphics::FilterPtr& saturationColorControls);
    ~MVRFilterGraph() override;

    // Registers the custom filters and the archive class; done on first use of the class.
    static void initialize();
    // The names of the seven adjustment filters' properties, in the archive's order.
    static const std::vector<std::string>& adjustmentFilterKeys();

    // Per frame. Each is stored moved to zero origin.
    graphics::FilterImagePtr inputVideoImage() const { return m_inputVideoImage; }
    void setInputVideoImage(const graphics::FilterImagePtr& image);
    graphics::FilterImagePtr inputMaskImage() const { return m_inputMaskImage; }
    void setInputMaskImage(const graphics::FilterImagePtr& image);
    graphics::FilterImagePtr inputStillImage() const { return m_inputStillImage; }
    void setInputStillImage(const graphics::FilterImagePtr& image);

    bool blendsStillImage() const { return m_blendsStillImage; }
    void setBlendsStillImage(bool value) { m_blendsStillImage = value; }
    bool showsOverlay() const { return m_showsOverlay; }
    void setShowsOverlay(bool value) { m_showsOverlay = value; }
    // The tint's two colours (dark, light); none for a colour the tint has not got.
    std::vector<std::optional<graphics::Color>> overlayColors();
    // Two or more colours: the first two become the tint and the overlay shows; fewer: the
    // overlay hides and the colours stay.
    void setOverlayColors(const std::vector<graphics::Color>& colors);
    double overlayOpacity() const { return m_overlayOpacity; }
    void setOverlayOpacity(double opacity);
    long long selectedOverlayColorIndex() const { return m_selectedOverlayColorIndex; }
    // Choosing a colour shows the overlay; an index outside the palette is the caller's error,
    // logged and otherwise ignored.
    void setSelectedOverlayColorIndex(long long index);

    std::shared_ptr<foundation::UndoManager> undoManager() const { return m_undoManager.lock(); }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { m_undoManager = undoManager; }
    const PostProcessingBlock& postProcessingBlock() const { return m_postProcessingBlock; }
    void setPostProcessingBlock(PostProcessingBlock block);

    // In the still image's pixels; null means no crop.
    const graphics::Rect& cropRect() const { return m_cropRect; }
    void setCropRect(const graphics::Rect& rect) { m_cropRect = rect; }
    double straightenAngle() const { return m_straightenAngle; }
    void setStraightenAngle(double radians) { m_straightenAngle = radians; }
    const graphics::AffineTransform& canvasTransform() const { return m_canvasTransform; }
    void setCanvasTransform(const graphics::AffineTransform& transform) { m_canvasTransform = transform; }
    // First object on top.
    const std::vector<CanvasObjectPtr>& canvasObjects() const { return m_canvasObjects; }
    void setCanvasObjects(std::vector<CanvasObjectPtr> objects);
    const graphics::ColorSpacePtr& canvasObjectBlendColorSpace() const { return m_canvasObjectBlendColorSpace; }
    void setCanvasObjectBlendColorSpace(const graphics::ColorSpacePtr& space);

    const graphics::FilterPtr& tempTintFilter() const { return m_tempTintFilter; }
    const graphics::FilterPtr& exposureFilter() const { return m_exposureFilter; }
    const graphics::FilterPtr& colorControlsFilter() const { return m_colorControlsFilter; }
    const graphics::FilterPtr& rgbToneCurveFilter() const { return m_rgbToneCurveFilter; }
    const graphics::FilterPtr& toneCurveFilter() const { return m_toneCurveFilter; }
    const graphics::FilterPtr& saturationColorControlsFilter() const { return m_saturationColorControlsFilter; }
    const graphics::FilterPtr& vignetteFilter() const { return m_vignetteFilter; }
    // One of the seven by its property name; none for another name.
    graphics::FilterPtr adjustmentFilter(const std::string& key) const;
    const graphics::FilterPtr& tintFilter();
    void setTintFilter(const graphics::FilterPtr& filter) { m_tintFilter = filter; }
    const graphics::FilterPtr& blendWithAlphaMaskFilter();
    void setBlendWithAlphaMaskFilter(const graphics::FilterPtr& filter) { m_blendWithAlphaMaskFilter = filter; }

    // The finished frame, cached until something changes; none without a video image on the
    // normal path.
    graphics::FilterImagePtr outputImage();
    void invalidateOutputImage();

    // The steps of the pipeline.
    graphics::FilterImagePtr imageByApplyingAlphaMask(const graphics::FilterImagePtr& mask, const graphics::FilterImagePtr& image,
                                                      const graphics::FilterImagePtr& background);
    graphics::FilterImagePtr imageByApplyingAdjustmentFiltersToImage(const graphics::FilterImagePtr& image);
    graphics::FilterImagePtr imageByApplyingVignetteToImage(const graphics::FilterImagePtr& image);
    graphics::FilterImagePtr applyFilters(const std::vector<graphics::FilterPtr>& filters, const graphics::FilterImagePtr& image);
    // Objects bottom first.
    graphics::FilterImagePtr imageByCompositingCanvasObjects(const std::vector<CanvasObjectPtr>& objects,
                                                             const graphics::FilterImagePtr& image);
    static graphics::FilterImagePtr imageByZeroingOriginOfImage(const graphics::FilterImagePtr& image);

    // "<filter's display name> <input's display name>"; none when either is missing.
    static std::optional<std::string> actionNameForFilter(const graphics::Filter* filter, const std::string& inputKey);

    // Copies every adjustment input of `source` whose key path ("vignetteFilter.inputIntensity")
    // is not excluded; each change is undoable.
    void takeValuesFrom(const MVRFilterGraph& source, const std::set<std::string>& excludedKeyPaths);
    // Every adjustment filter back to identity.
    void reset();

    // The seven filters copied, with the crop, straighten angle, canvas objects and transform,
    // blend space and post-processing; no images, previews or undo manager.
    MVRFilterGraphPtr copy() const;

    std::string className() const override { return "MVRFilterGraph"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    const foundation::KeyTable& observableKeys() const override;

    MVRFilterGraph() = default;

private:
    void commonSetUp();
    graphics::FilterPtr* adjustmentSlot(const std::string& key);
    void observeFilterInput(const graphics::FilterPtr& filter, const foundation::KeyValueChange& change);
    graphics::FilterImagePtr geometry(const graphics::FilterImagePtr& image, const graphics::Rect& relativeCrop) const;

    graphics::FilterImagePtr m_inputVideoImage;
    graphics::FilterImagePtr m_inputMaskImage;
    graphics::FilterImagePtr m_inputStillImage;
    bool m_blendsStillImage = false;
    bool m_showsOverlay = false;
    double m_overlayOpacity = 1.0;
    long long m_selectedOverlayColorIndex = 0;
    std::weak_ptr<foundation::UndoManager> m_undoManager;
    PostProcessingBlock m_postProcessingBlock;
    graphics::Rect m_cropRect = graphics::Rect::null();
    double m_straightenAngle = 0;
    graphics::AffineTransform m_canvasTransform;
    std::vector<CanvasObjectPtr> m_canvasObjects;
    graphics::ColorSpacePtr m_canvasObjectBlendColorSpace;

    graphics::FilterPtr m_tempTintFilter;
    graphics::FilterPtr m_exposureFilter;
    graphics::FilterPtr m_colorControlsFilter;
    graphics::FilterPtr m_rgbToneCurveFilter;
    graphics::FilterPtr m_toneCurveFilter;
    graphics::FilterPtr m_saturationColorControlsFilter;
    graphics::FilterPtr m_vignetteFilter;
    graphics::FilterPtr m_tintFilter;
    graphics::FilterPtr m_blendWithAlphaMaskFilter;

    graphics::FilterImagePtr m_outputImage;
    std::vector<foundation::Observable::Token> m_filterObservations;
};
