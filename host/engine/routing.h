// Routing of one dispatched request: over IP (TLS and HTTP POST to the Elavon
// gateway, with endpoint failover, the debit '#' marker, the echo and the reversal
// of a failed exchange) or to the dial backup through the queue. Runs on the request
// worker thread on the worker's own copy of the record; leaves it in its final state
// for the worker: 4, 5, 8 or 10 (or 9 after an abort).
#pragma once

#include <cstdint>
#include <string>

#include "core/params/param_settings.h"
#include "host/engine/host_link.h"

class CElavonTran;
class CLogger;
class CTransactionQueue;
class CHostEndpoints;
class CTranJournal;
namespace platform {
class Event;
}

// What the routing works with; every member has the process's object as default.
struct CRoutingContext {
  CParamSettings settings;            // a copy taken for this request
  HostLinkFactory make_link;          // a new IP link per connection
  CTransactionQueue* queue = nullptr;
  CHostEndpoints* endpoints = nullptr;
  platform::Event* abort = nullptr;
  platform::Event* dial_busy = nullptr;
  CLogger* logger = nullptr;
  CTranJournal* journal = nullptr;  // told what becomes of each exchange (the process's by default)
  // A dial round with no outcome from the dial backup ends after this long.
  uint32_t dial_round_limit_ms = 120000;

  // Fills the unset members with the process's objects and a copy of g_ParamStore's
  // settings (when settings is empty).
  void FillDefaults();
};

bool RouteRequest(CElavonTran& tran, CRoutingContext& context);
bool ConnectToElavon(CHostLink& link, CRoutingContext& context);
bool SendRequestOverIp(CElavonTran& tran, CHostLink& link, CRoutingContext& context);
bool ReverseHandlerIp(CElavonTran& tran, CRoutingContext& context);
