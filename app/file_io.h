// Whole-file reads and writes for the files the program keeps (read-back
// images, backups, dumps).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/byte_source.h"

namespace ostrel {

// A file written piece by piece into a new file beside path, which replaces
// path only once commit has made it whole, so a reader sees the old file or
// the whole new one, never a part. A link at path is replaced, never
// followed. The new file gets the permissions the umask gives. Left uncommitted
// (a failure, or the object's end), the new file is removed and path stays
// as it was.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();

  bool open(const std::string& path);
  // Appends bytes.
  bool write(std::span<const uint8_t> bytes);
  // Writes bytes at an offset (the file grows as needed).
  bool writeAt(uint64_t offset, std::span<const uint8_t> bytes);
  // Reads back bytes written before.
  bool readAt(uint64_t offset, std::span<uint8_t> bytes);
  // Flushes the file to the disk and puts it in path's place.
  bool commit();
  // Why the last step failed: path and the system's reason.
  const std::string& error() const { return error_; }

 private:
  bool fail();
  std::string path_, temp_, error_;
  int fd_ = -1;
  uint64_t end_ = 0;
  uint64_t flushed_ = 0;  // written back from the start up to here
};

// Writes data to a new file beside path and renames it over path, so a reader
// sees the old file or the whole new one, never a part; a link at path is
// replaced, never followed. The new file gets the permissions the umask gives. False
// (path untouched) when any step fails; error then says why.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> data,
                    std::string* error = nullptr);

enum class FileReadResult { Ok, Failed, TooLarge };

// Reads a regular file whole into out. Anything else (a folder, a device, a
// pipe that never ends) fails, and a file larger than maxSize is not read at
// all. On failure out is empty and error says why.
FileReadResult readWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize,
                             std::string* error = nullptr);

// A regular file read piece by piece with pread: one piece in memory at a
// time.
class FileSource final : public ByteSource {
 public:
  FileSource() = default;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override;
  // False (error says why) when path is no regular file or cannot be read.
  bool open(const std::string& path, std::string& error);
  uint64_t size() const override { return size_; }
  std::span<const uint8_t> fetch(uint64_t position, size_t count) override;
  bool failed() const override { return failed_; }

 private:
  int fd_ = -1;
  bool failed_ = false;
  uint64_t size_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;  // the file's bytes in buffer_: from start_, held_ of them
  size_t held_ = 0;
};

// Temporary files that SIGINT or SIGTERM must not leave behind: registered
// while they exist, removed by the handlers installInterruptCleanup sets up
// (each program's main calls it once). A handful at a time; paths longer
// than the system's limit are not registered.
void removeOnInterrupt(const std::string& path);
void forgetOnInterrupt(const std::string& path);
void installInterruptCleanup();

}  // namespace ostrel
