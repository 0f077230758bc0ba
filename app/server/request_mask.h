// The copy of a request text that goes to the log: card data overwritten with 'X',
// cut to a bounded length, line breaks escaped; and the limit on how many refused
// requests of one connection are logged in full.
#pragma once

#include <string>

// text with the value of every card item overwritten, item by item: the text is split
// at FS into items, an item's name is the text before its first '=' (less anything up
// to a control byte in it, so that an item right after the STX of a clear envelope
// counts too, and less the blanks around it), its value the rest up to the next FS or
// the end of the text. Every item of a card name is masked, however often and
// wherever it stands, whatever the other items are; a name that differs from a card
// name only in the case of its letters or in blanks around it ("track2", "AcctNo ")
// is masked as that name:
// - Track2: every character but the '=' characters and the four just before the first
//   '=' (without '=': the last four); Track1 likewise around its first '^';
// - AcctNo: every character but the last four (four or fewer stay);
// - ExpDate, CVVData, PINBlock, DervdKey, FleetPINBlock, FleetDervdKey, EMVData,
//   EncryptedBlock, EncryptedKey, RawTOAD: every character.
// Text that only holds an item name inside another item's value (a Memo reading
// "Track2=...") masks nothing and leaves nothing unmasked.
std::string MaskRequestForLog(const std::string& text);

// What the request line shows of a request text: MaskRequestForLog, then every card
// number that is left, in whatever item (MaskCardNumbers: the last four digits stay),
// cut to its first 4 KB with its full length stated, CR and LF escaped.
std::string RequestLogCopy(const std::string& text);

// How many requests refused at intake one connection logs in full. A peer that
// sends garbage sees every one answered; only the first kLoggedInFull of them, with
// their replies, are written to the log, then one notice, and at the end a count of
// those left out. One per connection; used on the connection's thread only.
class CRefusedRequestLog {
 public:
  static constexpr int kLoggedInFull = 10;

  // Counts one refused request; true when it and its reply are to be logged.
  [[nodiscard]] bool Admit();
  // True once, for the first request that Admit refused: the moment to log the notice.
  [[nodiscard]] bool FirstLeftOut() const { return m_LeftOut == 1; }
  int LeftOut() const { return m_LeftOut; }

 private:
  int m_Admitted = 0;
  int m_LeftOut = 0;
};
