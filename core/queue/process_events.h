// The process-wide events that tell one subsystem's threads what another is doing.
// Both are manual-reset events that own their own mutex (platform::Event): any
// thread may set, reset or test them at any time.
//
// g_AbortEvent: "the Elavon interface is stopping". Not signalled when the process
// starts.
//   Set by:     the Elavon interface when it stops (cleared when it starts); the
//               main window when it is closed during the start; the setup dialog,
//               which clears it around a parameter load while the interface is
//               stopped and sets it again afterwards.
//   Waited on:  job-id allocation (refuses new ids while it is set); the receives
//               on the outbound client sockets; the routing's wait for a dial answer
//               and its retry pauses; the dial backup (takes nothing new); the
//               single-lane hold of the request dispatch.
//
// g_DialLineBusyEvent: "the modem line is in use". Not signalled when the process
// starts.
//   Set by:     the dial backup, before each exchange on a call; it resets it when
//               the call ends or the dial backup stops.
//   Waited on:  nobody waits; the request routing reads it without waiting and then
//               sends IP-with-dial-backup requests straight to the dial backup.
#pragma once

#include "platform/sync/event.h"

extern platform::Event g_AbortEvent;

extern platform::Event g_DialLineBusyEvent;
