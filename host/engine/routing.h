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
  CParamSettings m_Settings;    // a copy taken for this request
  HostLinkFactory m_MakeLink;   // a new IP link per connection
  CTransactionQueue* m_Queue = nullptr;
  CHostEndpoints* m_Endpoints = nullptr;
  platform::Event* m_Abort = nullptr;
  platform::Event* m_DialBusy = nullptr;
  CLogger* m_Logger = nullptr;
  CTranJournal* m_Journal = nullptr;  // told what becomes of each exchange (the process's by default)
  // A dial round with no outcome from the dial backup ends after this long.
  uint32_t m_DialRoundLimitMs = 120000;

  // Fills the unset members with the process's objects and a copy of g_ParamStore's
  // settings (when m_Settings is empty).
  void FillDefaults();
};

bool RouteRequest(CElavonTran& tran, CRoutingContext& context);
bool ConnectToElavon(CHostLink& link, CRoutingContext& context);
bool SendRequestOverIp(CElavonTran& tran, CHostLink& link, CRoutingContext& context);
bool ReverseHandlerIp(CElavonTran& tran, CRoutingContext& context);
