#include "core/queue/process_events.h"

platform::Event g_AbortEvent{platform::Event::Mode::kManualReset, false};

platform::Event g_DialLineBusyEvent(platform::Event::Mode::kManualReset);
