#include "MovaraAppKit/Controls/RoundAvatarView.h"

#include "MovaraAppKit/Controls/Image+Movara.h"
#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/Media/With.h"
#include "Platform/Dispatch/Queue.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Images/ImageSource.h"
#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Event.h"
#include "Platform/UI/GraphicsContext.h"

using graphics::Rect;

RoundAvatarView::RoundAvatarView(const Rect& frame)
    : ui::ImageView(frame)
{
}

std::shared_ptr<RoundAvatarView> RoundAvatarView::make(const Rect& frame)
{
    std::shared_ptr<RoundAvatarView> v(new RoundAvatarView(frame));
    v->m_label = with(ui::TextField::labelWithString(foundation::localized("edit", "image picker label", mvr_movaraAppKitBundle())),
                      [](std::shared_ptr<ui::TextField>& label) {
                          label->setFont(ui::Font::systemFontOfSize(ui::Font::systemFontSize()));
                          label->setTextColor(ui::Color::white());
                          label->setDrawsBackground(false);
                          label->setBordered(false);
                          label->setBezeled(false);
                          label->setEditable(false);
                          label->setSelectable(false);
                          label->sizeToFit();
                      });
    v->m_darkenLayer = with(ui::Layer::layer(), [](ui::LayerPtr& layer) {
        layer->setBackgroundColor(ui::Color::black());
        layer->setOpacity(0.333);
    });
    std::weak_ptr<RoundAvatarView> weak = v;
    v->registerAction("showPictureTaker:", [weak](ui::Object* sender) {
        if (auto self = weak.lock())
            self->showPictureTaker(sender);
    });
    return v;
}

std::shared_ptr<RoundAvatarView> RoundAvatarView::initWithFrame(const Rect& frame)
{
    return make(frame);
}

std::shared_ptr<RoundAvatarView> RoundAvatarView::initWithCoder(const Rect& frame)
{
    return make(frame);
}

void RoundAvatarView::awakeFromNib()
{
    ui::ImageView::awakeFromNib();
    setWantsLayer(true);
    if (!m_changeable)
        return;
    setToolTip(foundation::localized("Edit image", "image picker tooltip", mvr_movaraAppKitBundle()));
    m_darkenLayer->setFrame(bounds());
    m_darkenLayer->setHidden(true);
    if (layer()) {
        // The darkening follows the circle, not the square around it.
        layer()->setMasksToBounds(true);
        layer()->addSublayer(m_darkenLayer);
    }
    m_label->setHidden(true);
    addSubview(m_label);
}

void RoundAvatarView::layout()
{
    if (m_changeable) {
        const Rect b = bounds();
        const graphics::Size s = m_label->frame().size;
        m_label->setFrame(Rect::make(b.midX() - s.width / 2, b.minY() + s.height, s.width, s.height).integral());
    }
    ui::ImageView::layout();
}

void RoundAvatarView::draw(const Rect& dirtyRect, ui::GraphicsContext& context)
{
    const double radius = frame().size.height / 2;
    if (layer())
        layer()->setCornerRadius(radius);
    context.saveGState();
    context.clipToPath(ui::BezierPath::bezierPathWithRoundedRect(bounds(), radius, radius));
    ui::ImageView::draw(dirtyRect, context);
    context.restoreGState();
}

void RoundAvatarView::updateTrackingAreas()
{
    ui::ImageView::updateTrackingAreas();
    if (!m_changeable)
        return;
    if (m_trackingArea)
        removeTrackingArea(m_trackingArea);
    m_trackingArea = ui::TrackingArea::initWithRect(bounds(), ui::NSTrackingMouseEnteredAndExited | ui::NSTrackingActiveAlways,
                                                    sharedAs<ui::Responder>());
    addTrackingArea(m_trackingArea);
}

void RoundAvatarView::drawFocusRingMask(ui::GraphicsContext& context) const
{
    const Rect b = bounds();
    context.setFillColor(ui::Color::keyboardFocusIndicatorColor());
    context.fillPath(ui::BezierPath::bezierPathWithRoundedRect(b, b.width() / 2, b.width() / 2));
}

void RoundAvatarView::mouseEntered(const ui::Event&)
{
    if (!m_changeable || !isEnabled())
        return;
    m_darkenLayer->setHidden(false);
    m_label->setHidden(false);
    setNeedsDisplay(true);
}

