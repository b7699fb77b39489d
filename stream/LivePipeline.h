// The running pipeline of the process: the live data generator feeding the process's desktop
// encoder into the live channel for the sessions of the process's session manager.
#pragma once

// Starts the generator unless it runs; it captures only while sessions exist.
void StartLivePipeline();
// Stops the generator and waits for its thread.
void StopLivePipeline();
