// The error codes a record leaves in CElavonTran::m_ErrorCode for its client, other
// than those of request parsing (TStreamParseError in tstream_parser.h). Clients
// branch on these codes; each has its reply text in the error reply's table
// (error_reply.cpp), except the two whose text comes from the record.
#pragma once

enum ClientErrorCode : int {
  kErrorInitial = 1000,               // a new record's code, until something sets one
  kErrorGeneralFailure = 1001,        // "General Failure.": the request can go no further
  kErrorResponseTimeout = 1007,       // "Timeout on Response": the host's answer never came
  kErrorUserAbort = 1010,             // "User Abort.": the client cancelled the request
  kErrorAnswerTooShort = 4001,        // Elavon's answer is too short to read
  kErrorNoParser = 4002,              // Elavon's answer is of no transaction type known
  kErrorHostText = 4003,              // the text is the record's m_HostErrorText
  kErrorWeakEncryption = 4004,        // a request in the weak encryption, which is refused
  kErrorClearTextRequest = 4005,      // a request in clear, which is refused
  kErrorOldClient = 4006,             // a request framed by a client too old to serve
  kErrorUnparseable = 4007,           // a fixed prefix, then the record's m_HostErrorText
  kErrorEnvelopeUndecodable = 4010,   // "Unrecognized Request Format."
  kErrorNoKeyOrUndecryptable = 4011,  // "Error occured while decrypting request."
  kErrorCannotEncrypt = 4020,         // the reply could not be encrypted: it goes in clear
  kErrorAuthThreadFailed = 4024,      // the host exchange's worker could not be started
  kErrorShuttingDown = 4027,          // no host exchange can start: the server is shutting down
  kErrorUndefined = 8888,             // what a code without a text becomes in its reply
};
