// Draws Quintor's bundle resources at build time, so that none of them has to be kept in the
// repository as a binary: the flip-book frames "SunScapeAnimation000" to "SunScapeAnimation361",
// the application and menu icons, the four walkthrough movies and the plan onboarding movie
// "tent" (written through our own movie writer), "Credits.html" and the licence agreement PDF.
//
//     quintor-resources OUTPUT_DIRECTORY
//
// Every file is written beside its final name and renamed into place, so an interrupted run
// never leaves a truncated resource behind.

#include <cairo-pdf.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MovaraKit/Media/MoviePixelBufferDestination.h"
#include "MovaraKit/Media/PixelBufferSource.h"
#include "MovaraKit/Media/TranscodeOperation.h"
#include "Platform/Media/VideoSettings.h"
#include "tools/SunScape.h"

namespace fs = std::filesystem;

namespace {

constexpr int FlipBookFrameCount = 362;
constexpr int MovieFramesPerSecond = 30;

struct Failure {
    std::string message;
};

// Writes through a temporary name and renames, so readers only ever see whole files.
void commitFile(const fs::path& temporary, const fs::path& destination)
{
    std::error_code ec;
    fs::rename(temporary, destination, ec);
    if (ec)
        throw Failure {"cannot move " + temporary.string() + " to " + destination.string() + ": " + ec.message()};
}

fs::path temporaryBeside(const fs::path& destination)
{
    return destination.parent_path() / ("." + destination.filename().string() + ".part");
}

using Drawing = std::function<void(cairo_t*, double width, double height)>;

void writePNG(const fs::path& destination, int width, int height, const Drawing& draw)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    draw(cr, width, height);
    cairo_destroy(cr);
    const fs::path temporary = temporaryBeside(destination);
    const cairo_status_t status = cairo_surface_write_to_png(surface, temporary.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw Failure {"cannot write " + destination.string() + ": " + cairo_status_to_string(status)};
    commitFile(temporary, destination);
}

void writeText(const fs::path& destination, const std::string& text)
{
    const fs::path temporary = temporaryBeside(destination);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw Failure {"cannot write " + destination.string()};
    }
    commitFile(temporary, destination);
}

// ---- flip-book frames

void writeFlipBookFrames(const fs::path& directory)
{
    // One day over the ten seconds of the flip-book, ending where it began.
    for (int i = 0; i < FlipBookFrameCount; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "SunScapeAnimation%03d.png", i);
        writePNG(directory / name, 320, 180, [i](cairo_t* cr, double w, double h) {
            tools::drawSunScape(cr, w, h, double(i) / FlipBookFrameCount);
        });
    }
}

// ---- icons

