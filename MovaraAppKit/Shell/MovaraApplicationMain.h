#pragma once
// The entry of an application built on the shell: makes the application's delegate, runs the
// launch on the main run loop and keeps running until the application terminates. SIGINT and
// SIGTERM ask the application to terminate, as a Quit command would. Call from main(), before
// any other thread exists.

#include <functional>
#include <memory>

class MovaraAppDelegate;

using MovaraAppDelegateFactory = std::function<std::shared_ptr<MovaraAppDelegate>()>;

// Without a factory the delegate is the class the application registered under the name
// "AppDelegate" (for MovaraAppDelegate, in foundation::ClassRegistry), else the shell's base
// delegate. Returns the process's exit status.
int MovaraApplicationMain(int argc, char** argv, MovaraAppDelegateFactory makeDelegate = nullptr);
