// CDuplicateCache: copies of the last 20 approved transactions whose encrypted reply
// was delivered to a client, so that a repeated request is answered from memory
// instead of going to the host a second time. Oldest first, newest last.
//
// A cached record matches a new request when the cached record carries no EMV
// result data and both have the same account number, internal transaction code,
// invoice number and amount to authorise; when the account number is empty (a
// stored-record transaction) their record numbers must be equal as well.
//
// A match answers the new request with the cached host answer while the request keeps
// its own identity: key block, UserTraceData, client address and ClientID (and, by
// the record's assignment rules, its log tag). The answered record is first built as
// a copy; the caller's reply builder runs on that copy and the request is changed
// only when the builder succeeds.
//
// Locking: every operation takes the cache's own mutex and no other lock. The reply
// builder of FindDuplicate runs after the mutex is released, so it may take other
// locks (the crypto engine, the logger).
#pragma once

#include <cstddef>
#include <functional>

#include "core/tran/elavon_tran.h"
#include "platform/sync/mutex.h"

// Builds the duplicate reply into the answered copy; false when no reply can be
// built (the request then goes on as if nothing matched).
using DuplicateReplyBuilder = std::function<bool(CElavonTran& duplicate)>;

class CDuplicateCache {
 public:
  static constexpr size_t kCapacity = 20;

  CDuplicateCache() = default;
  CDuplicateCache(const CDuplicateCache&) = delete;
  CDuplicateCache& operator=(const CDuplicateCache&) = delete;
  virtual ~CDuplicateCache() = default;

  // Caches a copy of record when it is approved and its reply went out encrypted
  // (request kind 0), dropping the oldest records so that at most 20 stay. False,
  // caching nothing, for any other record.
  bool Add(const CElavonTran& record) EXCLUDES(m_Lock);

  // Looks for the newest cached record that matches request. On a match, a copy of
  // it that keeps request's identity goes to buildReply; when that succeeds, request
  // becomes the copy and the result is true. False, request untouched, when nothing
  // matches, when buildReply is empty or when it fails.
  bool FindDuplicate(CElavonTran& request, const DuplicateReplyBuilder& buildReply) EXCLUDES(m_Lock);

  // Moves the oldest record into out and drops it. False when the cache is empty.
  bool RemoveHead(CElavonTran& out) EXCLUDES(m_Lock);
  void Clear() EXCLUDES(m_Lock);
  size_t GetCount() const EXCLUDES(m_Lock);

 private:
  mutable platform::Mutex m_Lock;
  CTranList m_Records GUARDED_BY(m_Lock);  // oldest at the head
};

// The one cache of the server, used when DUPLICATE CHECK is "Y".
extern CDuplicateCache g_DuplicateCache;
