// How long the download client waits for the network before it gives up. A server or a proxy
// that stops answering must end the run, not leave the window open for ever. Both network
// adapters (Winsock for the installer, BSD sockets for the host tools) apply these values.
#pragma once

#include <cstdint>

namespace vm {

// Connecting to the download server, name lookup excluded.
constexpr uint32_t kConnectTimeoutMilliseconds = 30'000;
// Between two received pieces of a response: no byte for this long ends the download like a
// failed receive.
constexpr uint32_t kReceiveTimeoutMilliseconds = 60'000;
// Handing the request to the network.
constexpr uint32_t kSendTimeoutMilliseconds = 60'000;

}  // namespace vm
