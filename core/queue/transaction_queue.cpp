#include "core/queue/transaction_queue.h"

#include <algorithm>

#include "core/tran/tran_codes.h"
#include "platform/sync/tick.h"

// The process queue stamps the hold tick for the new-authorisation codes.
CTransactionQueue g_TransactionQueue(&IsNewAuthorizationCode);

CTransactionQueue::CTransactionQueue(NewAuthPredicate isNewAuth) : m_IsNewAuth(isNewAuth) {}

void CTransactionQueue::SetNewAuthPredicate(NewAuthPredicate isNewAuth) {
  platform::MutexLock lock(m_Lock);
  m_IsNewAuth = isNewAuth;
}

bool CTransactionQueue::Add(CElavonTran& record) {
  platform::MutexLock lock(m_Lock);
  return AddLocked(record, false, 0);
}

bool CTransactionQueue::AddFirst(CElavonTran& record, int linkId) {
  platform::MutexLock lock(m_Lock);
  return AddLocked(record, true, linkId);
}

bool CTransactionQueue::AddLocked(CElavonTran& record, bool atHead, int linkId) {
  // With fewer records than ids a free id exists, and the search below meets it
  // within count + 1 steps.
  if (m_Records.size() >= static_cast<size_t>(kMaxId)) return false;
  int id = m_LastId;
  do {
    id = id >= kMaxId ? 1 : id + 1;
  } while (HoldsIdLocked(id));

  if (m_IsNewAuth != nullptr && m_IsNewAuth(record.m_TranCode)) {
    m_LastAuthTick = platform::TickCount();
    m_AuthSeen = true;
  }
  m_LastId = id;
  record.m_Id = id;
  record.m_Revision = 1;
  if (atHead) {
    record.m_LinkId = linkId;
    m_Records.push_front(record);
  } else {
    m_Records.push_back(record);
  }
  m_Count.store(static_cast<int>(m_Records.size()), std::memory_order_relaxed);
  return true;
}

bool CTransactionQueue::HoldsIdLocked(int id) const { return FindLocked(id) != m_Records.end(); }

CTranList::iterator CTransactionQueue::FindLocked(int id) {
  return std::find_if(m_Records.begin(), m_Records.end(),
                      [id](const CElavonTran& r) { return r.m_Id == id; });
}

CTranList::const_iterator CTransactionQueue::FindLocked(int id) const {
  return std::find_if(m_Records.begin(), m_Records.end(),
                      [id](const CElavonTran& r) { return r.m_Id == id; });
}

void CTransactionQueue::Snapshot(CTranList& out) const {
  out.clear();
  platform::MutexLock lock(m_Lock);
  out = m_Records;
}

void CTransactionQueue::SnapshotByIds(const CTranIdArray& ids, CTranList& out) const {
  out.clear();
  platform::MutexLock lock(m_Lock);
  for (const CElavonTran& record : m_Records) {
    for (int id : ids) {
      if (out.size() >= ids.size()) return;
      if (record.m_Id == id) out.push_back(record);
    }
  }
}

bool CTransactionQueue::Find(int id, CElavonTran& out) const {
  platform::MutexLock lock(m_Lock);
  auto it = FindLocked(id);
  if (it == m_Records.end()) return false;
  out = *it;
  return true;
}

bool CTransactionQueue::Update(int id, const CElavonTran& record) {
  platform::MutexLock lock(m_Lock);
  auto it = FindLocked(id);
  if (it == m_Records.end()) return false;
  const uint32_t revision = it->m_Revision + 1;
  *it = record;
  it->m_Revision = revision;
  return true;
}

bool CTransactionQueue::Update(int id, CElavonTran& record) {
  platform::MutexLock lock(m_Lock);
  auto it = FindLocked(id);
  if (it == m_Records.end()) return false;
  record.m_Revision = it->m_Revision + 1;
  *it = record;
  return true;
}

bool CTransactionQueue::UpdateIfCurrent(int id, CElavonTran& record) {
  platform::MutexLock lock(m_Lock);
  auto it = FindLocked(id);
  if (it == m_Records.end() || it->m_Revision != record.m_Revision) return false;
  record.m_Revision = it->m_Revision + 1;
  *it = record;
  return true;
}

std::set<uint64_t> CTransactionQueue::JournalKeys() const {
  platform::MutexLock lock(m_Lock);
  std::set<uint64_t> keys;
  for (const CElavonTran& record : m_Records) {
    if (record.m_JournalKey != 0) keys.insert(record.m_JournalKey);
  }
  return keys;
}

bool CTransactionQueue::Remove(int id) {
  platform::MutexLock lock(m_Lock);
  auto it = FindLocked(id);
  if (it == m_Records.end()) return false;
  m_Records.erase(it);
  m_Count.store(static_cast<int>(m_Records.size()), std::memory_order_relaxed);
  return true;
}

bool CTransactionQueue::RemoveFirst(CElavonTran& out) {
  platform::MutexLock lock(m_Lock);
  if (m_Records.empty()) return false;
  out = std::move(m_Records.front());
  m_Records.pop_front();
  m_Count.store(static_cast<int>(m_Records.size()), std::memory_order_relaxed);
  return true;
}

bool CTransactionQueue::Contains(int id) const {
  platform::MutexLock lock(m_Lock);
  return HoldsIdLocked(id);
}

void CTransactionQueue::RemoveAll() {
  platform::MutexLock lock(m_Lock);
  m_Records.clear();
  m_Count.store(0, std::memory_order_relaxed);
}

std::optional<uint32_t> CTransactionQueue::MsSinceLastAuth() const {
  platform::MutexLock lock(m_Lock);
  if (!m_AuthSeen) return std::nullopt;
  return platform::TickDiff(platform::TickCount(), m_LastAuthTick);
}
