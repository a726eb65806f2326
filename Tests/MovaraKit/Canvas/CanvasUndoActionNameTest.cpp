#include "MovaraKit/Canvas/CanvasUndoActionName.h"

#include <gtest/gtest.h>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"

#include <thread>
#include <vector>

using Name = const std::string& (*)();

TEST(CanvasUndoActionName, EveryNameIsItsEnglishTextFromTheFrameworkTable)
{
    const std::vector<std::pair<Name, const char*>> names = {
        {&CanvasUndoActionName::insertImage, "Insert Image"},
        {&CanvasUndoActionName::insertText, "Insert Text"},
        {&CanvasUndoActionName::deleteAction, "Delete"},
        {&CanvasUndoActionName::rotate, "Rotate"},
        {&CanvasUndoActionName::resize, "Resize"},
        {&CanvasUndoActionName::move, "Move"},
        {&CanvasUndoActionName::reorder, "Reorder"},
        {&CanvasUndoActionName::setFont, "Set Font"},
        {&CanvasUndoActionName::setFontSize, "Set Font Size"},
        {&CanvasUndoActionName::originalSize, "Original Size"},
        {&CanvasUndoActionName::flip, "Flip"},
        {&CanvasUndoActionName::preserveAspectSetting, "Preserve Aspect Setting"},
        {&CanvasUndoActionName::opacity, "Opacity"},
        {&CanvasUndoActionName::setTextColor, "Set Text Color"},
        {&CanvasUndoActionName::hide, "Hide"},
        {&CanvasUndoActionName::show, "Show"},
        {&CanvasUndoActionName::rename, "Rename"},
        {&CanvasUndoActionName::applyAdjustmentsSetting, "Apply Adjustments Setting"},
        {&CanvasUndoActionName::alignLeft, "Align Left"},
        {&CanvasUndoActionName::alignCenter, "Align Center"},
        {&CanvasUndoActionName::alignRight, "Align Right"},
        {&CanvasUndoActionName::alignJustified, "Align Justified"},
        {&CanvasUndoActionName::alignNatural, "Align Natural"},
        {&CanvasUndoActionName::bold, "Bold"},
        {&CanvasUndoActionName::italic, "Italic"},
        {&CanvasUndoActionName::underline, "Underline"},
    };
    for (const auto& [name, english] : names) {
        EXPECT_EQ(name(), english);
        EXPECT_EQ(&name(), &name()) << english << " is looked up once and kept";
    }
}

TEST(CanvasUndoActionName, TheTableIsAResourceOfTheFrameworkBundle)
{
    EXPECT_TRUE(mvr_movaraKitBundle()->pathForResource("CanvasUndoActionNames", "strings"));
    EXPECT_EQ(mvr_movaraKitBundle()->localizedStringForKey("Bold", "", "CanvasUndoActionNames"), "Bold");
}

TEST(CanvasUndoActionName, ConcurrentFirstReadsAgree)
{
    std::vector<const std::string*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &CanvasUndoActionName::setTextColor(); });
    for (auto& t : threads)
        t.join();
    for (const auto* s : seen)
        EXPECT_EQ(s, seen.front());
}