void RoundAvatarView::mouseExited(const ui::Event&)
{
    if (!m_changeable || !isEnabled())
        return;
    m_darkenLayer->setHidden(true);
    m_label->setHidden(true);
    setNeedsDisplay(true);
}

void RoundAvatarView::mouseDown(const ui::Event&)
{
    // The click is acted on when the button goes up; the press itself must not travel on
    // along the responder chain.
}

void RoundAvatarView::mouseUp(const ui::Event&)
{
    if (m_changeable && isEnabled())
        openPictureTaker();
}

void RoundAvatarView::keyUp(const ui::Event& event)
{
    if (m_changeable && isEnabled() && event.characters() == " ")
        openPictureTaker();
}

void RoundAvatarView::showPictureTaker(ui::Object*)
{
    openPictureTaker();
}

void RoundAvatarView::openPictureTaker()
{
    std::weak_ptr<RoundAvatarView> weak = sharedAs<RoundAvatarView>();
    ui::PictureTaker::sharedPictureTaker().popUpRecentsMenuForView(this, [weak](ui::PictureTaker& taker, ui::ModalResponse code) {
        if (auto self = weak.lock())
            self->pictureTakerDidEnd(taker, code);
    });
}

void RoundAvatarView::pictureTakerDidEnd(ui::PictureTaker& taker, ui::ModalResponse returnCode)
{
    if (!m_changeable || returnCode != ui::ModalResponseOK || !isEnabled())
        return;
    ui::ImagePtr image = taker.outputImage();
    if (image && m_changeHandler) {
        setImage(image);
        m_changeHandler(image);
    }
}

ui::ImagePtr RoundAvatarView::defaultAvatarImage()
{
    static const ui::ImagePtr image = [] {
        if (auto found = mvr_imageForResource(mvr_movaraAppKitBundle(), "default-avatar"))
            return found;
        // Without the resource (a broken installation) a plain grey figure keeps every
        // caller supplied with a picture.
        return ui::Image::imageWithSize({128, 128}, false, [](ui::GraphicsContext& context, const Rect& rect) {
            context.setFillColor(ui::Color::calibratedWhite(0.8));
            context.fillRect(rect);
            context.setFillColor(ui::Color::calibratedWhite(0.6));
            context.fillPath(ui::BezierPath::bezierPathWithOvalInRect(Rect::make(40, 64, 48, 48)));
            context.fillPath(ui::BezierPath::bezierPathWithOvalInRect(Rect::make(16, -40, 96, 96)));
        });
    }();
    return image;
}

namespace {

// Whether the picture's header promises no more pixels than an avatar can use: a server's few
// kilobytes may claim a picture of hundreds of millions, which would take seconds and
// gigabytes to decode for a round view of a hundred points.
bool isAvatarSized(const foundation::Data& data)
{
    constexpr std::int64_t kMaximumAvatarPixels = std::int64_t(4096) * 4096;
    auto source = images::ImageSource::createWithData(data);
    auto properties = source ? source->propertiesAtIndex(0) : std::nullopt;
    return properties && properties->pixelWidth > 0 && properties->pixelHeight > 0
        && std::int64_t(properties->pixelWidth) * properties->pixelHeight <= kMaximumAvatarPixels;
}

} // namespace

void RoundAvatarView::requestAvatarImageForURL(const std::optional<foundation::URL>& url,
                                               std::function<void(const ui::ImagePtr& image)> completion)
{
    if (!url) {
        if (completion)
            completion(defaultAvatarImage());
        return;
    }
    net::URLRequest request(*url, net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, 30);
    auto operation = NKHTTPRequestOperation::initWithRequest(request);
    operation->setCompletionBlockWithSuccess(
        [completion](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any& responseObject) {
            ui::ImagePtr image;
            if (const auto* data = std::any_cast<foundation::Data>(&responseObject); data && !data->empty() && isAvatarSized(*data))
                image = ui::Image::imageWithData(*data);
            if (!image || !image->isValid())
                image = defaultAvatarImage();
            dispatch::Queue::main()->async([completion, image] {
                if (completion)
                    completion(image);
            });
        },
        [completion](const std::shared_ptr<NKHTTPRequestOperation>&, const foundation::ErrorPtr&) {
            dispatch::Queue::main()->async([completion] {
                if (completion)
                    completion(defaultAvatarImage());
            });
        });
    operation->start();
}
