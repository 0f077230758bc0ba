// The application's single-instance locks: names held by a live process and freed
// when it dies (platform/ipc/instance_lock.h). Taken on the UI thread at start-up.
#pragma once

#include "platform/ipc/instance_lock.h"

using CInstanceLock = platform::ipc::InstanceLock;