void roundedRectangle(cairo_t* cr, double x, double y, double w, double h, double r)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void drawAppIcon(cairo_t* cr, double size)
{
    // A sunrise in a rounded square with a film strip's perforations along both edges.
    const double inset = size * 0.06;
    roundedRectangle(cr, inset, inset, size - 2 * inset, size - 2 * inset, size * 0.18);
    cairo_save(cr);
    cairo_clip_preserve(cr);
    cairo_translate(cr, inset, inset);
    tools::drawSunScape(cr, size - 2 * inset, size - 2 * inset, 0.33);
    cairo_restore(cr);
    cairo_new_path(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    const double holes = 7;
    const double pitch = (size - 2 * inset) / holes;
    for (int i = 0; i < holes; ++i) {
        for (double x : {inset + pitch * 0.18, size - inset - pitch * 0.42}) {
            roundedRectangle(cr, x, inset + pitch * (i + 0.25), pitch * 0.24, pitch * 0.5, pitch * 0.06);
        }
    }
    cairo_fill(cr);
}

// Menu icons are templates: black on transparent, tinted by the menu.
void drawPlayTemplate(cairo_t* cr, double size)
{
    cairo_move_to(cr, size * 0.25, size * 0.15);
    cairo_line_to(cr, size * 0.85, size * 0.5);
    cairo_line_to(cr, size * 0.25, size * 0.85);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_fill(cr);
}

void drawPauseTemplate(cairo_t* cr, double size)
{
    cairo_rectangle(cr, size * 0.22, size * 0.15, size * 0.2, size * 0.7);
    cairo_rectangle(cr, size * 0.58, size * 0.15, size * 0.2, size * 0.7);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_fill(cr);
}

void writeIcons(const fs::path& directory)
{
    writePNG(directory / "AppIcon.png", 256, 256, [](cairo_t* cr, double w, double) { drawAppIcon(cr, w); });
    writePNG(directory / "AppIcon@2x.png", 512, 512, [](cairo_t* cr, double w, double) { drawAppIcon(cr, w); });
    for (int scale : {1, 2}) {
        const std::string suffix = scale == 2 ? "@2x.png" : ".png";
        writePNG(directory / ("PlayMenuIconTemplate" + suffix), 16 * scale, 16 * scale,
                 [](cairo_t* cr, double w, double) { drawPlayTemplate(cr, w); });
        writePNG(directory / ("PauseMenuIconTemplate" + suffix), 16 * scale, 16 * scale,
                 [](cairo_t* cr, double w, double) { drawPauseTemplate(cr, w); });
    }
}

// ---- movies

using MovieDrawing = std::function<void(cairo_t*, double width, double height, double progress)>;

// Frames drawn on demand into the writer's pixel format, 30 per second.
class DrawnFrameSource final : public PixelBufferSource,
                               public PixelBufferSourceInfo,
                               public std::enable_shared_from_this<DrawnFrameSource> {
public:
    DrawnFrameSource(int width, int height, int frameCount, MovieDrawing draw)
        : m_width(width), m_height(height), m_frameCount(frameCount), m_draw(std::move(draw))
    {
    }

    void loadWithCompletionHandler(std::function<void(foundation::ErrorPtr)> completionHandler) override
    {
        completionHandler(nullptr);
    }

    media::SampleBufferPtr copyNextSampleBuffer(foundation::ErrorPtr* error) override
    {
        if (m_next >= m_frameCount)
            return nullptr;
        auto buffer = media::PixelBuffer::create(m_width, m_height, media::PixelFormatType_32BGRA);
        if (!buffer) {
            if (error)
                *error = foundation::Error::make("QuintorResources", 1, "Cannot make a frame buffer.");
            return nullptr;
        }
        {
            media::PixelBufferLock lock(*buffer);
            cairo_surface_t* surface = cairo_image_surface_create_for_data(static_cast<unsigned char*>(buffer->baseAddress()),
                                                                           CAIRO_FORMAT_ARGB32, m_width, m_height,
                                                                           static_cast<int>(buffer->bytesPerRow()));
            cairo_t* cr = cairo_create(surface);
            m_draw(cr, m_width, m_height, m_frameCount > 1 ? double(m_next) / (m_frameCount - 1) : 0.0);
            cairo_destroy(cr);
            cairo_surface_flush(surface);
            cairo_surface_destroy(surface);
        }
        media::SampleTimingInfo timing;
        timing.duration = media::Time::make(1, MovieFramesPerSecond);
        timing.presentationTimeStamp = media::Time::make(m_next, MovieFramesPerSecond);
        ++m_next;
        return media::SampleBuffer::createForImageBuffer(buffer, timing, error);
    }

    std::shared_ptr<PixelBufferSourceInfo> pixelBufferSourceInfo() override { return shared_from_this(); }
    graphics::Size size() override { return graphics::Size::make(m_width, m_height); }
    media::TimeRange timeRange() override
    {
        return media::TimeRange::make(media::Time::zero(), media::Time::make(m_frameCount, MovieFramesPerSecond));
    }
    graphics::AffineTransform transform() override { return graphics::AffineTransform::identity(); }

private:
    int m_width;
    int m_height;
    int m_frameCount;
    MovieDrawing m_draw;
    int m_next = 0;
};

void writeMovie(const fs::path& destination, int frameCount, MovieDrawing draw)
{
    // The writer itself only puts the movie in place once it is complete.
    auto destinationWriter = MoviePixelBufferDestination::init(foundation::URL::fileURLWithPath(destination.string()), media::AVFileTypeMPEG4);
    if (!destinationWriter)
        throw Failure {"cannot make a movie writer for " + destination.string()};
    destinationWriter->setPreset(MoviePixelBufferDestinationPreset::h264);
    auto source = std::make_shared<DrawnFrameSource>(480, 270, frameCount, std::move(draw));
    auto operation = TranscodeOperation::init(source, destinationWriter);
    operation->start();
    operation->waitUntilFinished();
    if (auto error = operation->error())
        throw Failure {"cannot write " + destination.string() + ": " + error->localizedDescription()};
}

double ease(double x)
{
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3 - 2 * x);
}

