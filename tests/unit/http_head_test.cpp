// findHeadField (net/http_head.cpp): the fields velmora-fetch check reads, spelled as servers
// and proxies spell them.
#include <gtest/gtest.h>

#include <string>

#include "net/http_head.h"

namespace vm {
namespace {

TEST(FindHeadField, FindsTheFirstFieldOfANameInAnyCaseAndTrimsItsValue) {
  const std::string head =
      "HTTP/1.1 302 location: status\r\nServer: x\r\nLOCATION \t:  /there \r\n"
      "Location: /second\r\nContent-Encoding:gzip\r\n";
  const struct {
    const char* name;
    const char* value;  // null: not found
  } cases[] = {
      {"location", "/there"},       // not the status line's text; blanks before the colon
      {"content-encoding", "gzip"},  // no blank after the colon
      {"server", "x"},
      {"transfer-encoding", nullptr},
      {"serve", nullptr},  // a prefix of a name is not the name
  };
  const auto* bytes = reinterpret_cast<const uint8_t*>(head.data());
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const HeadField field = findHeadField(bytes, static_cast<int32_t>(head.size()), row.name);
    ASSERT_EQ(field.found(), row.value != nullptr);
    if (row.value != nullptr) {
      EXPECT_EQ(head.substr(field.valueAt, field.valueLength), row.value);
    }
  }
}

}  // namespace
}  // namespace vm
