#include "Platform/UI/AboutPanel.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Platform/Foundation/AttributedString.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/UI/Application.h"
#include "Platform/UI/Font.h"
#include "Platform/UI/Image.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/TextField.h"
#include "Platform/UI/View.h"

namespace ui {

namespace {

constexpr double kWidth = 340;
constexpr double kMargin = 24;
constexpr double kIconSize = 96;

std::weak_ptr<Window>& panel()
{
    static std::weak_ptr<Window> window;
    return window;
}

std::string infoString(const std::string& key)
{
    const foundation::Value& value = foundation::Bundle::main()->objectForInfoDictionaryKey(key);
    return value.isString() ? value.asString() : std::string();
}

std::string versionLine()
{
    const std::string version = infoString("CFBundleShortVersionString");
    const std::string build = infoString("CFBundleVersion");
    if (version.empty())
        return build.empty() ? std::string() : "Version " + build;
    return build.empty() || build == version ? "Version " + version : "Version " + version + " (" + build + ")";
}

// The credits given, else those the application ships as "Credits.html"; empty without both.
std::string creditsText(const std::map<std::string, std::any>& options)
{
    if (auto it = options.find(NSAboutPanelOptionCredits); it != options.end()) {
        if (const auto* credits = std::any_cast<foundation::AttributedString>(&it->second))
            return credits->string();
        if (const auto* text = std::any_cast<std::string>(&it->second))
            return *text;
    }
    if (auto path = foundation::Bundle::main()->pathForResource("Credits", "html")) {
        // The credits are a page of text: a file far larger is not ours and is not read.
        if (auto html = foundation::FileManager::defaultManager().contentsAtPath(*path, nullptr, 1 << 20))
            return foundation::AttributedString::initWithHTML(
                       std::string_view(reinterpret_cast<const char*>(html->data()), html->size()))
                .string();
    }
    return {};
}

std::string trimmedLines(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && (text[start] == '\n' || text[start] == ' '))
        ++start;
    return text.substr(start);
}

std::shared_ptr<TextField> line(const std::string& text, const Font& font, std::optional<Color> colour)
{
    auto field = TextField::wrappingLabelWithString(text, kWidth - 2 * kMargin);
    field->setFont(font);
    field->setAlignment(TextAlignment::center);
    field->setTextColor(colour);
    field->setSelectable(true);
    return field;
}

} // namespace

WindowPtr AboutPanel::current()
{
    auto window = panel().lock();
    return window && window->isVisible() ? window : nullptr;
}

WindowPtr AboutPanel::show(const std::map<std::string, std::any>& options)
{
    const std::string name = infoString("CFBundleName");
    // From the top: icon, name, version, credits, copyright; each only when there is one.
    std::vector<ViewPtr> rows;
    std::vector<double> gaps;
    if (auto icon = Image::imageNamed("AppIcon")) {
        auto view = ImageView::imageViewWithImage(icon);
        view->setImageScaling(ImageScaling::proportionallyUpOrDown);
        view->setFrame(graphics::Rect::make(0, 0, kIconSize, kIconSize));
        rows.push_back(view);
        gaps.push_back(12);
    }
    if (!name.empty()) {
        rows.push_back(line(name, Font::boldSystemFontOfSize(16), Color::labelColor()));
        gaps.push_back(4);
    }
    if (auto version = versionLine(); !version.empty()) {
        rows.push_back(line(version, Font::systemFontOfSize(11), Color::secondaryLabelColor()));
        gaps.push_back(14);
    }
    if (auto credits = trimmedLines(creditsText(options)); !credits.empty()) {
        rows.push_back(line(credits, Font::systemFontOfSize(11), Color::labelColor()));
        gaps.push_back(14);
    }
    if (auto copyright = infoString("NSHumanReadableCopyright"); !copyright.empty()) {
        rows.push_back(line(copyright, Font::systemFontOfSize(10), Color::secondaryLabelColor()));
        gaps.push_back(0);
    }

    double height = 2 * kMargin;
    std::vector<double> heights;
    for (size_t i = 0; i < rows.size(); ++i) {
        double h = rows[i]->frame().height();
        if (auto field = std::dynamic_pointer_cast<TextField>(rows[i]))
            h = std::ceil(field->cell()->cellSizeForBounds(graphics::Rect::make(0, 0, kWidth - 2 * kMargin, 10000)).height);
        heights.push_back(h);
        height += h + gaps[i];
    }

    auto window = panel().lock();
    if (!window) {
        window = Window::initWithContentRect(graphics::Rect::make(0, 0, kWidth, height), WindowStyleMaskTitled | WindowStyleMaskClosable);
        panel() = window;
    }
    window->setTitle(name.empty() ? std::string("About") : "About " + name);
    window->setContentSize({kWidth, height});
    auto content = View::initWithFrame(graphics::Rect::make(0, 0, kWidth, height));
    double top = height - kMargin;
    for (size_t i = 0; i < rows.size(); ++i) {
        const double w = rows[i]->frame().width() > 0 && !std::dynamic_pointer_cast<TextField>(rows[i]) ? rows[i]->frame().width()
                                                                                                       : kWidth - 2 * kMargin;
        rows[i]->setFrame(graphics::Rect::make(std::round((kWidth - w) / 2), top - heights[i], w, heights[i]));
        content->addSubview(rows[i]);
        top -= heights[i] + gaps[i];
    }
    window->setContentView(content);
    if (!window->isVisible())
        window->center();
    window->makeKeyAndOrderFront(nullptr);
    return window;
}

} // namespace ui
