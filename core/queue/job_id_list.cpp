#include "core/queue/job_id_list.h"

#include <algorithm>

CJobIdList::CJobIdList(platform::Event* abortEvent) : m_AbortEvent(abortEvent) {}

int CJobIdList::Allocate() {
  platform::MutexLock lock(m_Lock);
  if (m_AbortEvent->IsSet()) return 0;
  if (m_Ids.size() >= static_cast<size_t>(kMaxId)) return 0;
  int id = m_LastId;
  do {
    id = id >= kMaxId ? 1 : id + 1;
  } while (InFlightLocked(id));
  m_LastId = id;
  m_Ids.push_back(id);
  return id;
}

bool CJobIdList::Release(int id) {
  platform::MutexLock lock(m_Lock);
  auto it = std::find(m_Ids.begin(), m_Ids.end(), id);
  if (it == m_Ids.end()) return false;
  m_Ids.erase(it);
  return true;
}

int CJobIdList::GetCount() const {
  platform::MutexLock lock(m_Lock);
  return static_cast<int>(m_Ids.size());
}

void CJobIdList::Clear() {
  platform::MutexLock lock(m_Lock);
  m_Ids.clear();
}

bool CJobIdList::InFlightLocked(int id) const {
  return std::find(m_Ids.begin(), m_Ids.end(), id) != m_Ids.end();
}
