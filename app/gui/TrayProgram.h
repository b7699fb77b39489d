// The program's main loop: Qt's, with the tray window, from the window's creation (which starts
// the service) to its destruction (which stops it). Should the display go away under it, the
// program serves on without windows, on the main thread's own queue.
#pragma once

// Returns the process's exit code.
int RunTrayProgram(int argc, char** argv);
// Ends the program the way a confirmed Exit System does; on the main thread (a posted event).
void EndTrayProgram();
// Rebuilds the tray's captions and menu from the current texts; on the main thread.
void ApplyTrayTexts();
