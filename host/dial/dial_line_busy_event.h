// g_DialLineBusyEvent: the process-wide manual-reset event that says "the modem
// line is in use". The dial backup sets it before each exchange on a call and resets
// it when the call ends or the dial backup stops; the request routing reads it
// without waiting and then sends IP-with-backup requests straight to the dial line.
// It is defined beside g_AbortEvent, where the routing reaches it too.
#pragma once

#include "core/queue/abort_event.h"
