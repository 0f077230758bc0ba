// The real host link: TLS and HTTP POST to the Elavon gateway through
// CElavonSslClient, on the process's security interface.
#pragma once

#include <memory>

#include "host/engine/host_link.h"

std::unique_ptr<CHostLink> MakeElavonSslLink();
