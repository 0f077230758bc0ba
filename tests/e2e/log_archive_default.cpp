// Linked into every e2e test binary: their servers' logs and the secrets they send
// go to the build's archive folder, for the log scan that runs after them.
#include "tests/e2e/e2e_support.h"

namespace {

const bool g_archive_set = (e2e::SetLogArchiveFolder(KVR_E2E_LOG_ARCHIVE_DEFAULT), true);

}  // namespace
