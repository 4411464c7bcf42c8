// ostrel-qcimages DIR...: writes the quality-control reference images
// (QC_16M.HX, QC_8M.HX, QC_8M_OST3.HX) into each folder given.
#include <cstdio>
#include <string>

#include "app/file_io.h"
#include "flash/qc_reference_image.h"

int main(int argc, char** argv) {
  using namespace ostrel;
  if (argc < 2) {
    std::fprintf(stderr, "usage: ostrel-qcimages DIR...\n");
    return 2;
  }
  for (const QcReferenceImageLayout& layout : qcReferenceImageLayouts()) {
    const std::string text = sRecordText(qcReferenceImage(layout), layout.fileName);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    for (int i = 1; i < argc; ++i) {
      const std::string path = std::string(argv[i]) + "/" + std::string(layout.fileName);
      std::string error;
      if (!writeWholeFile(path, bytes, &error)) {
        std::fprintf(stderr, "ostrel-qcimages: %s: %s\n", path.c_str(), error.c_str());
        return 1;
      }
    }
  }
  return 0;
}
