// Values to bytes and back.
#include "estimation/byte_record.h"

#include <cstring>

namespace vorn {

void ByteWriter::Raw(const void* value, std::size_t size) { bytes.append(static_cast<const char*>(value), size); }

void ByteWriter::Text(const std::string& text) {
  U64(text.size());
  bytes.append(text);
}

void ByteWriter::Doubles(const std::vector<double>& values) {
  U64(values.size());
  if (!values.empty()) Raw(values.data(), values.size() * sizeof(double));
}

void ByteWriter::Bytes(const std::vector<std::uint8_t>& values) {
  U64(values.size());
  if (!values.empty()) Raw(values.data(), values.size());
}

bool ByteReader::Take(void* value, std::size_t size) {
  if (failed || bytes_.size() - next_ < size) {
    failed = true;
    std::memset(value, 0, size);
    return false;
  }
  std::memcpy(value, bytes_.data() + next_, size);
  next_ += size;
  return true;
}

std::size_t ByteReader::Count(std::size_t itemSize) {
  const std::uint64_t count = U64();
  if (failed || count > (bytes_.size() - next_) / itemSize) {
    failed = true;
    return 0;
  }
  return static_cast<std::size_t>(count);
}

std::string ByteReader::Text() {
  const std::size_t size = Count(1);
  std::string text(size, '\0');
  if (size > 0) Take(text.data(), size);
  return text;
}

std::vector<double> ByteReader::Doubles() {
  std::vector<double> values(Count(sizeof(double)));
  if (!values.empty()) Take(values.data(), values.size() * sizeof(double));
  return values;
}

std::vector<std::uint8_t> ByteReader::Bytes() {
  std::vector<std::uint8_t> values(Count(1));
  if (!values.empty()) Take(values.data(), values.size());
  return values;
}

}  // namespace vorn
