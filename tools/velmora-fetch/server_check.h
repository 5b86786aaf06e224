// velmora-fetch check: would the installer install from this download server?
//
// Asks for each of the six paths the installer asks for, with the installer's own downloadFile
// over the given network and buffer, and prints one line per path, then one per channel:
//
//   PATH: good|bad; download: ...; status: ...; length: ...; buffer: ...; coding: ...;
//         redirect: ...[; check: ...[; signature: ...]]
//       FINDING                  (check's findings of a package, indented by four blanks)
//   channel Live|Beta|Testing: installs | does not install: bad PATH[, PATH...]
//   channels: N of 3 install
//
// A path is good when downloadFile returns its body with a Content-Length the installer reads,
// without transfer or content coding and without a redirect, and (a package) when vmpkg check's
// verdict on the body is ok (signed with the key, when given). A channel installs when its
// package and all three prerequisite paths are good: the installer asks for one update variant
// or the other depending on the machine. See docs/net.md.
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
