// Feeds arbitrary bytes to the Elavon response parser. The first byte chooses the
// record the answer is read into (its family, internal code and a few request flags);
// the rest is the answer. Half the inputs are wrapped as GS-separated fields so that
// the field readers are reached often; the other half go in as they are.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/log/logger.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/seq/sequence_file.h"

namespace {

CSequenceFile* g_FuzzSequence = nullptr;
CLogger* g_FuzzLogger = nullptr;
std::string* g_FuzzFolder = nullptr;

// The scratch folder goes when the run ends, with the sequence file in it.
void RemoveFuzzFolder() {
  std::error_code ignored;
  if (g_FuzzFolder != nullptr) std::filesystem::remove_all(*g_FuzzFolder, ignored);
}

struct FuzzRecord {
  int family;
  int code;
};

// Every family the parser knows, with codes that take its different paths.
constexpr FuzzRecord kRecords[] = {
    {kTranFamilyCredit, kCodeCreditSale},        {kTranFamilyCredit, kCodeCreditFSASale},
    {kTranFamilyCredit, kCodeCreditBalance},     {kTranFamilyDebit, kCodeDebitSale},
    {kTranFamilyDebit, kCodeEMVDebitReturn},     {kTranFamilyEBT, kCodeEBTFoodstampSale},
    {kTranFamilyEBT, kCodeEBTCashBalance},       {kTranFamilyEcho, kCodeDebitSale},
    {kTranFamilyECheck, kCodeECheckSale},        {kTranFamilyECheck, kCodeECheckVoidSale},
    {kTranFamilyAdmin, kCodeBatchSummary},       {kTranFamilyAdmin, kCodeBatchClose},
    {kTranFamilyEmvKeyDownload, kCodeEMVParamDownload},
    {kTranFamilyEmvKeyDownload, kCodeEMVKeyDownloadNext},
    {kTranFamilyReversal, kCodeReversal},        {kTranFamilyNone, kCodeNone},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser writes the sequence file on most answers: keep it in a scratch folder
  // of its own, in memory-backed storage when there is some. The working folder is
  // left alone, so that crash artifacts land where libFuzzer is run.
  char shm[] = "/dev/shm/kvr_resp_fuzz_XXXXXX";
  char tmp[] = "/tmp/kvr_resp_fuzz_XXXXXX";
  const char* folder = mkdtemp(shm);
  if (folder == nullptr) folder = mkdtemp(tmp);
  if (folder == nullptr) abort();
  g_FuzzFolder = new std::string(folder);
  atexit(RemoveFuzzFolder);
  g_FuzzSequence = new CSequenceFile(*g_FuzzFolder + "/RudavarUrizNum.dat");
  // Nothing to learn from the log lines: the process logger refuses them from here on.
  g_FuzzLogger = &GetLogger();
  ShutdownLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

  CElavonTran tran;
  const FuzzRecord& record = kRecords[selector % (sizeof kRecords / sizeof kRecords[0])];
  tran.m_Family = record.family;
  tran.m_TranCode = record.code;
  tran.m_TStreamType = record.family == kTranFamilyAdmin ||
                               record.family == kTranFamilyEmvKeyDownload
                           ? "Admin"
                           : "Transaction";
  tran.m_PartialAuth = selector & 0x10;
  tran.m_ZipGiven = selector & 0x20;
  tran.m_CVVValid = selector & 0x20;
  tran.m_AccountType = selector & 0x40 ? "3" : "4";
  tran.m_EMVKeyIndex = "0";
  // Kind 0 builds the whole reply document; with no key block its encryption fails,
  // so the reply becomes the 4020 error in clear. A successful key download would
  // also write its EMV report into the working folder: its reply goes in clear.
  tran.m_RequestKind =
      record.family == kTranFamilyEmvKeyDownload ? kRequestKindClear : kRequestKindEncrypted;

  if (selector & 0x80) {
    // A header, the body as fields (each NUL byte starts a new one), ETX, checksum.
    std::string answer = "\x02*00E4029A000JX4807GC000123000000000012345zovade\x1D";
    for (char c : body) answer += c == '\0' ? '\x1D' : c;
    answer += "\x03?";
    tran.m_HostResponse = answer;
  } else {
    tran.m_HostResponse = body;
  }

  // An echo answer comes after an approval; a key download may go several rounds.
  for (int round = 0; round < 3; ++round) {
    tran.ParseElavonResponse(*g_FuzzSequence, *g_FuzzLogger);
    if (tran.m_TranCode != kCodeEMVKeyDownloadNext) break;
  }
  if (tran.m_Approved && tran.m_Family != kTranFamilyEcho && tran.m_Family != kTranFamilyCredit) {
    tran.m_Family = kTranFamilyEcho;
    tran.ParseElavonResponse(*g_FuzzSequence, *g_FuzzLogger);
  }
  return 0;
}
