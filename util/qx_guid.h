// GUID texts, bytes as hexadecimal text, and the holders that narrow 16-bit texts
// to 8-bit ones and widen them back, byte by byte. Everything here is reentrant and
// shares no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/qx_string.h"

namespace qx {

// A GUID in the platform layout. New GUIDs are random (UUID version 4, RFC 4122
// variant) from the kernel's getrandom.
struct Guid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};
};

// Fills guid with a new random GUID; false when the kernel gives no random bytes.
bool CreateGuid(Guid* guid);

// A new GUID as 36 lower-case hexadecimal characters in groups 8-4-4-4-12 joined
// by '-', no braces; the empty text when no GUID can be made. Never throws.
qxString CreateGuidString();

// open, the groups in upper-case hexadecimal joined by separator, close; a NUL
// character contributes nothing at its places (three NULs give 32 digits).
// Throws qxException("Could not convert a GUID into a String.") when no GUID can
// be made.
qxString CreateFormattedGuid(char open, char close, char separator);

// target becomes two upper-case hexadecimal digits per byte, high nibble first;
// a null pointer or a count of 0 leaves it empty.
void BytesToHexText(const void* bytes, size_t count, qxString& target);

}  // namespace qx

// A narrow copy of a 16-bit text: the low byte of each character, then a NUL.
// A null text gives a null buffer and length 0, as does a failed allocation.
// Not copyable; used as a short-lived local.
class qxWideToNarrow {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);
  // length npos: up to the wide NUL; an explicit length copies exactly that many
  // characters, NULs included.
  explicit qxWideToNarrow(const char16_t* text, size_t length = npos);
  qxWideToNarrow(const qxWideToNarrow&) = delete;
  qxWideToNarrow& operator=(const qxWideToNarrow&) = delete;
  ~qxWideToNarrow();

  const char* GetText() const { return m_Text; }
  size_t GetLength() const { return m_Length; }

 private:
  char* m_Text = nullptr;
  size_t m_Length = 0;
};

// A 16-bit copy of an 8-bit text: each byte zero-extended, then a wide NUL.
// A null text gives a null buffer and length 0, as does a failed allocation.
// Not copyable; used as a short-lived local.
class qxNarrowToWide {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);
  explicit qxNarrowToWide(const char* text, size_t length = npos);
  qxNarrowToWide(const qxNarrowToWide&) = delete;
  qxNarrowToWide& operator=(const qxNarrowToWide&) = delete;
  ~qxNarrowToWide();

  const char16_t* GetText() const { return m_Text; }
  size_t GetLength() const { return m_Length; }

 private:
  char16_t* m_Text = nullptr;
  size_t m_Length = 0;
};
