#include "net/Codec.h"

#include <gtest/gtest.h>

#include <string>

namespace kova {
namespace {

struct Base64Case {
  std::string input;
  std::string expected;
};

// RFC 4648 section 10 vectors cover every padding length; the others catch sign and bit slips.
TEST(Base64, EncodesReferenceVectors) {
  const Base64Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"user:", "dXNlcjo="},
      {"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {std::string("\x00", 1), "AA=="},
      {std::string("\xff\xff\xff", 3), "////"},
      {std::string("\xfb\xef\xbe", 3), "++++"},
      {std::string("\x80\x00", 2), "gAA="},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EncodeBase64(c.input), c.expected) << "input size " << c.input.size();
}

TEST(Base64, LongInputStaysOnOneLine) {
  const std::string out57 = EncodeBase64(std::string(57, 'x'));
  EXPECT_EQ(out57.size(), 76u);
  const std::string out = EncodeBase64(std::string(1000, '\xA5'));
  EXPECT_EQ(out.size(), 4u * ((1000 + 2) / 3));
  EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kova
