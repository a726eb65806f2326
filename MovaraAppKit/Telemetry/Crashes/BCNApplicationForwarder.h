#pragma once
// Makes exceptions that the application object would otherwise swallow reach the crash service.
// The application catches an exception of the platform's class that escapes the dispatch of an
// event and only reports it; the forwarder puts its own implementations of the application's
// event dispatch and exception report in front of the ones in place, so such an exception is
// handed to the crash service first and then reported as before. It does so only when the
// application asked to crash on exceptions (user default "NSApplicationCrashOnExceptions") and
// did not switch the forwarder off (info key "BeaconApplicationForwarderEnabled" set to NO).

class BCNApplicationForwarder {
public:
    // Each implementation is replaced at most once per process; a second call replaces nothing.
    static void registerForwarding();

    // Puts the implementations found by the replacement back and lets a later registration
    // replace them again (tests: the replacement is otherwise for the life of the process).
    static void unregisterForwarding();
};
