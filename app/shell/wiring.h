// Connects the view to the parts that live in other rooms: the management pipe, the
// configuration download and the Setup dialog.
#pragma once

class CKVRElavonIP_HostApp;

void WireApplication(CKVRElavonIP_HostApp& app);
// Stops and joins the management pipe's thread when it runs; for every way out of
// the program, after the message loop and before the window is destroyed. UI thread.
void StopWiredParts();
// True while the management pipe's thread runs (for tests).
bool WiredPipeRunning();
