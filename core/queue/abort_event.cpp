#include "core/queue/abort_event.h"

platform::Event g_AbortEvent{platform::Event::Mode::kManualReset, false};