// The dark window the walkthrough movies show the application in.
void drawWindowFrame(cairo_t* cr, double w, double h)
{
    cairo_set_source_rgb(cr, 0.93, 0.93, 0.95);
    cairo_paint(cr);
    roundedRectangle(cr, w * 0.06, h * 0.06, w * 0.88, h * 0.88, 8);
    cairo_set_source_rgb(cr, 0.16, 0.16, 0.18);
    cairo_fill(cr);
    const double dots[][3] = {{1.0, 0.37, 0.34}, {1.0, 0.74, 0.18}, {0.16, 0.79, 0.25}};
    for (int i = 0; i < 3; ++i) {
        cairo_arc(cr, w * 0.06 + 14 + i * 14, h * 0.06 + 12, 4.5, 0, 2 * M_PI);
        cairo_set_source_rgb(cr, dots[i][0], dots[i][1], dots[i][2]);
        cairo_fill(cr);
    }
}

void drawPreview(cairo_t* cr, double x, double y, double w, double h, double dayFraction)
{
    cairo_save(cr);
    cairo_translate(cr, x, y);
    tools::drawSunScape(cr, w, h, dayFraction);
    cairo_restore(cr);
}

// Photos fly into the window's drop area one after another.
void drawImportMovie(cairo_t* cr, double w, double h, double p)
{
    drawWindowFrame(cr, w, h);
    roundedRectangle(cr, w * 0.2, h * 0.25, w * 0.6, h * 0.55, 10);
    cairo_set_source_rgb(cr, 0.45, 0.45, 0.5);
    const double dash[] = {8, 6};
    cairo_set_dash(cr, dash, 2, 0);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
    for (int i = 0; i < 5; ++i) {
        const double f = ease((p - i * 0.12) / 0.35);
        if (f <= 0)
            continue;
        const double x = w * (-0.2 + (0.32 + i * 0.03 + 0.2) * f);
        const double y = h * (-0.2 + (0.55 + i * 0.02) * f);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_rectangle(cr, x - 3, y - 3, w * 0.22 + 6, h * 0.22 + 6);
        cairo_fill(cr);
        drawPreview(cr, x, y, w * 0.22, h * 0.22, 0.3 + i * 0.05);
    }
}

// The trim knobs close in on a section of the timeline.
void drawTrimMovie(cairo_t* cr, double w, double h, double p)
{
    drawWindowFrame(cr, w, h);
    drawPreview(cr, w * 0.12, h * 0.14, w * 0.76, h * 0.5, 0.25 + 0.5 * p);
    const double trackY = h * 0.72;
    roundedRectangle(cr, w * 0.12, trackY, w * 0.76, h * 0.1, 4);
    cairo_set_source_rgb(cr, 0.23, 0.6, 0.99);
    cairo_fill(cr);
    const double start = w * (0.12 + 0.2 * ease(p * 2));
    const double end = w * (0.88 - 0.25 * ease(p * 2 - 0.6));
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    cairo_rectangle(cr, w * 0.12, trackY, start - w * 0.12, h * 0.1);
    cairo_rectangle(cr, end, trackY, w * 0.88 - end, h * 0.1);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    for (double x : {start, end}) {
        roundedRectangle(cr, x - 4, trackY - 6, 8, h * 0.1 + 12, 3);
        cairo_fill(cr);
    }
}

