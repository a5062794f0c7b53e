// Starts the viewer window (QApplication, TMainForm, an optional FILE).
#pragma once

// Returns the exit status of the application's event loop.
int RunViewer(int argc, char** argv);
