#include "bench/pos_driver.h"

#include <cstdio>
#include <thread>

namespace bench {
namespace {

constexpr int kConnectWaitMs = 5000;

std::string LaneId(int lane) {
  char id[16];
  std::snprintf(id, sizeof id, "%04d", 1 + lane % PosDriver::kLaneIds);
  return id;
}

}  // namespace

PosDriver::PosDriver(int port, int lane, StatsCollector* stats) : port_(port), lane_(lane), stats_(stats) {}

bool PosDriver::LoginOnce(int port, std::string* failure) {
  e2e::PosConnection connection;
  if (!connection.Connect(port, kConnectWaitMs)) return *failure = "connect", false;
  return connection.Login("M", failure);
}

bool PosDriver::Open() {
  Close();
  if (!connection_.Connect(port_, kConnectWaitMs)) {
    stats_->AddError("connect");
    return false;
  }
  std::string failure;
  if (!connection_.Login("M", &failure)) {
    stats_->AddError("login: " + failure);
    connection_.Close();
    return false;
  }
  open_ = true;
  return true;
}

void PosDriver::Close() {
  connection_.Close();
  open_ = false;
}

std::vector<pos_client::TStreamItem> PosDriver::NextSale() {
  ++sales_;
  // Unique per sale, within the 16 characters a RefNo keeps.
  const std::string reference = "B" + std::to_string(lane_) + "-" + std::to_string(sales_);
  return {{"TStream", "Transaction"}, {"ClientID", LaneId(lane_)}, {"MerchantID", "1234"},
          {"InvoiceNo", reference},   {"RefNo", reference},        {"TranType", "Credit"},
          {"TranCode", "Sale"},       {"Track2", e2e::kTestTrack2}, {"Purchase", "10.00"}};
}

void PosDriver::RunSales(Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    if (!open_ && !Open()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    const std::vector<pos_client::TStreamItem> sale = NextSale();
    const Clock::time_point sent = Clock::now();
    std::string document, failure;
    bool encrypted = false;
    if (!connection_.Exchange(sale, pos_client::Cipher::kRc4, kReplyWaitMs, &document, &encrypted, &failure)) {
      stats_->AddError("exchange: " + failure);
      Close();
      continue;
    }
    const Clock::time_point answered = Clock::now();
    const std::string status = e2e::Element(document, "CmdStatus");
    if (status != "Approved") {
      stats_->AddError("reply " + status + ": " + e2e::Element(document, "TextResponse").substr(0, 40));
      continue;
    }
    stats_->AddCompleted(std::chrono::duration<double>(answered - sent).count(), answered <= deadline);
  }
}

}  // namespace bench
