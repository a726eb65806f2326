#pragma once
// A main window on a model of tiny photos, as the application sets it up, and what a written
// movie holds as ffprobe and ffmpeg see it (codec, container, frame rate, one grey level per
// frame so that frame order can be told by content).

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/URL.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/Window.h"
#include "Quintor/FlipBookView.h"
#include "Quintor/MainWindowController.h"
#include "Quintor/Model.h"
#include "Tests/Support/ImageFixtures.h"
#include "Tests/Support/TempDir.h"

namespace mainwindowtest {

// The application's flip-book frames, as tiny registered images.
inline void registerSunScapeFrames()
{
    static const bool done = [] {
        for (int i = 0; i < 362; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "SunScapeAnimation%03d", i);
            ui::Image::registerImageNamed(name, ui::Image::imageWithSize({ 2, 2 }, false, [](auto&, auto&) { }, 1.0));
        }
        return true;
    }();
    (void)done;
}

// A flat grey 64 x 48 JPEG taken at 12:00:`second`.
inline foundation::URL greyPhoto(const std::filesystem::path& path, int level, int second = 0, int width = 64, int height = 48)
{
    fixtures::JPEGSpec recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.pixel = [level](int, int) { return std::vector<uint8_t>(3, static_cast<uint8_t>(level)); };
    char date[32];
    std::snprintf(date, sizeof date, "2024:05:01 12:00:%02d", second);
    recipe.exif = fixtures::Exif { std::string(date), std::nullopt, std::nullopt };
    fixtures::writeFile(path, fixtures::makeJPEG(recipe));
    return foundation::URL::fileURLWithPath(path.string());
}

struct Harness {
    ModelPtr model = Model::init();
    std::shared_ptr<MainWindowController> controller;

    Harness()
    {
        registerSunScapeFrames();
        controller = MainWindowController::init();
        controller->setModel(model);
        controller->showWindow(nullptr);
    }
    ~Harness()
    {
        if (auto w = controller->window())
            w->close();
    }
    ui::ViewPtr content() const { return controller->window()->contentView(); }
    bool idle() const
    {
        auto preview = controller->previewController();
        return controller->hideProgress() && !controller->isExporting() && preview && !preview->isCreatingPreview();
    }
    // Adds the photos as the application does and waits until their preview plays.
    void add(const std::vector<foundation::URL>& urls)
    {
        foundation::ErrorPtr error;
        ASSERT_TRUE(model->addImages(urls, &error)) << (error ? error->localizedDescription() : "");
        ASSERT_TRUE(dispatch::RunLoop::main().runUntil(
            [this] { return idle() && content() == controller->editView(); }, 30));
    }
};

inline std::string capture(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

struct Movie {
    std::string codec;      // "h264", "hevc", "prores"
    std::string codecTag;   // "avc1", "hvc1", "apcn", "ap4h"
    std::string brand;      // "qt  " for QuickTime, "isom" or "mp42" for MPEG-4
    std::string frameRate;  // "24/1"
    int width = 0;
    int height = 0;
    std::vector<int> greys; // one mean grey level per frame, in order
    bool isQuickTime() const { return brand == "qt  "; }
};

inline Movie readMovie(const std::filesystem::path& path)
{
    Movie movie;
    const auto probe = capture("ffprobe -v error -select_streams v:0 -show_entries "
                               "stream=codec_name,codec_tag_string,r_frame_rate,width,height:format_tags=major_brand "
                               "-of default=nw=1 '" + path.string() + "' 2>/dev/null");
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < probe.size()) {
        auto end = probe.find('\n', start);
        if (end == std::string::npos)
            end = probe.size();
        const auto line = probe.substr(start, end - start);
        if (auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    movie.codec = values["codec_name"];
    movie.codecTag = values["codec_tag_string"];
    movie.brand = values["TAG:major_brand"];
    movie.frameRate = values["r_frame_rate"];
    movie.width = values.count("width") ? std::atoi(values["width"].c_str()) : 0;
    movie.height = values.count("height") ? std::atoi(values["height"].c_str()) : 0;
    const auto grey = capture("ffmpeg -v error -i '" + path.string()
                              + "' -vf scale=1:1:flags=area -f rawvideo -pix_fmt gray - 2>/dev/null");
    for (unsigned char c : grey)
        movie.greys.push_back(c);
    return movie;
}

} // namespace mainwindowtest
