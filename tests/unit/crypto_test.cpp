// The pin check over the crypto interface (platform/crypto.cpp), with the fake crypto.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/crypto.h"
#include "tests/unit/fake_crypto.h"

namespace vm {
namespace {

using test::FakeCrypto;

TEST(Sha256Matches, AcceptsOnlyTheSameDigestAndFailsClosed) {
  const std::string body = "prerequisite installer as served";
  const uint8_t* data = reinterpret_cast<const uint8_t*>(body.data());
  FakeCrypto crypto;
  Sha256Digest pinned;
  ASSERT_TRUE(crypto.sha256(data, static_cast<uint32_t>(body.size()), pinned));
  Sha256Digest lastByteOff = pinned;
  lastByteOff.bytes[kSha256Size - 1] ^= 0x80;
  const struct {
    const char* what;
    Sha256Digest expected;
    uint32_t length;
    bool fail;
    bool matches;
  } cases[] = {
      {"the same bytes", pinned, static_cast<uint32_t>(body.size()), false, true},
      {"a digest whose last byte differs", lastByteOff, static_cast<uint32_t>(body.size()), false,
       false},
      {"one byte fewer", pinned, static_cast<uint32_t>(body.size() - 1), false, false},
      {"a platform that cannot hash", pinned, static_cast<uint32_t>(body.size()), true, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.what);
    crypto.fail = row.fail;
    EXPECT_EQ(sha256Matches(crypto, data, row.length, row.expected), row.matches);
  }
}

}  // namespace
}  // namespace vm
