// The key containers on disk: one folder per container name under ContainerRoot(),
// holding the exchange key pair as the PEM file "exchange_key.pem" of mode 0600. The
// key file is only ever replaced whole (temporary file, fsync, rename), so handles in
// several threads or processes may share a container. The functions are stateless
// apart from the root override, which a mutex of this module guards.
#pragma once

#include <memory>
#include <string>

#include "platform/capi/capi.h"
#include "platform/capi/rsa_key.h"

namespace platform::capi::container {

inline constexpr char kExchangeKeyFile[] = "exchange_key.pem";

// A container name that can be a folder name: not empty, no '/', '\' or NUL, not "."
// or "..".
bool IsValidName(const std::string& name);

// The following return 0 or the error code for the caller's last error.
// Opens an existing container: its folder and its exchange key pair (null when it has
// none). NTE_BAD_KEYSET when the container is missing or its key file is unreadable.
DWORD Open(const std::string& name, std::string* folder, std::shared_ptr<const RsaKeyPair>* exchange);
// Creates an empty container (mode 0700), and the root when missing. NTE_EXISTS when
// it exists.
DWORD Create(const std::string& name, std::string* folder);
// Removes a container and everything in it. NTE_BAD_KEYSET when it is missing.
DWORD Delete(const std::string& name);
// Writes the pair as the container's key file, mode 0600, atomically.
DWORD SaveExchangeKey(const std::string& folder, const RsaKeyPair& key);

}  // namespace platform::capi::container
