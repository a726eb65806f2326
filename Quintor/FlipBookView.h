#pragma once
// The waiting animation of the main window's progress view: a looping flip-book of still
// frames, each shown for an equal share of ten seconds, without blending. It runs on the
// process clock (dispatch::Clock), so the frame on show is a function of time and tests can
// step through it. Main thread only.

#include <memory>
#include <optional>
#include <vector>

#include "Platform/UI/Image.h"
#include "Platform/UI/View.h"

class FlipBookView : public ui::View {
public:
    static constexpr double animationDuration = 10.0;

    static std::shared_ptr<FlipBookView> initWithFrame(const graphics::Rect& frame);

    // With fewer than two images nothing changes; otherwise the first shows at once.
    void setImages(std::vector<ui::ImagePtr> images);
    const std::vector<ui::ImagePtr>& images() const { return m_images; }
    // Starts again from the first frame at normal speed.
    void startAnimation();
    // Freezes the view on the first frame.
    void stopAnimation();
    bool isAnimating() const override { return m_startTime.has_value(); }

    // The frame on show now (none before setImages).
    ui::ImagePtr currentImage() const;
    void draw(const graphics::Rect& dirtyRect, ui::GraphicsContext& context) override;

protected:
    explicit FlipBookView(const graphics::Rect& frame);

private:
    std::vector<ui::ImagePtr> m_images;
    ui::ImagePtr m_contents;
    std::optional<double> m_startTime;
};
