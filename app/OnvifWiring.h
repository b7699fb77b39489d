// The process's ONVIF side, made from the settings: started with the streaming service when the
// Camera Access dialog's switch is on and a camera user exists, stopped with it.
#pragma once

// Starts the ONVIF service unless it runs; with the switch on but no user it logs why and stays
// off. Runs on the main thread.
void StartOnvifService();
// Stops it and waits for every request being answered.
void FreeOnvifService();
