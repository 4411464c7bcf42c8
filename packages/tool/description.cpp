#include "packages/tool/description.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "app/fault_codes.h"
#include "app/text_helpers.h"
#include "flash/block_table.h"

namespace ostrel {

namespace {

struct BuildError {
  std::string text;
};

std::string utf8Of(const QJsonValue& v) {
  return v.toString().toStdString();
}

void setText(std::array<char, kFatTextSize>& field, const std::string& value, const char* name) {
  if (value.size() > kFatTextSize)
    throw BuildError{std::string(name) + " \"" + value + "\" is longer than 26 bytes"};
  setFatText(field, value);
}

// Catalogue fields of an entry; fields not given come from `base`.
FatEntry entryFrom(const QJsonObject& o, const FatEntry& base, int language) {
  FatEntry e = base;
  if (o.contains("kind")) e.kind = uint8_t(o["kind"].toInt(2));
  if (e.kind == 0) throw BuildError{"kind 0 is an empty slot"};
  if (o.contains("attribute")) e.attribute = uint8_t(o["attribute"].toInt());
  if (o.contains("brand")) setText(e.brand, utf8Of(o["brand"]), "brand");
  if (o.contains("version")) setText(e.version, utf8Of(o["version"]), "version");
  if (o.contains("versionExtra"))
    setText(e.versionExtra, utf8Of(o["versionExtra"]), "versionExtra");
  if (fatText(e.brand).empty()) throw BuildError{"an entry without a brand"};
  if (o.contains("path") || o.contains("pathEncoding")) {
    std::string path = utf8Of(o["path"]);
    if (!path.empty()) {
      const QStringList names = o["path"].toString().split('\\');
      if (names.size() > 4) throw BuildError{"path \"" + path + "\" has more than four levels"};
      for (const QString& n : names)
        if (n.isEmpty()) throw BuildError{"path \"" + path + "\" has an empty directory name"};
    }
    const QString encoding = o["pathEncoding"].toString("utf8");
    if (encoding == "legacy") {
      std::string legacy;
      if (!utf8ToLegacy(language, path, legacy))
        throw BuildError{"path \"" + path + "\" has no legacy form in the code page of language " +
                         std::to_string(language)};
      path = legacy;
    } else if (encoding != "utf8") {
      throw BuildError{"pathEncoding must be \"utf8\" or \"legacy\""};
    }
    const size_t limit = e.kind == 1 ? 26 : 94;
    if (path.size() > limit)
      throw BuildError{"path \"" + utf8Of(o["path"]) + "\" is longer than " +
                       std::to_string(limit) + " bytes"};
    const uint8_t byte0 = e.pathField[0];
    e.pathField.fill(0);
    e.pathField[0] = byte0;
    std::memcpy(e.pathField.data() + 1, path.data(), path.size());
  }
  return e;
}

SoftwareData dataOf(const QJsonObject& o, const FatEntry& entry, const QString& folder,
                    const DataOpener& open) {
  const std::string brand(fatText(entry.brand));
  if (o.contains("data") == o.contains("sectors"))
    throw BuildError{brand + ": give either \"data\" (a file) or \"sectors\" (a pattern)"};
  if (o.contains("data")) {
    QString file = o["data"].toString();
    if (QFileInfo(file).isRelative()) file = folder + "/" + file;
    SoftwareData data;
    std::string error;
    if (!open(file.toStdString(), data, error)) throw BuildError{error};
    return data;
  }
  const int sectors = o["sectors"].toInt(0);
  if (sectors < 1 || uint32_t(sectors) >= kLargestCartridgeSectors)
    throw BuildError{brand + ": \"sectors\" must be 1 to " +
                     std::to_string(kLargestCartridgeSectors - 1)};
  SoftwareData data = patternData(brand, uint32_t(sectors));
  // The base software's second sector is the catalogue block.
  if (fatText(entry.brand) == kObdiiText && sectors > 1)
    data.read = [pattern = std::move(data.read)](uint32_t k, std::span<uint8_t> out) {
      if (k != 1) return pattern(k, out);
      std::fill(out.begin(), out.end(), 0xFF);
      return true;
    };
  return data;
}

}  // namespace

std::optional<PackageIdentity> parseIdentity(const std::string& text) {
  PackageIdentity id{};
  size_t count = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    const std::string token = text.substr(i, j - i);
    if (count == id.size() || token.size() > 2 ||
        token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return std::nullopt;
    id[count++] = uint8_t(std::strtoul(token.c_str(), nullptr, 16));
    i = j;
  }
  if (count != id.size()) return std::nullopt;
  return id;
}

Description readDescription(const QByteArray& json, const QString& folder, int language,
                            const DataOpener& open) {
  Description d;
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
  if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
    d.error = parseError.errorString().toStdString();
    return d;
  }
  const QJsonObject root = doc.object();
  if (root.contains("identity")) {
    const auto id = parseIdentity(utf8Of(root["identity"]));
    if (!id) {
      d.error = "identity must be eight hex bytes separated by blanks";
      return d;
    }
    d.identity = *id;
  }
  try {
    // Counted as they come, so a long list stops at the catalogue's size.
    size_t entries = 0;
    auto count = [&entries] {
      if (++entries > kFatMaxEntries)
        throw BuildError{"more than " + std::to_string(kFatMaxEntries) + " catalogue entries"};
    };
    for (const QJsonValue& v : root["software"].toArray()) {
      const QJsonObject o = v.toObject();
      PackageSoftware s;
      FatEntry blank;
      blank.kind = 2;
      count();
      s.entry = entryFrom(o, blank, language);
      for (const QJsonValue& a : o["aliases"].toArray()) {
        count();
        s.aliases.push_back(entryFrom(a.toObject(), s.entry, language));
      }
      s.data = dataOf(o, s.entry, folder, open);
      d.software.push_back(std::move(s));
    }
  } catch (const BuildError& e) {
    d.error = e.text;
    d.software.clear();
    return d;
  }
  if (d.software.empty()) d.error = "no \"software\" listed";
  return d;
}

}  // namespace ostrel
