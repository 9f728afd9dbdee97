#pragma once

// Runs the launcher: single-instance check, fonts, main window, event loop. Returns the exit code.
int runLauncher(int argc, char **argv);
