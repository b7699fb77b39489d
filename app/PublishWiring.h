// The process's publisher, made from [Publish] Url: started with the streaming service and stopped
// before it, so its session never outlives the session manager it belongs to.
#pragma once

#include <string>

// Starts publishing when the settings name a media server; a URL that cannot be used is logged
// and publishing stays off. Runs on the main thread.
void StartPublishing();
// Ends the publication (TEARDOWN) and waits for the publisher's thread.
void StopPublishing();
// The tray's line on publishing ("publishing to relay:8554/cam", "retrying in 4 s",
// "refused: 401"); empty while publishing is off.
std::string PublishingHint();
