// What a client session works with: the process-wide objects it calls. The wiring
// fills it at start-up with the process's own (ProcessSessionContext below: g_TransactionQueue, g_DuplicateCache,
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
  CTransactionQueue* m_Queue = nullptr;      // where requests wait for the Elavon interface
  CDuplicateCache* m_Duplicates = nullptr;   // recently delivered approvals
  CLaneRegistry* m_Lanes = nullptr;          // the lanes that may send new authorisations
  CParamStore* m_Params = nullptr;           // the merchant parameters, read per request
  CCryptoEngine* m_Crypto = nullptr;         // the server key and the login cipher
  CLogger* m_Logger = nullptr;
  platform::Event* m_Abort = nullptr;        // set while the interfaces stop
  CTranJournal* m_Journal = nullptr;         // told what became of each delivered record
};

// The context of the process's own objects, as listed above (the journal is the
// process's at the time of the call: call it once that journal is set).
CSessionContext ProcessSessionContext();
