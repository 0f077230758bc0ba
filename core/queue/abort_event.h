// g_AbortEvent: the process-wide manual-reset event that says "the Elavon interface
// is stopping". It is set when the interface stops and cleared when it starts. While
// it is set, job-id allocation refuses new ids, and the receives on the outbound
// client sockets, the wait for a dial answer and the single-lane hold give up.
//
// The event owns its own mutex (platform::Event); any thread may set, reset or test
// it at any time. It is not signalled when the process starts.
#pragma once

#include "platform/sync/event.h"

extern platform::Event g_AbortEvent;

// g_DialLineBusyEvent: manual reset, set while the modem line is in use. Requests
// of "IP with dial backup" then go straight to the dial backup. Read without waiting.
extern platform::Event g_DialLineBusyEvent;
