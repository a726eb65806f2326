#include "MovaraKit/Canvas/CanvasUndoActionName.h"

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"

namespace {

std::string lookUp(const char* english)
{
    // Comment for translators: "undo action name".
    return mvr_movaraKitBundle()->localizedStringForKey(english, "", "CanvasUndoActionNames");
}

} // namespace

// Function-local statics: each name is looked up on first use, once, safely across threads.
#define CANVAS_UNDO_NAME(function, english)                                                                            \
    const std::string& CanvasUndoActionName::function()                                                                \
    {                                                                                                                  \
        static const std::string name = lookUp(english);                                                               \
        return name;                                                                                                   \
    }

CANVAS_UNDO_NAME(insertImage, "Insert Image")
CANVAS_UNDO_NAME(insertText, "Insert Text")
CANVAS_UNDO_NAME(deleteAction, "Delete")
CANVAS_UNDO_NAME(rotate, "Rotate")
CANVAS_UNDO_NAME(resize, "Resize")
CANVAS_UNDO_NAME(move, "Move")
CANVAS_UNDO_NAME(reorder, "Reorder")
CANVAS_UNDO_NAME(setFont, "Set Font")
CANVAS_UNDO_NAME(setFontSize, "Set Font Size")
CANVAS_UNDO_NAME(originalSize, "Original Size")
CANVAS_UNDO_NAME(flip, "Flip")
CANVAS_UNDO_NAME(preserveAspectSetting, "Preserve Aspect Setting")
CANVAS_UNDO_NAME(opacity, "Opacity")
CANVAS_UNDO_NAME(setTextColor, "Set Text Color")
CANVAS_UNDO_NAME(hide, "Hide")
CANVAS_UNDO_NAME(show, "Show")
CANVAS_UNDO_NAME(rename, "Rename")
CANVAS_UNDO_NAME(applyAdjustmentsSetting, "Apply Adjustments Setting")
CANVAS_UNDO_NAME(alignLeft, "Align Left")
CANVAS_UNDO_NAME(alignCenter, "Align Center")
CANVAS_UNDO_NAME(alignRight, "Align Right")
CANVAS_UNDO_NAME(alignJustified, "Align Justified")
CANVAS_UNDO_NAME(alignNatural, "Align Natural")
CANVAS_UNDO_NAME(bold, "Bold")
CANVAS_UNDO_NAME(italic, "Italic")
CANVAS_UNDO_NAME(underline, "Underline")

#undef CANVAS_UNDO_NAME
