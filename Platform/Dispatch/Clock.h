#pragma once
// The process-wide clock that timers, asyncAfter and performAfter run on. Real monotonic time
// by default; tests switch to virtual time, which moves only through advance(), so time-based
// behaviour runs instantly and deterministically. Thread-safe.

namespace dispatch {

class Clock {
public:
    // Monotonic seconds (an arbitrary origin); virtual when virtual time is on.
    static double now();
    // Seconds since 1970; in virtual time it moves with advance().
    static double wallTime();

    // Switching keeps what is scheduled due after the same remaining time.
    static void setVirtual(bool isVirtual);
    static bool isVirtual();

    // Virtual time only: moves the clock forward by `seconds`, firing everything that falls due
    // in deadline order. Each fired block has run before the next fires (on the main thread the
    // main run loop turns meanwhile), so the caller sees the results when advance returns.
    static void advance(double seconds);
};

} // namespace dispatch
