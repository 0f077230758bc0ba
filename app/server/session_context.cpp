#include "app/server/session_context.h"

#include "app/lanes/lanes.h"
#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/duplicate_cache.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_journal.h"

CSessionContext ProcessSessionContext() {
  return {.m_Queue = &g_TransactionQueue,
          .m_Duplicates = &g_DuplicateCache,
          .m_Lanes = &g_LaneRegistry,
          .m_Params = &g_ParamStore,
          .m_Crypto = &g_CryptoEngine,
          .m_Logger = &GetLogger(),
          .m_Abort = &g_AbortEvent,
          .m_Journal = &ProcessTranJournal()};
}
