// isAcceptedRsaKey (platform/crypto.cpp): the one key rule of both crypto adapters and the
// tools' key reader, which cmake/release_trust.cmake applies at configure time too.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"

namespace vm {
namespace {

TEST(IsAcceptedRsaKey, TakesWhatTheBuildTakesAndNothingElse) {
  const struct {
    const char* what;
    uint32_t bytes;
    uint8_t first;
    uint32_t exponent;
    bool accepted;
  } cases[] = {
      {"2048 bits, 65537", 256, 0xC1, 65537, true},
      {"4096 bits, 3", 512, 0x80, 3, true},
      {"2040 bits", 255, 0xC1, 65537, false},
      {"4104 bits", 513, 0xC1, 65537, false},
      {"2047 bits in 256 bytes (not whole bytes)", 256, 0x7F, 65537, false},
      {"an even exponent", 256, 0xC1, 65536, false},
      {"an exponent of 1", 256, 0xC1, 1, false},
      {"no exponent", 256, 0xC1, 0, false},
  };
  for (const auto& row : cases) {
    const std::string modulus = std::string(1, static_cast<char>(row.first)) +
                                std::string(row.bytes - 1, '\x5A');
    const RsaPublicKey key{reinterpret_cast<const uint8_t*>(modulus.data()), row.bytes,
                           row.exponent};
    EXPECT_EQ(isAcceptedRsaKey(key), row.accepted) << row.what;
  }
}

}  // namespace
}  // namespace vm
