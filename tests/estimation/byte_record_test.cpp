#include "estimation/byte_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vorn {
namespace {

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(ByteRecordTest, ValuesComeBackBitForBitInTheirOrder) {
  const double values[] = {0.1, -0.0, std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::infinity(), std::nan("7")};
  ByteWriter out;
  for (double v : values) out.Double(v);
  out.Text(std::string("a\0b", 3));
  out.Text("");
  out.Doubles({});
  out.Doubles({1.5, -2.25});
  out.Bytes({0, 255});
  out.U32(4000000000U);
  out.I32(-1);
  out.U64(1ULL << 40);
  out.Bool(true);
  // 5 doubles, text 8 + 3, text 8, 8, 8 + 16, 8 + 2, 4, 4, 8, 1.
  EXPECT_EQ(out.bytes.size(), 5 * 8U + 11 + 8 + 8 + 24 + 10 + 4 + 4 + 8 + 1);

  ByteReader in(out.bytes);
  for (double v : values) EXPECT_EQ(Bits(in.Double()), Bits(v));
  EXPECT_EQ(in.Text(), std::string("a\0b", 3));
  EXPECT_EQ(in.Text(), "");
  EXPECT_TRUE(in.Doubles().empty());
  EXPECT_EQ(in.Doubles(), (std::vector<double>{1.5, -2.25}));
  EXPECT_EQ(in.Bytes(), (std::vector<std::uint8_t>{0, 255}));
  EXPECT_EQ(in.U32(), 4000000000U);
  EXPECT_EQ(in.I32(), -1);
  EXPECT_EQ(in.U64(), 1ULL << 40);
  EXPECT_TRUE(in.Bool());
  EXPECT_TRUE(in.AtEnd());
  EXPECT_FALSE(in.failed);
}

TEST(ByteRecordTest, ACutRecordFailsInsteadOfReadingBeyondItsEnd) {
  ByteWriter out;
  out.Doubles({1, 2, 3});
  const std::string cut = out.bytes.substr(0, out.bytes.size() - 1);
  ByteReader in(cut);
  EXPECT_TRUE(in.Doubles().empty());  // the count promises more than is left
  EXPECT_TRUE(in.failed);
  EXPECT_EQ(in.Double(), 0.0);

  const std::string three("abc");
  ByteReader shortOne(three);
  EXPECT_EQ(shortOne.U32(), 0U);
  EXPECT_TRUE(shortOne.failed);
}

}  // namespace
}  // namespace vorn