// The speed slider moves, then the preview runs backwards.
void drawSpeedMovie(cairo_t* cr, double w, double h, double p)
{
    drawWindowFrame(cr, w, h);
    const double day = p < 0.5 ? 0.3 + p * 0.8 : 0.7 - (p - 0.5) * 0.8;
    drawPreview(cr, w * 0.12, h * 0.14, w * 0.76, h * 0.5, day);
    const double sliderY = h * 0.77;
    cairo_set_source_rgb(cr, 0.5, 0.5, 0.55);
    cairo_rectangle(cr, w * 0.2, sliderY - 2, w * 0.45, 4);
    cairo_fill(cr);
    cairo_arc(cr, w * (0.25 + 0.35 * ease(p * 2)), sliderY, 8, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    // The reverse button lights up in the second half.
    const double cx = w * 0.76;
    cairo_arc(cr, cx, sliderY, 14, 0, 2 * M_PI);
    if (p >= 0.5)
        cairo_set_source_rgb(cr, 0.23, 0.6, 0.99);
    else
        cairo_set_source_rgb(cr, 0.3, 0.3, 0.33);
    cairo_fill(cr);
    cairo_move_to(cr, cx + 6, sliderY - 7);
    cairo_line_to(cr, cx - 7, sliderY);
    cairo_line_to(cr, cx + 6, sliderY + 7);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
}

// The export's progress bar fills and a check mark appears.
void drawExportMovie(cairo_t* cr, double w, double h, double p)
{
    drawWindowFrame(cr, w, h);
    drawPreview(cr, w * 0.3, h * 0.18, w * 0.4, h * 0.3, 0.4);
    const double fill = ease(p / 0.8);
    roundedRectangle(cr, w * 0.2, h * 0.62, w * 0.6, 10, 5);
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.33);
    cairo_fill(cr);
    roundedRectangle(cr, w * 0.2, h * 0.62, std::max(10.0, w * 0.6 * fill), 10, 5);
    cairo_set_source_rgb(cr, 0.23, 0.6, 0.99);
    cairo_fill(cr);
    if (p > 0.8) {
        const double a = ease((p - 0.8) / 0.15);
        cairo_set_line_width(cr, 5);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_move_to(cr, w * 0.46, h * 0.78);
        cairo_line_to(cr, w * 0.49, h * 0.83);
        cairo_line_to(cr, w * 0.55, h * 0.73);
        cairo_set_source_rgba(cr, 0.16, 0.79, 0.25, a);
        cairo_stroke(cr);
    }
}

// A tent under the stars with a flickering camp fire: the plan onboarding window's loop.
void drawTentMovie(cairo_t* cr, double w, double h, double p)
{
    tools::drawSunScape(cr, w, h, 0.02);
    const double groundY = h * 0.85;
    cairo_move_to(cr, w * 0.30, groundY);
    cairo_line_to(cr, w * 0.45, h * 0.52);
    cairo_line_to(cr, w * 0.60, groundY);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.85, 0.45, 0.15);
    cairo_fill(cr);
    cairo_move_to(cr, w * 0.42, groundY);
    cairo_line_to(cr, w * 0.45, h * 0.66);
    cairo_line_to(cr, w * 0.48, groundY);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.25, 0.12, 0.05);
    cairo_fill(cr);
    // The fire's height repeats over the loop so that the movie's end meets its start.
    const double flicker = 0.75 + 0.25 * std::sin(p * 2 * M_PI * 6) * std::cos(p * 2 * M_PI * 3);
    const double fx = w * 0.72;
    cairo_pattern_t* glow = cairo_pattern_create_radial(fx, groundY, 2, fx, groundY, h * 0.3 * flicker);
    cairo_pattern_add_color_stop_rgba(glow, 0, 1.0, 0.6, 0.2, 0.6);
    cairo_pattern_add_color_stop_rgba(glow, 1, 1.0, 0.6, 0.2, 0.0);
    cairo_set_source(cr, glow);
    cairo_paint(cr);
    cairo_pattern_destroy(glow);
    cairo_move_to(cr, fx - 12, groundY);
    cairo_curve_to(cr, fx - 10, groundY - 20 * flicker, fx - 2, groundY - 30 * flicker, fx, groundY - 40 * flicker);
    cairo_curve_to(cr, fx + 2, groundY - 30 * flicker, fx + 10, groundY - 20 * flicker, fx + 12, groundY);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1.0, 0.75, 0.2);
    cairo_fill(cr);
}

