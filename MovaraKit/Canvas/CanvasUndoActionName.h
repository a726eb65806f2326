#pragma once
// The localized names an editor gives its undo actions for canvas edits (the canvas itself
// names none). Each is looked up once, in the framework's "CanvasUndoActionNames" table, and
// kept; without a translation the name is the English text. Any thread.

#include <string>

struct CanvasUndoActionName {
    CanvasUndoActionName() = delete;

    static const std::string& insertImage();
    static const std::string& insertText();
    static const std::string& deleteAction(); // "Delete" (delete is a C++ keyword)
    static const std::string& rotate();
    static const std::string& resize();
    static const std::string& move();
    static const std::string& reorder();
    static const std::string& setFont();
    static const std::string& setFontSize();
    static const std::string& originalSize();
    static const std::string& flip();
    static const std::string& preserveAspectSetting();
    static const std::string& opacity();
    static const std::string& setTextColor();
    static const std::string& hide();
    static const std::string& show();
    static const std::string& rename();
    static const std::string& applyAdjustmentsSetting();
    static const std::string& alignLeft();
    static const std::string& alignCenter();
    static const std::string& alignRight();
    static const std::string& alignJustified();
    static const std::string& alignNatural();
    static const std::string& bold();
    static const std::string& italic();
    static const std::string& underline();
};
