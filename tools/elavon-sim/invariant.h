// The money invariant of a test run, as the simulated host sees it: checked after
// the run, once the host answers reversals again and the server has had its time
// to reverse what it owes.
//
// A breach is any of:
//   - an approval the host still holds (see FamilyCounts::held: final, awaiting
//     its echo, lost, unconfirmed, captured) of a sale whose amount the POS was
//     not told Approved of;
//   - a money request that reached the host twice (Counters::repeated_requests);
//   - a reversal of an approval already reversed or voided
//     (Counters::repeated_reversals);
//   - a reversal of a request the host never received
//     (Counters::unmatched_reversals).
// A reversal of a request the host received but did not approve (a decline, an
// error answer) is no breach. Only approvals that move money are checked (not
// balance inquiries or token requests), over the open batch.
//
// Sales are told apart by their amount: give every sale of a run an amount of its
// own. An approval is matched to a sale by the amount the POS asked for (the
// request's FID 01 amount, also for a partial approval).
//
// Stateless; reads the simulator through its public members (which take its
// mutex), so it may run while connections are still open.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/elavon-sim/host_sim.h"

namespace elavon_sim {

// One sale a test made, and what its POS was told.
struct PosSale {
  int64_t cents = 0;          // the amount asked for, distinct within the run
  bool told_approved = false; // the POS got Approved for it
  std::string description;    // names the sale in the breach texts (e.g. "dial/echo declined/stop")
};

// One text per breach, empty when there is none. A held approval whose amount
// is no sale in `sales` is a breach too ("no sale of that amount").
std::vector<std::string> InvariantBreaches(const ElavonHostSim& host, const std::vector<PosSale>& sales);

// The same with only the amounts the POS was told Approved of: every held
// approval of an amount not in the set (each element answers for one approval)
// is a breach.
std::vector<std::string> InvariantBreaches(const ElavonHostSim& host,
                                           const std::multiset<int64_t>& approved_cents_told_to_pos);

}  // namespace elavon_sim
