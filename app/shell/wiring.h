// Start-up's wiring, in one place: what the server's components work with (filled
// from the process-wide objects), the server's own components for the view, and the
// parts that live in other rooms (the management pipe, the configuration download,
// the Setup dialog, the launch fields the configuration service reads).
//
// The order of start-up itself is the application object's (kvr_app.cpp) and the
// view's (kvr_view.cpp); this file only says what is connected to what.
#pragma once

#include <memory>

#include "app/shell/view_components.h"

class CKVRElavonIP_HostApp;

// The contexts of the Elavon interface, the ReverseWorker and the client sessions,
// over the process's objects. The routing's settings are left empty: every request
// takes a fresh copy of g_ParamStore's. Call once the process's journal is set
// (the application object opens it before it makes the window).
CServerContexts ProcessServerContexts();

// The server's own components over ProcessServerContexts(); the view makes them when
// it is given none. silent: message boxes of the workers are logged, never shown.
std::unique_ptr<CViewComponents> MakeServerComponents(bool silent);

// Installs the seams of the running application: the launch fields' reader and the
// view's hooks. Once the window exists, before the message loop runs.
void WireApplication(CKVRElavonIP_HostApp& app);
// Stops and joins the management pipe's thread when it runs; for every way out of
// the program, after the message loop and before the window is destroyed. UI thread.
void StopWiredParts();
// True while the management pipe's thread runs (for tests).
bool WiredPipeRunning();
