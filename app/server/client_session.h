// CClientSession: one point-of-sale client connection, on its own thread. It greets
// the client with the server's public key and a random challenge, checks the login,
// then reads requests (each ended by ETX, at most 32,767 bytes), dispatches each one
// (answered at once, or queued in the transaction queue for the Elavon interface) and,
// at least once a second, delivers the replies of its queued records that reached a
// final state.
//
// Session notices are RStream documents in clear (code, status, text, empty
// UserTraceData): 0 the greeting, 2000 login verified, 2002 login failed, 2003 going
// off line, 2004 disconnecting, 2006 refused (too many connections), 2009 password
// refused, 2010 challenge answer refused, 2020 no check block. Dispatch adds the
// interim "Queued:045:nnn" (0), 2007 invalid request and 4048 no more lanes.
//
// A reply counts as delivered only when every byte of it went out to a peer that is
// still connected. A reply that could not be sent whole (the client stopped reading
// for the send time-out, 30 s) ends the connection: nothing more is sent or taken on
// it, and every approval not yet delivered is reversed as below. An approved reversible transaction whose reply was not delivered
// is queued again as its reversal (code 50); when no reversal can be built nothing
// is sent to the host and the case is logged. The client of a reversed approval gets
// 1007.
//
// The process-wide objects it calls come in its CSessionContext (from the listener);
// it reaches none of them another way.
//
// Threads and locks: every operation runs on the connection's own thread and the
// session's fields are touched by no other thread; the session holds no lock of its
// own. It takes, one at a time and never nested, the locks of the objects of its
// context it calls: the transaction queue, the duplicate cache, the lane registry,
// the parameter store, the crypto engine and the logger's queue. It reads the
// listener's shutting-down flag without a lock.
#pragma once

#include <cstdint>
#include <string>

#include "app/server/client_listener.h"
#include "app/server/request_mask.h"
#include "app/server/session_context.h"
#include "app/server/ws_connection.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/elavon_tran.h"

class CParamSettings;

// The version tag of the program, as the ServerVersion reply carries it.
inline constexpr char kServerVersionTag[] = "ZW 5.18";

// The items of a login message (the bytes before its ETX), as CClientSession::Login
// reads them. Only the first of each separator counts.
struct CLoginFrame {
  // The challenge answer: the text between the first RS and the first US after it.
  // Without it nothing else is read.
  bool hasAnswer = false;
  std::string answerHex;
  // The cipher marker between the first FS and that RS ("M" selects key 4); empty
  // without an FS or when the FS comes after the RS.
  std::string marker;
  // The check block: the text between the first DC1 and the first DC2 after it.
  bool hasCheckBlock = false;
  // Its bytes, when it is an even number of fewer than 512 hex digits (decoded is
  // false otherwise, and the block is left undecoded).
  bool checkBlockDecoded = false;
  std::string checkBlockBytes;
};

class CClientSession : public WSConnection {
 public:
  static constexpr int kChallengeLength = 16;
  static constexpr int kMaxRequestLength = 32767;
  static constexpr int kReceiveChunk = 1023;

  // Login results.
  enum LoginResult : int {
    kLoginVerified = 0,
    kLoginLost = 1,           // time-out or connection lost
    kLoginBadPassword = 2,
    kLoginBadAnswer = 3,      // challenge answer refused
    kLoginNoCheckBlock = 4,
    kLoginGoingOffLine = 5,   // the client was already told (2003)
  };

  explicit CClientSession(const CSessionContext& context, const CClientTimings& timings = CClientTimings());
  ~CClientSession() override = default;

  // The whole life of a connection within the maximum: greeting, login, request
  // loop, disconnect notice.
  void OnConnect() override;
  // A connection over the maximum: greeting and login, then 2006.
  void OnRefused() override;

  // Reads the login message (up to its first ETX; at most 32,767 bytes, within the
  // login time) and checks it against challenge (changed: it ends encrypted). Bytes
  // after the ETX are kept for the request loop. *sessionText: the hex of the
  // decrypted check block.
  int Login(uint8_t* challenge, int length, std::string* sessionText);
  // The hex text decodes to exactly the count expected bytes.
  static bool CheckChallengeAnswer(const std::string& answerHex, const uint8_t* expected, int count);
  // Splits a login message (the bytes before its ETX) into its items. Pure; returns
  // frame->hasAnswer.
  static bool ParseLoginFrame(const std::string& message, CLoginFrame* frame);
  // The message ends with password and holds at least one byte before it.
  static bool EndsWithPassword(const std::string& message, const std::string& password);

