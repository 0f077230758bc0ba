#include "core/queue/duplicate_cache.h"

#include <optional>
#include <utility>

CDuplicateCache g_DuplicateCache;

namespace {

bool Matches(const CElavonTran& cached, const CElavonTran& request) {
  if (!cached.m_EMVResult.empty()) return false;
  if (cached.m_AcctNo != request.m_AcctNo) return false;
  if (cached.m_TranCode != request.m_TranCode) return false;
  if (cached.m_InvoiceNo != request.m_InvoiceNo) return false;
  if (cached.m_Authorize != request.m_Authorize) return false;
  // Without an account number the card is named by the stored record number alone.
  if (cached.m_AcctNo.empty() && cached.m_RecordNo != request.m_RecordNo) return false;
  return true;
}

}  // namespace

bool CDuplicateCache::Add(const CElavonTran& record) {
  if (!record.m_Approved || record.m_RequestKind != kRequestKindEncrypted) return false;
  platform::MutexLock lock(m_Lock);
  while (m_Records.size() >= kCapacity) m_Records.pop_front();
  m_Records.push_back(record);
  return true;
}

bool CDuplicateCache::FindDuplicate(CElavonTran& request, const DuplicateReplyBuilder& buildReply) {
  if (!buildReply) return false;
  std::optional<CElavonTran> answered;
  {
    platform::MutexLock lock(m_Lock);
    for (auto it = m_Records.rbegin(); it != m_Records.rend(); ++it) {
      if (Matches(*it, request)) {
        answered.emplace(*it);
        break;
      }
    }
  }
  if (!answered) return false;

  answered->m_KeyBlock = request.m_KeyBlock;
  answered->m_UserTraceData = request.m_UserTraceData;
  answered->m_ClientAddress = request.m_ClientAddress;
  answered->m_ClientID = request.m_ClientID;
  if (!buildReply(*answered)) return false;
  request = std::move(*answered);
  return true;
}

bool CDuplicateCache::RemoveHead(CElavonTran& out) {
  platform::MutexLock lock(m_Lock);
  if (m_Records.empty()) return false;
  out = std::move(m_Records.front());
  m_Records.pop_front();
  return true;
}

void CDuplicateCache::Clear() {
  platform::MutexLock lock(m_Lock);
  m_Records.clear();
}

size_t CDuplicateCache::GetCount() const {
  platform::MutexLock lock(m_Lock);
  return m_Records.size();
}
