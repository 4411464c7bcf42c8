// Whole-file reads and writes for the files the program keeps (read-back
// images, backups, dumps).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ostrel {

// Writes data to a new file beside path and renames it over path, so a reader
// sees the old file or the whole new one, never a part; a link at path is
// replaced, never followed. The new file is readable by its owner only. False
// (path untouched) when any step fails; error then says why.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> data,
                    std::string* error = nullptr);

enum class FileReadResult { Ok, Failed, TooLarge };

// Reads a regular file whole into out. Anything else (a folder, a device, a
// pipe that never ends) fails, and a file larger than maxSize is not read at
// all. On failure out is empty and error says why.
FileReadResult readWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize,
                             std::string* error = nullptr);

// Temporary files that SIGINT or SIGTERM must not leave behind: registered
// while they exist, removed by the handlers installInterruptCleanup sets up
// (each program's main calls it once). A handful at a time; paths longer
// than the system's limit are not registered.
void removeOnInterrupt(const std::string& path);
void forgetOnInterrupt(const std::string& path);
void installInterruptCleanup();

}  // namespace ostrel
