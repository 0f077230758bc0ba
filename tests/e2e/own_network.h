// A network namespace of the end-to-end tests' own. The server takes machine-wide
// instance locks (abstract local sockets, one set per network namespace), so its
// tests could not run beside a server that already runs on the machine. A test
// binary that moves into a namespace of its own, with its loopback up, takes its
// locks there; the servers it starts inherit the namespace.
#pragma once

#include <string>

namespace e2e {

// Moves the calling process into a new network namespace with the loopback
// interface up: as root (or with CAP_NET_ADMIN) directly, otherwise inside a new
// user namespace that maps the caller's own user and group ids to themselves.
// Call while the process has one thread. False, with the reason in *why_not, when
// the machine allows neither; the process then stays where it was.
bool EnterOwnNetwork(std::string* why_not);

// Whether EnterOwnNetwork succeeded in this process (the static start-up of the
// e2e binaries calls it).
bool InOwnNetwork();

// Who holds the server's instance locks in the caller's network namespace: "" when
// neither is held, else one text per held name, naming the name and the holding
// process ("Global\KvrElavonTCPIP_SERVICE (pid 812, /opt/kvr/kvr-elavon-host)").
std::string RunningInstance();

}  // namespace e2e
