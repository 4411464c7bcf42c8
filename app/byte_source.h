// Where a reader takes a file's bytes from: memory, or a file read piece by
// piece (app/file_io.h), so a large file never has to sit in memory whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Up to count bytes from position (fewer only at the end, or when the
  // source can no longer be read), valid until the next call.
  virtual std::span<const uint8_t> fetch(uint64_t position, size_t count) = 0;
  // A fetch came back short because the source could not be read (not
  // because it ended): what was read is no whole file.
  virtual bool failed() const { return false; }
};

class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  std::span<const uint8_t> fetch(uint64_t position, size_t count) override {
    if (position >= bytes_.size()) return {};
    return bytes_.subspan(size_t(position),
                          size_t(std::min<uint64_t>(count, bytes_.size() - position)));
  }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace ostrel
