// velmora-fetch check: would the installer install from this download server? Asks for each
// of the six paths the installer asks for with its own downloadFile and prints one line per
// path (and check's findings on a package, indented), then one per channel and a total (the
// format: docs/net.md). A channel installs when its package and all three prerequisite paths
// are good: the installer asks for one update variant or the other depending on the machine.
#pragma once

#include <cstdint>

#include "net/socket.h"
#include "net/system_request.h"
#include "platform/crypto.h"

namespace vm {

struct ServerCheck {
  Endpoint endpoint;
  const RsaPublicKey* key = nullptr;  // check the packages' signatures with it, or null
  Crypto* crypto = nullptr;           // for the key
  // The system transport's network when the check goes through it (the network given to
  // checkServer), so that a request refused before any response (a certificate, a proxy) is
  // named with the stack's code and words; null for the socket client.
  const SystemNetwork* system = nullptr;
  const char* (*systemErrorText)(int32_t code) = nullptr;
};

// Runs the check and prints its report on stdout. `buffer` holds kDownloadBufferSize bytes.
// Returns 0 when every channel installs, else 1.
int checkServer(Network& network, uint8_t* buffer, const ServerCheck& check);

}  // namespace vm
