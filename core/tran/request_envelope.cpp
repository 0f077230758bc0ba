#include <vector>

#include "core/crypto/crypto_engine.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "core/vocab/control_chars.h"

namespace {

// The key blob of a hex key block, or false for an empty or odd block.
bool KeyBlob(const std::string& block, std::vector<uint8_t>* blob) {
  if (block.empty() || block.size() % 2 != 0) return false;
  blob->resize(block.size() / 2);
  for (size_t i = 0; i < block.size(); i += 2) (*blob)[i / 2] = CRequest::HexPairToByte(block[i], block[i + 1]);
  return true;
}

}  // namespace

CElavonTran& CElavonTran::SetRequest(const std::string& text) {
  m_Request = text;
  DecodeRequestEnvelope();
  ParseRequest();
  return *this;
}

void CElavonTran::DecodeRequestEnvelope() {
  const std::string text = m_Request;
  m_ErrorCode = kErrorEnvelopeUndecodable;
  const size_t fs = text.find(kFS);
  if (fs == std::string::npos) {
    m_UserTraceData = text;
    return;
  }
  m_UserTraceData = text.substr(0, fs);
  const size_t stx = text.find(kSTX);
  if (stx == std::string::npos) {
    m_UserTraceData = text;
    return;
  }
  if (text.size() < fs + 3) return;

  m_LogTag = "Request ->";
  switch (text[fs + 1]) {
    case 'Z':
      m_LogTag = "Request +>";
      [[fallthrough]];
    case '2':
    case 'M': {
      m_RequestKind = kRequestKindEncrypted;
      // The block is looked for after the STX only: the client's own trace text
      // cannot hold it. What follows the STX, less the block, is the payload.
      std::string rest = stx + 1 < text.size() ? text.substr(stx + 1) : std::string();
      if (!ExtractKeyBlock(rest)) {
        m_RequestKind = kRequestKindClear;
        m_ErrorCode = kErrorNoKeyOrUndecryptable;
        return;
      }
      std::string plain;
      if (!DecryptPayload(rest, &plain)) {
        m_RequestKind = kRequestKindClear;
        m_ErrorCode = kErrorNoKeyOrUndecryptable;
        return;
      }
      m_Request = plain;
      return;
    }
    case 'A':
      m_RequestKind = kRequestKindCancel;
      return;
    case '0':
      m_ErrorCode = kErrorClearTextRequest;
      return;
    case '1':
      m_ErrorCode = kErrorOldClient;
      return;
    case 'E':
      m_ErrorCode = kErrorWeakEncryption;
      return;
    default:
      return;
  }
}

bool CElavonTran::ExtractKeyBlock(std::string& text, size_t from) {
  m_KeyBlock.clear();
  const size_t dc1 = text.find(kDC1, from);
  if (dc1 == std::string::npos) return false;
  const size_t dc2 = text.find(kDC2, dc1 + 1);
  if (dc2 == std::string::npos) return false;
  m_KeyBlock = text.substr(dc1 + 1, dc2 - dc1 - 1);
  text.erase(dc1, dc2 - dc1 + 1);
  return true;
}

bool CElavonTran::DecryptPayload(const std::string& hex, std::string* plain) {
  std::vector<uint8_t> blob;
  if (!KeyBlob(m_KeyBlock, &blob)) return false;
  return g_CryptoEngine.DecryptHexWithKeyBlob(blob.data(), blob.size(), hex, plain);
}

bool CElavonTran::EncryptResponse(std::string* hex, const std::string& plain) {
  std::vector<uint8_t> blob;
  if (!KeyBlob(m_KeyBlock, &blob)) return false;
  return g_CryptoEngine.EncryptWithKeyBlobToHex(blob.data(), blob.size(), hex, plain);
}