  // Sends a complete frame and logs "[frame] sent to <peer>" (with " ** FAILED ** "
  // after it when not every byte went out); the log shows ReplyLogCopy of the frame.
  // Returns the send result (-1 failed).
  int SendAndLog(const std::string& text);
  // The same, but the logged copy reads "Warning" for every "Error".
  int SendAndLogAsWarning(const std::string& text);
  // 2004 "****Disconnecting****".
  void SendDisconnectNotice();

  // One request (the bytes before its ETX): builds the record, logs it with its card
  // data masked, and answers it (error, 4048, 2007, server command, duplicate) or
  // queues it, after the interim reply.
  void DispatchRequest(const std::string& text);
  // Sends the replies of this connection's records that reached a final state and
  // writes the outcome back into the queue.
  void DeliverResponses();
  // Removes this connection's finished records (state 7) from the queue and from the
  // pending ids.
  void PurgeFinished();
  // Sends the reply of a record the host answered and tells the journal what became
  // of it: delivered, or not delivered (an approval is then queued again as its
  // reversal where one can be built, else left owed to the journal).
  void DeliverAnswer(CElavonTran& record, CTranJournal& journal);
  // Delivers for up to the drain time (300 s) while ids are pending and the listener
  // is not shutting down, then drops (and logs) what is left. Always true.
  bool WaitForPending();
  // The ReverseWorker's no-reversal line for a record with a reversible code.
  void LogReversalNotSupported(const CElavonTran& record, const std::string& reason);

  // The replies to the server's own commands, encrypted with the request's key block
  // and framed; 4020 in clear (and request kind 2) when that fails. The overloads
  // without settings read a copy of g_ParamStore's.
  static std::string ServerVersion(CElavonTran& tran);
  static std::string GetCorvaneParams(CElavonTran& tran);
  static std::string GetCorvaneParams(CElavonTran& tran, const CParamSettings& settings);
  static std::string OfflineDecline(CElavonTran& tran);

  const std::string& GetPeerText() const { return m_PeerText; }
  const CTranIdArray& GetPendingIds() const { return m_PendingIds; }

 private:
  // The first steps of both handlers: peer text, 2003 when going off line, greeting,
  // login. The login result, or kLoginGoingOffLine when it ended before.
  int OpenAndLogIn(std::string* sessionText);
  // The notice of a login that failed (2002, 2009, 2010, 2020; none for 5).
  void SendLoginRefusal(int result);
  void RunRequestLoop();
  // Takes bytes of the request stream; dispatches each complete request.
  void TakeRequestBytes(const char* data, int count);
  // A session notice: FormatRStream(code, status, text, userTraceData, "") in clear.
  int SendNotice(int code, const char* status, const std::string& text,
                 const std::string& userTraceData = std::string());
  // Sends a reply to a peer that must still be connected: true when every byte went
  // out.
  bool DeliverReply(const std::string& reply);
  // Logs "<tag>[<RequestLogCopy of the request text>] from <peer>".
  void LogRequest(const CElavonTran& tran);
  // Sends a frame without logging it (the reply to a refused request that the refused
  // request log leaves out). Returns the send result (-1 failed).
  int SendUnlogged(const std::string& text);
  bool IsShuttingDown() const;
  // Logs the end of the connection when the last send ended it.
  void LogIfEnded();
  // The single-lane hold: waits while the last new authorisation is less than 30 s
  // old (250 ms steps), until the context's abort event is set or the listener shuts
  // down.
  void HoldSingleLane();
  // The context's logger: a session logs nowhere else.
  CLogger& Logger() const { return *m_Context.m_Logger; }

  const CSessionContext m_Context;
  const CClientTimings m_Timings;
  std::string m_PeerText;
  uint32_t m_IdleStart = 0;  // tick of the last dispatched request (or of the login)
  CTranList m_Snapshot;
  CTranIdArray m_PendingIds;
  std::string m_Request;     // the request being received
  std::string m_CarryOver;   // bytes that came after the login's ETX
  CRefusedRequestLog m_RefusedLog;  // how many refused requests are logged in full
};
