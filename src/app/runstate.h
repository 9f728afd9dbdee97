#pragma once

// The only state shared by all threads of the launcher: two flags that are set once.

#include <atomic>

// Set on the user-interface thread when the launcher closes; workers poll it between steps.
extern std::atomic<bool> quitRequested;

// Set by the loader when the primary service host did not answer; read by the status queries.
extern std::atomic<bool> usingFallbackHost;

// When quitRequested is set, asks the calling thread's event loop to quit and returns true, so
// that the worker returns from the stage it is in.
bool checkQuit();
