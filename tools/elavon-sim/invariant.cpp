#include "tools/elavon-sim/invariant.h"

#include <cinttypes>

#include "platform/text/format.h"

namespace elavon_sim {

using platform::Format;

namespace {

const char* FamilyName(CardFamily family) {
  switch (family) {
    case CardFamily::kCredit: return "credit";
    case CardFamily::kDebit: return "debit";
    case CardFamily::kEbt: return "EBT";
    case CardFamily::kECheck: return "ECheck";
    case CardFamily::kNone: break;
  }
  return "no family";
}

std::string Describe(const Approval& approval) {
  return Format("approval %d (%s code %s, %" PRId64 " cents asked, %" PRId64 " approved, %s)", approval.id,
                FamilyName(approval.info.family), approval.code.c_str(), approval.requested_cents,
                approval.approved_cents, ApprovalStateName(approval.state));
}

// The repeated requests and the repeated or unmatched reversals.
void AddRequestBreaches(const ElavonHostSim& host, std::vector<std::string>* breaches) {
  for (const std::string& incident : host.Incidents()) breaches->push_back(incident);
}

}  // namespace

std::vector<std::string> InvariantBreaches(const ElavonHostSim& host, const std::vector<PosSale>& sales) {
  std::vector<std::string> breaches;
  std::vector<bool> used(sales.size(), false);
  for (const Approval& approval : host.Approvals()) {
    if (!HeldByHost(approval)) continue;
    size_t found = sales.size();
    for (size_t i = 0; i < sales.size(); ++i) {
      if (sales[i].cents == approval.requested_cents && !used[i]) {
        found = i;
        break;
      }
    }
    if (found == sales.size()) {
      breaches.push_back("the host holds " + Describe(approval) + ": no sale of that amount");
      continue;
    }
    used[found] = true;
    if (!sales[found].told_approved) {
      breaches.push_back(sales[found].description + ": the host holds " + Describe(approval) +
                         " but the POS was not told Approved");
    }
  }
  AddRequestBreaches(host, &breaches);
  return breaches;
}

std::vector<std::string> InvariantBreaches(const ElavonHostSim& host,
                                           const std::multiset<int64_t>& approved_cents_told_to_pos) {
  std::multiset<int64_t> told = approved_cents_told_to_pos;
  std::vector<std::string> breaches;
  for (const Approval& approval : host.Approvals()) {
    if (!HeldByHost(approval)) continue;
    auto it = told.find(approval.requested_cents);
    if (it != told.end()) {
      told.erase(it);
      continue;
    }
    breaches.push_back("the host holds " + Describe(approval) + " but the POS was not told Approved of " +
                       Format("%" PRId64, approval.requested_cents) + " cents");
  }
  AddRequestBreaches(host, &breaches);
  return breaches;
}

}  // namespace elavon_sim
