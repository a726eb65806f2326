#pragma once
// The model behind cropping and straightening a picture: the image size, the crop rectangle,
// the straighten angle (radians) and whether the crop keeps its aspect ratio. It turns pointer
// tracking (a corner, an edge, the whole rectangle, or rotation) into a new rectangle and
// angle, and every rectangle it stores lies inside the image as rotated by the angle. It also
// keeps the snap angles of the straighten dial and converts crop rectangles and angles between
// document and controller space. Geometry is y-up in the image's unrotated pixel space.
// One thread at a time (the user-interface thread).

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "MovaraKit/Support/Geometry+Movara.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Graphics/Geometry.h"
#include "Platform/Graphics/Image.h"

class CropController : public foundation::Observable {
public:
    enum class TrackingMode { topLeft, topRight, bottomLeft, bottomRight, top, left, bottom, right, center, rotate };

    struct TrackingStep {
        graphics::Rect rect;
        double angle = 0;
    };
    struct TrackingEnd {
        // The rectangle shown while tracking when the stored one differs from it (so a view
        // can animate from one to the other); none when they are the same.
        std::optional<graphics::Rect> oldRect;
        graphics::Rect newRect;
        double angle = 0;
    };

    static constexpr double snapThreshold = 0.03490658503988659;    // 2 degrees
    static constexpr double snapEnablingDelta = 0.08726646259971647; // 5 degrees

    // 640 x 480, angle 0, rect (30, 30, 300, 300), keeping the aspect ratio.
    static std::shared_ptr<CropController> init();

    bool preserveAspect() const { return m_preserveAspect; }
    void setPreserveAspect(bool value) { m_preserveAspect = value; }
    graphics::Size size() const { return m_size; }
    void setSize(const graphics::Size& size);
    double angle() const { return m_angle; }
    // Not clamped here; the rectangle is constrained to the newly rotated image.
    void setAngle(double angle);
    graphics::Rect rect() const { return m_rect; }
    // Stores the rectangle constrained to the rotated image.
    void setRect(const graphics::Rect& rect);
    std::optional<TrackingMode> trackingMode() const { return m_trackingMode; }
    void setTrackingMode(std::optional<TrackingMode> mode) { m_trackingMode = mode; }

    double x() const { return m_rect.origin.x; }
    void setX(double x);
    double y() const { return m_rect.origin.y; }
    void setY(double y);
    double width() const { return m_rect.width(); }
    void setWidth(double width);
    double height() const { return m_rect.height(); }
    void setHeight(double height);

    // Snap angles of the straighten dial (radians).
    const std::vector<double>& snapAngles() const { return m_snapAngles; }
    // The first snap angle within the threshold (inclusive) of `angle`.
    std::optional<double> snappedAngleFor(double angle) const;
    // Appends unless an existing snap angle already covers it; true when appended.
    bool appendSnapAngle(double angle);
    void resetSnapAngles() { m_snapAngles.clear(); }

    // Angle 0 and the whole image as the crop.
    bool isDefaultCropAndRotate() const;
    // Clamped to [-pi/4, pi/4]; not a number gives -pi/4.
    static double constrainToAllowedRotation(double angle);

    // One begin, any number of continues, one end. Breaking the order stops the program.
    void beginTracking(TrackingMode mode, const graphics::Point& point);
    TrackingStep continueTracking(const graphics::Point& point);
    TrackingEnd endTracking(const graphics::Point& point, bool cancelled);

    // ---- conversions ----
    // The sense of rotation flips when the transform mirrors one axis.
    static double convertDocumentAngleToController(double angle, const graphics::AffineTransform& transform);
    static double convertControllerAngleToDocument(double angle, const graphics::AffineTransform& transform);
    // A null rectangle gives the image's bounds in controller space.
    static graphics::Rect convertDocumentCropRectToController(const graphics::Rect& rect, const graphics::Size& size,
                                                              const graphics::AffineTransform& transform);
    static graphics::Rect convertControllerCropRectToDocument(const graphics::Rect& rect, const graphics::Size& size,
                                                              const graphics::AffineTransform& transform);
    // The rectangle scaled from one image size to another, rounded to whole numbers (halves
    // away from zero); unchanged for a null rectangle or equal sizes.
    static graphics::Rect convertCropRect(const graphics::Rect& rect, const graphics::Size& from, const graphics::Size& to);

    // Proposes a straighten angle from the picture's horizon, clamped to [-pi/4, pi/4]; runs on
    // the caller's thread and calls `completion` before returning, with an angle or with an
    // error of MVRErrorDomain, code -1, when no horizon is found.
    static void computeAutoStraightenAngleForImage(const graphics::ImagePtr& image,
                                                   const std::function<void(std::optional<double>, foundation::ErrorPtr)>& completion);

    const foundation::KeyTable& observableKeys() const override;

protected:
    CropController() = default;

private:
    graphics::Rect constrainedRect(const graphics::Rect& candidate, std::optional<TrackingMode> mode) const;

    bool m_preserveAspect = true;
    graphics::Size m_size {640, 480};
    double m_angle = 0;
    graphics::Rect m_rect = graphics::Rect::make(30, 30, 300, 300);
    std::optional<TrackingMode> m_trackingMode;
    std::optional<graphics::Rect> m_originalRect;
    std::optional<double> m_originalAngle;
    std::optional<graphics::Point> m_startPoint;
    std::optional<graphics::Rect> m_trackingRect;
    std::optional<double> m_trackingAngle;
    std::vector<double> m_snapAngles;
};
