// What the configuration-service request says about this installation:
// - GetDeviceId: the device id the launcher gave on the command line when the
//   launcher started the program, else the installation id. A device id that is
//   empty or holds a byte below 0x20 (FS among them, which would cut the request's
//   fields) counts as absent.
// - GetInstallationId: a random id made at the first call and kept in the profile
//   (section "Settings", entry "InstallationId"), the same on every later call and
//   every later run.
// - GetMachineId: the machine's host name (bytes 0x21..0x7E only, "UNKNOWN" when
//   there is none).
// The launch fields belong to the application object, which registers a reader for
// them at start-up (SetLaunchIdentityReader); until one is registered the program
// counts as not started by the launcher.
//
// Thread safety: every function may be called from any thread. The reader is held
// in an atomic pointer; the installation id is made under a lock of this module's
// own, which takes the profile's own lock inside it.
#pragma once

#include <string>

namespace platform::fs {
class Profile;
}

// The application object's launch fields, as GetDeviceId reads them.
struct CLaunchIdentity {
  bool startedByLauncher = false;  // m_StartedByLauncher
  std::string deviceId;            // m_DeviceId
};
using LaunchIdentityReader = CLaunchIdentity (*)();

// Registers the reader of the application object's launch fields (nullptr: none).
void SetLaunchIdentityReader(LaunchIdentityReader reader);

std::string GetDeviceId();
// The rule of GetDeviceId on given launch fields and installation id.
std::string ChooseDeviceId(const CLaunchIdentity& launch, const std::string& installationId);

// The installation id of the process's profile, or of the given one.
std::string GetInstallationId();
std::string GetInstallationId(platform::fs::Profile& profile);

std::string GetMachineId();
