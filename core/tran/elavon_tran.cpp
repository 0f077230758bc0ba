#include "core/tran/elavon_tran.h"

#include <ctime>
#include <utility>

#include "platform/sync/tick.h"

CElavonTran::CElavonTran(const CElavonTran& other)
    : CTranRecordData(other),
      CTranCardData(other),
      CTranAmountData(other),
      CTranTerminalData(other),
      CTranHostResponse(other),
      CTranBatchRequest(other),
      CTranLineItems(other),
      CTranQueueData(other) {}

// Each base takes its own part of other, so moving other once per base is sound.
CElavonTran::CElavonTran(CElavonTran&& other) noexcept
    : CTranRecordData(std::move(static_cast<CTranRecordData&>(other))),
      CTranCardData(std::move(static_cast<CTranCardData&>(other))),
      CTranAmountData(std::move(static_cast<CTranAmountData&>(other))),
      CTranTerminalData(std::move(static_cast<CTranTerminalData&>(other))),
      CTranHostResponse(std::move(static_cast<CTranHostResponse&>(other))),
      CTranBatchRequest(std::move(static_cast<CTranBatchRequest&>(other))),
      CTranLineItems(std::move(static_cast<CTranLineItems&>(other))),
      CTranQueueData(std::move(static_cast<CTranQueueData&>(other))) {}

CElavonTran& CElavonTran::operator=(const CElavonTran& other) {
  if (this != &other) AssignGroups(other);
  return *this;
}

CElavonTran& CElavonTran::operator=(CElavonTran&& other) noexcept {
  if (this != &other) {
    CTranRecordData::operator=(std::move(static_cast<CTranRecordData&>(other)));
    CTranCardData::operator=(std::move(static_cast<CTranCardData&>(other)));
    CTranAmountData::operator=(std::move(static_cast<CTranAmountData&>(other)));
    CTranTerminalData::operator=(std::move(static_cast<CTranTerminalData&>(other)));
    CTranHostResponse::operator=(std::move(static_cast<CTranHostResponse&>(other)));
    CTranBatchRequest::operator=(std::move(static_cast<CTranBatchRequest&>(other)));
    CTranLineItems::operator=(std::move(static_cast<CTranLineItems&>(other)));
    CTranQueueData::operator=(std::move(static_cast<CTranQueueData&>(other)));
  }
  return *this;
}

void CElavonTran::AssignGroups(const CElavonTran& other) {
  CTranRecordData::operator=(other);
  CTranCardData::operator=(other);
  CTranAmountData::operator=(other);
  CTranTerminalData::operator=(other);
  CTranHostResponse::operator=(other);
  CTranBatchRequest::operator=(other);
  CTranLineItems::operator=(other);
  CTranQueueData::operator=(other);
}

std::string CElavonTran::FormatDispatchTime() const {
  const struct tm local = platform::LocalTime(m_DispatchTime);
  char text[16];
  const size_t length = strftime(text, sizeof text, "%H:%M:%S", &local);
  return std::string(text, length);
}

bool CElavonTran::LoadEMVDefaults(CEmvAidEntry& entry, const std::string& rid) {
  return LoadEMVDefaults(entry, rid, CEmvOptions::Current());
}

bool CElavonTran::LoadEMVDefaults(CEmvAidEntry& entry, const std::string& rid,
                                  const CEmvOptions& options) {
  return LoadEmvAidDefaults(options, rid, entry);
}

bool CElavonTran::BuildEMVParamList() { return BuildEMVParamList(CEmvOptions::Current()); }

bool CElavonTran::BuildEMVParamList(const CEmvOptions& options) {
  BuildEmvAidList(options, m_EMVParamTables.m_AidEntries);
  return true;
}

bool CElavonTran::SetEmvDownloadFamily() {
  m_Family = kTranFamilyEmvKeyDownload;
  return true;
}
