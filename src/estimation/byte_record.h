// Values turned into bytes and back, for what the ranks of one fit exchange: doubles by their
// bits, so a value read back is the value written, NaN and signed zero included; texts and arrays
// with their lengths. Both ends are the same build, so the bytes are in the machine's own order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

class ByteWriter {
 public:
  void U8(std::uint8_t value) { bytes.push_back(static_cast<char>(value)); }
  void Bool(bool value) { U8(value ? 1 : 0); }
  void U32(std::uint32_t value) { Raw(&value, sizeof value); }
  void I32(std::int32_t value) { Raw(&value, sizeof value); }
  void U64(std::uint64_t value) { Raw(&value, sizeof value); }
  void Double(double value) { Raw(&value, sizeof value); }
  void Text(const std::string& text);
  void Doubles(const std::vector<double>& values);
  void Bytes(const std::vector<std::uint8_t>& values);

  std::string bytes;

 private:
  void Raw(const void* value, std::size_t size);
};

// Reads what a ByteWriter wrote, in the same order. Reading past the end, or a length longer than
// what is left, sets `failed` and gives zeros: the caller checks it once at the end.
class ByteReader {
 public:
  explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}
  std::uint8_t U8() { return Scalar<std::uint8_t>(); }
  bool Bool() { return U8() != 0; }
  std::uint32_t U32() { return Scalar<std::uint32_t>(); }
  std::int32_t I32() { return Scalar<std::int32_t>(); }
  std::uint64_t U64() { return Scalar<std::uint64_t>(); }
  double Double() { return Scalar<double>(); }
  std::string Text();
  std::vector<double> Doubles();
  std::vector<std::uint8_t> Bytes();
  bool AtEnd() const { return next_ == bytes_.size(); }

  bool failed = false;

 private:
  bool Take(void* value, std::size_t size);
  template <typename T>
  T Scalar() {
    T value;
    Take(&value, sizeof value);
    return value;
  }
  // A count of items of `itemSize` bytes that the rest can hold, or 0 after setting `failed`.
  std::size_t Count(std::size_t itemSize);

  const std::string& bytes_;
  std::size_t next_ = 0;
};

}  // namespace vorn
