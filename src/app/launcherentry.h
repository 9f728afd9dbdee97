#pragma once

// Runs the launcher: fonts, single-instance check, main window, event loop. Returns the exit code.
int runLauncher(int argc, char **argv);
