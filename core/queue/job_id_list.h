// CJobIdList: the ids of the requests in flight at the Elavon interface. The Elavon
// processing thread allocates one per dispatched record, dispatches only while the
// list is empty (one host exchange at a time), releases the id when the worker ends
// and clears the list when the interface stops.
//
// Ids run from 1 to 999999 and then start again at 1, skipping an id still in
// flight. While the abort event (g_AbortEvent unless another is given) is set,
// Allocate refuses with 0 and changes nothing.
//
// Locking: every operation takes the list's own mutex; Allocate also tests the abort
// event, which only takes the event's own mutex for the test and never waits.
#pragma once

#include <list>

#include "core/queue/process_events.h"
#include "platform/sync/mutex.h"

class CJobIdList {
 public:
  static constexpr int kMaxId = 999999;

  // abortEvent must outlive the list.
  explicit CJobIdList(platform::Event* abortEvent = &g_AbortEvent);
  CJobIdList(const CJobIdList&) = delete;
  CJobIdList& operator=(const CJobIdList&) = delete;
  virtual ~CJobIdList() = default;

  // The next free id, appended to the list; 0 while the abort event is set (or,
  // never in practice, when every id is in flight).
  int Allocate() EXCLUDES(m_Lock);
  // Removes the first occurrence of id. False when it is not in flight.
  bool Release(int id) EXCLUDES(m_Lock);
  // The number of ids in flight.
  int GetCount() const EXCLUDES(m_Lock);
  // Removes every id; the next Allocate continues after the last id.
  void Clear() EXCLUDES(m_Lock);

 private:
  bool InFlightLocked(int id) const REQUIRES(m_Lock);

  platform::Event* const m_AbortEvent;
  int m_LastId GUARDED_BY(m_Lock) = 0;
  mutable platform::Mutex m_Lock;
  std::list<int> m_Ids GUARDED_BY(m_Lock);
};
