#pragma once

// Library diagnostics for whoever watches the process; on Linux that is standard error.
void DebugOutput(const char* line);
