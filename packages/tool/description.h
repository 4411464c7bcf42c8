// Build descriptions of ostrel-pkg: a JSON object with the package's
// identity and its software, each with catalogue fields and its data, a file
// or a generated pattern. Read into records the package builder lays out;
// no data is read here, only sized.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packages/package_builder.h"
#include "packages/package_format.h"

namespace ostrel {

// Opens a "data" file (its path as the description gives it, made absolute
// against the description's folder). False, with why, when it cannot be read.
using DataOpener =
    std::function<bool(const std::string& path, SoftwareData& data, std::string& error)>;

struct Description {
  std::string error;  // empty when read
  PackageIdentity identity{};
  std::vector<PackageSoftware> software;
};

Description readDescription(const QByteArray& json, const QString& folder, int language,
                            const DataOpener& open);

// "B B B B B B B B": eight hexadecimal bytes separated by blanks.
std::optional<PackageIdentity> parseIdentity(const std::string& text);

}  // namespace ostrel
