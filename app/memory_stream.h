// A growable byte buffer with a position: the main form's BlankBlock,
// MappingImage, FlashImage, ReadBuffer, SaveBuffer and PackageImage.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace ostrel {

class MemoryStream {
 public:
  size_t Size() const { return data_.size(); }
  size_t Position() const { return position_; }
  void Seek(size_t position) { position_ = std::min(position, data_.size()); }
  void SetSize(size_t size) {
    data_.resize(size);
    position_ = std::min(position_, size);
  }
  // Takes the bytes over without copying; position 0.
  void Assign(std::vector<uint8_t>&& bytes) {
    data_ = std::move(bytes);
    position_ = 0;
  }
  // Hands the bytes out without copying, leaving the stream empty.
  std::vector<uint8_t> Take() {
    position_ = 0;
    return std::exchange(data_, {});
  }
  void Clear() {
    data_.clear();
    data_.shrink_to_fit();
    position_ = 0;
  }
  // Writes at the position, growing the stream as needed.
  void Write(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, bytes, count);
    position_ += count;
  }
  void Write(std::span<const uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
  // Reads up to count bytes from the position; returns how many were read.
  size_t Read(uint8_t* out, size_t count) {
    size_t n = std::min(count, data_.size() - position_);
    if (n) std::memcpy(out, data_.data() + position_, n);
    position_ += n;
    return n;
  }
  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  std::span<const uint8_t> Bytes() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  size_t position_ = 0;
};

}  // namespace ostrel