void writeMovies(const fs::path& directory)
{
    const int frames = 3 * MovieFramesPerSecond;
    writeMovie(directory / "walkthrough1.mp4", frames, drawImportMovie);
    writeMovie(directory / "walkthrough2.mp4", frames, drawTrimMovie);
    writeMovie(directory / "walkthrough3.mp4", frames, drawSpeedMovie);
    writeMovie(directory / "walkthrough4.mp4", frames, drawExportMovie);
    writeMovie(directory / "tent.mp4", frames, drawTentMovie);
}

// ---- documents

const char* const CreditsHTML = R"(<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>Credits</title></head>
<body>
<p>Turns your photographs into timelapse movies.</p>
<h4>Built with</h4>
<ul>
<li>FFmpeg: movie encoding and decoding</li>
<li>libjpeg-turbo, libpng, libtiff, libexif, giflib and libheif: still images</li>
<li>cairo and pango: drawing and text</li>
<li>Little CMS: colour management</li>
<li>SQLite, zlib and protobuf-c: storage</li>
<li>libcurl and OpenSSL: network</li>
<li>nlohmann/json: JSON</li>
</ul>
</body>
</html>
)";

const char* const LicenseParagraphs[] = {
    "QUINTOR LICENSE AGREEMENT",
    "Please read this license agreement carefully before using Quintor. By using the software you agree to be bound by "
    "the terms of this agreement. If you do not agree, do not use the software.",
    "1. License. Movara grants you a non-exclusive, non-transferable license to install and use one copy of Quintor on "
    "each computer that you own or control, for personal and commercial purposes.",
    "2. Your content. The photographs you import and the movies you export remain yours. Quintor works on your files "
    "on your computer and sends none of them anywhere.",
    "3. Restrictions. You may not rent, lease, sell or sublicense the software, nor decompile or reverse engineer it "
    "except where the law allows it despite this restriction.",
    "4. Usage data. If you allow it, Quintor sends anonymous usage data and crash reports that help improve the "
    "software. You can withdraw your consent at any time in your account settings.",
    "5. No warranty. The software is provided \xE2\x80\x9C" "as is\xE2\x80\x9D, without warranty of any kind. To the extent the law "
    "allows, Movara is not liable for any damages arising from its use.",
    "6. Termination. This license ends automatically if you fail to comply with its terms; you must then delete all "
    "copies of the software.",
};

void writeLicenseAgreement(const fs::path& destination)
{
    const fs::path temporary = temporaryBeside(destination);
    const double pageWidth = 595, pageHeight = 842, margin = 64; // A4 in points
    cairo_surface_t* surface = cairo_pdf_surface_create(temporary.c_str(), pageWidth, pageHeight);
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, "Quintor License Agreement");
    cairo_t* cr = cairo_create(surface);
    PangoLayout* layout = pango_cairo_create_layout(cr);
    pango_layout_set_width(layout, static_cast<int>((pageWidth - 2 * margin) * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
    double y = margin;
    bool first = true;
    for (const char* paragraph : LicenseParagraphs) {
        PangoFontDescription* font = pango_font_description_from_string(first ? "Sans Bold 16" : "Serif 11");
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_text(layout, paragraph, -1);
        int width = 0, height = 0;
        pango_layout_get_size(layout, &width, &height);
        const double blockHeight = double(height) / PANGO_SCALE;
        if (y + blockHeight > pageHeight - margin) {
            cairo_show_page(cr);
            y = margin;
        }
        cairo_move_to(cr, margin, y);
        cairo_set_source_rgb(cr, 0, 0, 0);
        pango_cairo_show_layout(cr, layout);
        y += blockHeight + (first ? 20 : 12);
        first = false;
    }
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw Failure {"cannot write " + destination.string() + ": " + cairo_status_to_string(status)};
    commitFile(temporary, destination);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const fs::path directory = argv[1];
    try {
        std::error_code ec;
        fs::create_directories(directory, ec);
        if (ec)
            throw Failure {"cannot make " + directory.string() + ": " + ec.message()};
        writeFlipBookFrames(directory);
        writeIcons(directory);
        writeText(directory / "Credits.html", CreditsHTML);
        writeLicenseAgreement(directory / "Quintor License Agreement.pdf");
        writeMovies(directory);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "quintor-resources: %s\n", failure.message.c_str());
        return 1;
    }
    return 0;
}
