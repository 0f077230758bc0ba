// The ASCII control characters that frame and separate the server's messages, defined
// once for every module of the server:
//   kSTX, kETX  start and end of a framed text: the client's request and reply, the
//               Elavon host message, the dial-line frame
//   kDC1, kDC2  open and close the key block a client request carries (and the public
//               key text of the login)
//   kFS         between the items of a TStream, the fields of a client reply frame,
//               the subfields of an Elavon field, the records of the configuration
//               service and the columns of the lanes file
//   kGS         before every field of an Elavon host message
//   kRS, kUS    the login greeting's parts and the management pipe's records (RS) and
//               lines (US)
//
// Plain char constants, usable in constant expressions and from any thread. For a
// text, append them (text += kFS) or build one with std::string(1, kFS).
#pragma once

inline constexpr char kSTX = '\x02';
inline constexpr char kETX = '\x03';
inline constexpr char kDC1 = '\x11';
inline constexpr char kDC2 = '\x12';
inline constexpr char kFS = '\x1C';
inline constexpr char kGS = '\x1D';
inline constexpr char kRS = '\x1E';
inline constexpr char kUS = '\x1F';
