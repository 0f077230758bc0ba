// Connection threads and a processing loop working on one queue at once, the way the
// client connections and the Elavon interface share it: connections add, snapshot by
// id, write back and remove their records; the loop snapshots, dispatches one job at
// a time under a job id, and a worker writes the answer back by id.
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/queue/job_id_list.h"
#include "core/queue/transaction_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 4;
constexpr int kPerConnection = 40;
constexpr auto kTimeLimit = std::chrono::seconds(30);

bool IsSale(int code) { return code == 1; }

std::string Tagged(const char* what, int id) { return std::string(what) + "-" + std::to_string(id); }

struct Shared {
  CTransactionQueue queue{&IsSale};
  platform::Event abort{platform::Event::Mode::kManualReset};
  CJobIdList jobs{&abort};
  Clock::time_point deadline = Clock::now() + kTimeLimit;

  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
  std::atomic<int> dispatched{0};
  std::atomic<int> lostChanges{0};
  std::atomic<int> failedCalls{0};
  std::atomic<bool> stop{false};

  bool TimeLeft() const { return Clock::now() < deadline; }
};

// The Elavon worker: finds its record, answers it and releases its job id.
void Worker(Shared& s, int id, int jobId) {
  CElavonTran record;
  if (!s.queue.Find(id, record)) {
    ++s.failedCalls;
  } else {
    if (record.m_State != kTranStateInProcess || record.m_HostRequest != Tagged("request", id)) ++s.lostChanges;
    record.m_HostResponse = Tagged("answer", id);
    record.m_Approved = true;
    record.MarkAnsweredOverIp();
    if (!s.queue.Update(id, record)) ++s.failedCalls;
  }
  --s.inFlight;
  if (!s.jobs.Release(jobId)) ++s.failedCalls;
}

// The processing loop: dispatches the first queued record while no job is in flight.
void ProcessingLoop(Shared& s) {
  std::thread worker;
  std::set<int> seen;  // ids dispatched so far
  CTranList snapshot;
  while (!s.stop.load()) {
    s.queue.Snapshot(snapshot);
    if (s.jobs.GetCount() == 0) {
      if (worker.joinable()) worker.join();
      for (CElavonTran& record : snapshot) {
        if (record.m_State != kTranStateQueued) continue;
        if (!seen.insert(record.m_Id).second) {
          ++s.lostChanges;  // a dispatched record went back to "queued"
          break;
        }
        const int jobId = s.jobs.Allocate();
        if (jobId == 0) {
          ++s.failedCalls;
          break;
        }
        const int now = ++s.inFlight;
        int max = s.maxInFlight.load();
        while (now > max && !s.maxInFlight.compare_exchange_weak(max, now)) {
        }
        record.MarkInProcess();
        record.m_HostRequest = Tagged("request", record.m_Id);
        if (!s.queue.Update(record.m_Id, record)) ++s.failedCalls;
        ++s.dispatched;
        worker = std::thread(Worker, std::ref(s), record.m_Id, jobId);
        break;
      }
    } else if (s.jobs.GetCount() > 1) {
      ++s.lostChanges;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (worker.joinable()) worker.join();
}

// One client connection: adds its requests one per pass, delivers answered ones
// (state 8 -> 7) and removes finished ones. Returns how many it saw through.
int Connection(Shared& s, int index) {
  const std::string address = "10.0.0." + std::to_string(index) + ":0900";
  CTranIdArray pending;
  CTranList snapshot;
  int added = 0;
  int finished = 0;
  while (finished < kPerConnection && s.TimeLeft()) {
    if (added < kPerConnection) {
      CElavonTran record;
      record.m_TranCode = added % 2 == 0 ? 1 : 2;
      record.m_ClientAddress = address;
      record.MarkQueued();
      if (!s.queue.Add(record)) ++s.failedCalls;
      pending.push_back(record.m_Id);
      ++added;
    }
    s.queue.SnapshotByIds(pending, snapshot);
    for (CElavonTran& record : snapshot) {
      if (record.m_ClientAddress != address) ++s.lostChanges;
      if (record.m_State == kTranStateAnsweredIp) {
        if (record.m_HostResponse != Tagged("answer", record.m_Id)) ++s.lostChanges;
        record.m_Reply = Tagged("reply", record.m_Id);
        record.MarkFinished();
        if (!s.queue.Update(record.m_Id, record)) ++s.failedCalls;
      } else if (record.m_State == kTranStateFinished) {
        if (record.m_Reply != Tagged("reply", record.m_Id) ||
            record.m_HostResponse != Tagged("answer", record.m_Id)) {
          ++s.lostChanges;
        }
        if (!s.queue.Remove(record.m_Id)) ++s.failedCalls;
        std::erase(pending, record.m_Id);
        ++finished;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  return finished;
}

TEST(QueueConcurrencyTest, ConnectionsAndOneJobAtATimeLoseNoStateChange) {
  Shared s;
  std::thread loop(ProcessingLoop, std::ref(s));
  // The title refresh reads the count without the queue's lock.
  std::thread title([&s] {
    while (!s.stop.load()) {
      const int count = s.queue.GetCount();
      if (count < 0 || count > kConnections * kPerConnection) ++s.failedCalls;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::vector<int> finished(kConnections, 0);
  std::vector<std::thread> connections;
  for (int i = 0; i < kConnections; ++i) {
    connections.emplace_back([&s, &finished, i] { finished[i] = Connection(s, i + 1); });
  }
  for (std::thread& t : connections) t.join();
  s.stop = true;
  loop.join();
  title.join();

  for (int i = 0; i < kConnections; ++i) EXPECT_EQ(finished[i], kPerConnection) << "connection " << i + 1;
  EXPECT_EQ(s.dispatched.load(), kConnections * kPerConnection);
  EXPECT_LE(s.maxInFlight.load(), 1);
  EXPECT_EQ(s.lostChanges.load(), 0);
  EXPECT_EQ(s.failedCalls.load(), 0);
  EXPECT_EQ(s.queue.GetCount(), 0);
  EXPECT_EQ(s.jobs.GetCount(), 0);
  EXPECT_EQ(s.inFlight.load(), 0);
}

}  // namespace
