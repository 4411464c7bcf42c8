// The check for the one USB serial driver version the module's link does not
// work with, and its replacement. Only hosts of the NT family run it; on this
// platform the driver file never exists and the normal start follows.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ostrel {

// UTF-16LE "FileVersion", two NUL characters, "5.1.2600.5512": 52 bytes.
extern const std::array<uint8_t, 52> DriverVersionSignature;

// Scans from the start; after a partial match the scan resumes with the byte
// after the mismatching one (it never steps back).
bool containsDriverSignature(std::span<const uint8_t> file);

// windir + "\system32\drivers\usbser.sys" and the cache copy's path, as the
// host writes them (the doubled separator of the cache path included).
std::string installedDriverPath(const std::string& windir);
std::string cachedDriverPath(const std::string& windir);

// True when the installed driver exists and carries the signature.
bool isOldDriverInstalled(const std::string& windir);

// Writes image to tempFile, then copies it over the cache copy (result
// ignored) and over the installed driver. An empty image (a build that ships
// no driver) writes nothing, so the temporary file is missing and the result
// is false, as for a failed write. message receives the text to show, if any.
bool replaceDriver(const std::string& windir, std::span<const uint8_t> image,
                   const std::string& tempFile, std::string& message);

// The driver image built into this program: none on this platform.
std::span<const uint8_t> builtInDriverImage();

}  // namespace ostrel
