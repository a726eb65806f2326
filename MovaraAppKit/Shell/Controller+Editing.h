#pragma once
// What sheets and forms need of every window and view controller: committing the edit in
// progress and moving the first responder. Main thread only.

#include "Platform/UI/ViewController.h"
#include "Platform/UI/WindowController.h"

// Ends editing in the window's active field, which commits its value to its binding. Nothing
// without a window (the window is not loaded for this).
void commitEdits(ui::WindowController& controller);
// Makes the window's initial first responder (the window itself when it has none) first.
void goToInitialFirstResponder(ui::WindowController& controller);
// The "closeWindow:" action.
void closeWindow(ui::WindowController& controller, ui::Object* sender);

// The same for the window of the controller's view, when the view is in one.
void commitEdits(ui::ViewController& controller);
// Makes the view's next valid key view the window's first responder.
void goToFirstKeyView(ui::ViewController& controller);
// The farthest ancestor along the parents; none for a controller without a parent (a
// controller is never its own root).
ui::ViewControllerPtr rootViewController(const ui::ViewController& controller);
// Dismisses the root view controller, when there is one.
void dismissRootViewController(ui::ViewController& controller, ui::Object* sender);
