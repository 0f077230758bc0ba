// Short dial timings for the tests that dial the fake modem: its replies come at
// once, so a wait of a second or so is plenty and a lost reply is seen quickly.
#pragma once

#include "host/dial/dial_backup.h"
#include "host/dial/serial_port.h"

namespace dial_test {

// Shortens the modem command waits, the call's answer waits and the port's line
// pauses in *timeouts and *port_timeouts; their other members are left as they are.
inline void SetFastDialTimings(CDialTimeouts* timeouts, CSerialPortTimeouts* port_timeouts) {
  timeouts->m_InitReplyMs = 500;
  timeouts->m_DialReplyMs = 1000;
  timeouts->m_EnqMs = 500;
  timeouts->m_SendMs = 500;
  timeouts->m_AnswerMs = 1500;
  timeouts->m_PassMs = 10;
  port_timeouts->m_GuardMs = 20;
  port_timeouts->m_DtrOkMs = 300;
  port_timeouts->m_HangUpOkMs = 300;
}

}  // namespace dial_test
