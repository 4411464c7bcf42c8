// Whole-file reads and writes for the files the program keeps (read-back
// images, kept sectors, backups, dumps).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ostrel {

// Writes data to a new file beside path and renames it over path, so a reader
// sees the old file or the whole new one, never a part; a link at path is
// replaced, never followed. The new file is readable by its owner only. False
// (path untouched) when any step fails; error then says why.
bool writeWholeFile(const std::string& path, std::span<const uint8_t> data,
                    std::string* error = nullptr);

}  // namespace ostrel
