// What a client session works with: the process-wide objects it calls. The wiring
// fills it at start-up with the process's own (g_TransactionQueue, g_DuplicateCache,
// g_LaneRegistry, g_ParamStore, g_CryptoEngine, the process's logger, g_AbortEvent
// and the process's transaction journal); the listener hands a copy to every session
// it makes. Every member must be set, and each must outlive the listener.
//
// The context is a value set before the listener starts and only read afterwards;
// each object behind it takes its own lock.
#pragma once

class CCryptoEngine;
class CDuplicateCache;
class CLaneRegistry;
class CLogger;
class CParamStore;
class CTranJournal;
class CTransactionQueue;
namespace platform {
class Event;
}

struct CSessionContext {
  CTransactionQueue* queue = nullptr;      // where requests wait for the Elavon interface
  CDuplicateCache* duplicates = nullptr;   // recently delivered approvals
  CLaneRegistry* lanes = nullptr;          // the lanes that may send new authorisations
  CParamStore* params = nullptr;           // the merchant parameters, read per request
  CCryptoEngine* crypto = nullptr;         // the server key and the login cipher
  CLogger* logger = nullptr;
  platform::Event* abort = nullptr;        // set while the interfaces stop
  CTranJournal* journal = nullptr;         // told what became of each delivered record
};
