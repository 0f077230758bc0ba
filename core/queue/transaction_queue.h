// CTransactionQueue: the hub between the client connections and the Elavon
// interface. Connections add their accepted requests and later collect them by id;
// the Elavon processing thread takes snapshots, dispatches one record at a time and
// writes results back by id. Records cross the queue only as copies: no caller ever
// holds a reference into it.
//
// Ids run from 1 to 999999 and then start again at 1. An id that a record still in
// the queue holds is never handed out a second time: Add and AddFirst skip it, so an
// id names at most one queued record.
//
// The queue remembers when the last record with a new-authorisation code was added,
// for the single-lane hold. Which codes are new authorisations is told by a
// predicate given at construction or by SetNewAuthPredicate (g_TransactionQueue
// uses IsNewAuthorizationCode); without one no record stamps the tick.
//
// Locking: every operation takes the queue's own mutex for its whole length, the
// copying of records included, and takes no other lock. GetCount alone reads an
// atomic count without the mutex (for the title and the interim reply, which only
// show it).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "core/tran/elavon_tran.h"
#include "platform/sync/mutex.h"

// Queue ids, as the client connections and the ReverseWorker keep them.
using CTranIdArray = std::vector<int>;

// Tells whether an internal transaction code is a new authorisation.
using NewAuthPredicate = bool (*)(int tranCode);

class CTransactionQueue {
 public:
  static constexpr int kMaxId = 999999;

  // An empty queue; the first id handed out is 1; no new authorisation seen yet.
  explicit CTransactionQueue(NewAuthPredicate isNewAuth = nullptr);
  CTransactionQueue(const CTransactionQueue&) = delete;
  CTransactionQueue& operator=(const CTransactionQueue&) = delete;
  virtual ~CTransactionQueue() = default;

  // The predicate that Add and AddFirst consult; nullptr: no code stamps the tick.
  void SetNewAuthPredicate(NewAuthPredicate isNewAuth) EXCLUDES(m_Lock);

  // Gives record the next free id (written into record and into the queued copy)
  // and appends a copy at the tail. When record's m_TranCode is a new-authorisation
  // code, the last-authorisation tick becomes the current tick. False, with record
  // and queue unchanged, only when every id is held by a queued record.
  bool Add(CElavonTran& record) EXCLUDES(m_Lock);
  // As Add, but also sets record.m_LinkId to linkId and inserts the copy at the head.
  bool AddFirst(CElavonTran& record, int linkId) EXCLUDES(m_Lock);

  // out := copies of every queued record, in queue order (head first).
  void Snapshot(CTranList& out) const EXCLUDES(m_Lock);
  // out := copies of the queued records whose id stands in ids, in queue order; a
  // record whose id stands twice is copied twice; ids not queued give nothing.
  void SnapshotByIds(const CTranIdArray& ids, CTranList& out) const EXCLUDES(m_Lock);

  // True with a copy of the record of that id in out; false, out untouched, when
  // none is queued.
  bool Find(int id, CElavonTran& out) const EXCLUDES(m_Lock);
  // Replaces the record of that id by a copy of record. False when none is queued.
  // Every Add and Update gives the queued record a new m_Revision; the overload on a
  // record the caller may change writes that revision into it as well.
  bool Update(int id, const CElavonTran& record) EXCLUDES(m_Lock);
  bool Update(int id, CElavonTran& record) EXCLUDES(m_Lock);
  // As Update, but only while the queued record is still the one record was copied
  // from (the same m_Revision): a copy never overwrites a later change. False, the
  // queue unchanged, when none is queued or the queued one has changed since.
  bool UpdateIfCurrent(int id, CElavonTran& record) EXCLUDES(m_Lock);
  // The journal keys that queued records carry.
  std::set<uint64_t> JournalKeys() const EXCLUDES(m_Lock);
  // Removes the record of that id. False when none is queued.
  bool Remove(int id) EXCLUDES(m_Lock);
  // Moves the head record into out and removes it. False when the queue is empty.
  bool RemoveFirst(CElavonTran& out) EXCLUDES(m_Lock);
  bool Contains(int id) const EXCLUDES(m_Lock);
  // Removes every record. The last id and the last-authorisation tick stay.
  void RemoveAll() EXCLUDES(m_Lock);

  // The number of queued records, read without the mutex.
  int GetCount() const { return m_Count.load(std::memory_order_relaxed); }

  // Milliseconds from the last-authorisation tick to now, across the wrap of the
  // 32-bit tick; std::nullopt when no new authorisation has been added since the
  // queue was built.
  std::optional<uint32_t> MsSinceLastAuth() const EXCLUDES(m_Lock);

 private:
  bool AddLocked(CElavonTran& record, bool atHead, int linkId) REQUIRES(m_Lock);
  bool HoldsIdLocked(int id) const REQUIRES(m_Lock);
  CTranList::iterator FindLocked(int id) REQUIRES(m_Lock);
  CTranList::const_iterator FindLocked(int id) const REQUIRES(m_Lock);

  mutable platform::Mutex m_Lock;
  CTranList m_Records GUARDED_BY(m_Lock);          // head first, in order of arrival
  int m_LastId GUARDED_BY(m_Lock) = 0;             // the id handed out last
  std::atomic<int> m_Count{0};                     // written under m_Lock, read by GetCount without it
  bool m_AuthSeen GUARDED_BY(m_Lock) = false;      // a new authorisation has been added
  uint32_t m_LastAuthTick GUARDED_BY(m_Lock) = 0;  // its tick, valid when m_AuthSeen
  NewAuthPredicate m_IsNewAuth GUARDED_BY(m_Lock);
};

// The one queue of the server.
extern CTransactionQueue g_TransactionQueue;
