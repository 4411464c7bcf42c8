// Loading files from the main form: the LOAD buttons, the open dialog and the
// three converters (package, S-record, binary). The formats live in
// package_format.cpp and flash_image.cpp; this file moves bytes between
// files, streams, the LoadedCatalogue and the BlockTable, and reports.
#include <algorithm>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "app/file_io.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "packages/file_kind.h"
#include "packages/flash_image.h"
#include "packages/package_format.h"

namespace ostrel {

namespace {

// Message numbers of loading.
// The dialog's filter index: what the chosen files are.
constexpr int kFilterPackage = 1, kFilterSRecord = 2, kFilterBinary = 3;

// The largest file each kind may be; larger ones are refused unread. A
// binary file is the image itself.
uint64_t largestFile(int filter, uint64_t cartridgeBytes) {
  if (filter == kFilterPackage) return kLargestPackageBytes;
  if (filter == kFilterSRecord) return kLargestSRecordBytes;
  return cartridgeBytes;
}

}  // namespace

void TForm_MAIN::initLoadHandlers() {
  ClickHandlers["Button_LoadFile"] = [this] { Button_LoadFileClick(); };
  ClickHandlers["Button_Cus_LoadFile"] = [this] { Button_Cus_LoadFileClick(); };
  ClickHandlers["Button2"] = [this] { Button2Click(); };
}

void TForm_MAIN::Button_LoadFileClick() {
  Function_Load();
}
void TForm_MAIN::Button_Cus_LoadFileClick() {
  Function_Load();
}
void TForm_MAIN::Button2Click() {
  Function_Load();
}

// ---------------------------------------------------------------- the dialog

void TForm_MAIN::Function_Load() {
  // A device notice during the load waits until it is done (a detection
  // would empty the streams under it), and a second LOAD is not started.
  if (OperationRunning) return;
  OperationRunning = true;

  Button_LoadFile.enabled = false;
  Button_Cus_LoadFile.enabled = false;
  Memo1_Lines_Add("");
  Memo1.fontColor = Colors::kWindowText;

  // Back to "load a file": step 2 and no flash sequence to run.
  auto backToStep2 = [this] {
    SetStepPanel(2);
    Button_Cus_LoadFile.enabled = true;
    Button_Copy2Card.enabled = false;
    Button1.enabled = false;
    for (Button* b : {&Button_Program, &Button_Verify, &Button_CHECK, &Button_Auto})
      b->enabled = false;
    for (ProgressBar* p : {&ProgressBar1, &ProgressBar_CHECK, &ProgressBar3}) p->reset();
  };
  auto done = [this] {
    Button_LoadFile.enabled = true;
    Button_Cus_LoadFile.enabled = true;
    OperationRunning = false;
  };

  OpenFileRequest request;
  request.filter = OpenDialogFilter;
  request.filterIndex = OpenDialogFilterIndex;
  request.initialDir = OpenDialogInitialDir;
  request.multiSelect = true;
  const OpenFileResult chosen = host.openFileDialog(request);
  if (!chosen.accepted || chosen.files.empty()) {
    ReportCancel(Msg::LoadCancel);
    if (!LoadedFiles) backToStep2();
    done();
    return;
  }
  // The customer build offers packages only; engineering builds three kinds.
  OpenDialogFilterIndex =
      BuildMode == CustomerBuild ? kFilterPackage
      : chosen.filterIndex >= kFilterPackage && chosen.filterIndex <= kFilterBinary
          ? chosen.filterIndex
          : kFilterPackage;

  for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4, &ProgressBar_PROG,
                         &ProgressBar2, &ProgressBar_CHECK, &ProgressBar3})
    p->reset();

  int loaded = 0;
  if (OpenDialogFilterIndex == kFilterPackage) {
    for (const std::string& file : chosen.files) {
      if (Function_LoadFromFile(file)) ++loaded;
      if (ImageKind == 1) break;  // an image the content told comes alone
    }
  } else if (Function_LoadFromFile(chosen.files.front())) {
    loaded = 1;
  }

  if (loaded > 0) {
    if (ImageKind == 0) {
      ItemFAT_IN();
    } else {
      // A whole-flash image replaces the plan: no package is selected, and
      // the FAT change an installation planned is gone with the old image.
      FatDirty = false;
      ListView_FAT_IN.clear();
      StaticText_TotalSelectSpace.text.clear();
      LoadedCatalogue.header.entryCount = 0;
      ItemFAT_IN();
      ItemFAT_OUT();
      for (Button* b : {&Button_Program, &Button_Verify, &Button_CHECK, &Button_Auto})
        b->enabled = true;
    }
    for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4}) p->toMax();
    ReportSuccess(Msg::LoadOk, false);
    LoadedFiles = true;
    SetStepPanel(3);
    Button_Cus_LoadFile.enabled = false;
    Button_Copy2Card.enabled = true;
    Button1.enabled = true;
  } else {
    for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4}) p->reset();
    ReportFailure(Msg::LoadFail, {}, false);
    if (!LoadedFiles) {
      StaticText_Software_ID.text.clear();
      Edit_FileName.text.clear();
      StaticText_PROG_Size.text = "00000000";
      StaticText_Checksum.text = "00000000";
      backToStep2();
    }
  }
  Memo1_Lines_Add(std::to_string(loaded) + " files load ok!!");
  done();
}

// ---------------------------------------------------------------- one file

uint64_t TForm_MAIN::CartridgeBytes() const {
  // Without a module nothing is loaded to be written; the largest cartridge
  // still bounds what a file may ask for.
  const uint32_t sectors = SectorCount ? std::min<uint32_t>(SectorCount, kLargestCartridgeSectors)
                                       : kLargestCartridgeSectors;
  return uint64_t(sectors) * kSectorSize;
}

bool TForm_MAIN::Function_LoadFromFile(const std::string& fileName) {
  ImageKind = 0;
  int filter = OpenDialogFilterIndex;
  // Packages and S-records are read a piece at a time as they are
  // converted; a binary file is its image and is read whole.
  FileSource file;
  std::vector<uint8_t> bytes;
  std::string error;
  FileReadResult read = FileReadResult::Ok;
  // The content tells an image chosen under the package filter: the
  // engineering builds read it as what it is, the customer build says so.
  bool notAPackage = false;
  int loadedAs = 0;  // the filter the content chose instead, 0 for none
  if (filter != kFilterBinary && !file.open(fileName, error)) read = FileReadResult::Failed;
  if (read == FileReadResult::Ok && filter == kFilterPackage) {
    const FileKind kind = sniffFileKind(file.fetch(0, kSniffBytes));
    if (kind != FileKind::Package) {
      notAPackage = BuildMode == CustomerBuild;
      if (BuildMode != CustomerBuild)
        filter = loadedAs = kind == FileKind::SRecord ? kFilterSRecord : kFilterBinary;
    }
  }
  const uint64_t limit = largestFile(filter, CartridgeBytes());
  if (read == FileReadResult::Ok && filter == kFilterBinary) {
    read = readWholeFile(fileName, bytes, limit, &error);
  } else if (read == FileReadResult::Ok && file.failed()) {
    error = fileName + ": cannot be read";
    read = FileReadResult::Failed;
  } else if (read == FileReadResult::Ok && file.size() > limit) {
    error = fileName + ": larger than " + std::to_string(limit) + " bytes";
    read = FileReadResult::TooLarge;
  }
  if (read != FileReadResult::Ok) {
    // The file and why go to the operator log, where the window's user and
    // the command line both find them.
    Memo2_Lines_Add("", error);
    Memo1_Lines_Add(error);
    // The reason without the name the item already carries.
    const std::string named = fileName + ": ";
    LastOutcome.notDoneItem(fileName,
                            error.rfind(named, 0) == 0 ? error.substr(named.size()) : error);
    ReportFailure(Msg::LoadFail,
                  read == FileReadResult::TooLarge ? FaultCode::k0018 : FaultCode::k0010, false);
    return false;
  }
  ShowStatus1(Prompt(Msg::Loading));
  Memo1_Lines_Add(fileName);
  if (loadedAs)
    Memo1_Lines_Add(std::string(extraText(
        loadedAs == kFilterSRecord ? ExtraText::LoadedAsSRecord : ExtraText::LoadedAsBinary,
        Language)));

  MemoryStream image;
  const uint16_t entriesBefore = LoadedCatalogue.header.entryCount;
  if (filter == kFilterPackage) {
    image = BNtoBIN(file);
  } else if (filter == kFilterSRecord) {
    ImageKind = 1;
    image = HexToBin_Conv(file);
  } else {
    ImageKind = 1;
    MemoryStream source;
    source.Assign(std::move(bytes));
    if (Bin_Conv(source)) image = std::move(source);
  }

  // Whole blocks, so the next package's entries address their own data.
  const size_t packageBefore = PackageImage.Size();
  auto appendPackage = [&] {
    try {
      if (PackageImage.Size() == 0) {
        PackageImage.Assign(image.Take());
      } else {
        PackageImage.SetSize((PackageImage.Size() + kSectorSize - 1) / kSectorSize * kSectorSize);
        PackageImage.Seek(PackageImage.Size());
        PackageImage.Write(image.Bytes());
      }
    } catch (const std::bad_alloc&) {
      PackageImage.SetSize(packageBefore);
      return false;
    }
    return true;
  };
  bool loaded = image.Size() > 0;
  if (loaded && filter == kFilterPackage && !appendPackage()) {
    // No memory to keep it: the package fails as an unreadable one does.
    LoadedCatalogue.header.entryCount = entriesBefore;
    ReportFault(FaultCode::k0018);
    loaded = false;
  }
  if (!loaded) {
    ShowStatus1(Prompt(Msg::LoadFail));
    const std::string why =
        notAPackage ? std::string(extraText(ExtraText::NotAPackage, Language)) : "";
    if (!why.empty()) Memo1_Lines_Add(why);
    LastOutcome.notDoneItem(fileName, why.empty() ? Prompt(Msg::LoadFail) : why);
    if (BuildMode == CustomerBuild)
      host.messageBox(Msg::LoadFail,
                      Prompt(Msg::LoadFail) + " " + displayText(Language, fileName) +
                          (why.empty() ? "" : "\n" + why),
                      WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
    for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4}) p->reset();
    return false;
  }

  if (filter == kFilterPackage) {
    const std::string id = identityText(std::span(PackageIdentity).subspan(4, 4));
    Memo1_Lines_Add("Software ID : " + id);
    StaticText_Software_ID.text = id;
  } else {
    if (filter == kFilterSRecord && BuildMode == DebugBuild) {
      // A look at what was converted; a folder that cannot take it is no fault.
      std::string ignored;
      writeWholeFile(fileName + ".DBG", image.Bytes(), &ignored);
    }
    StaticText_PROG_Size.text = upperHex(uint32_t(image.Size() - 1), 8);
    FlashImage = std::move(image);
    FlashImage.Seek(0);
  }
  Edit_FileName.text = displayText(Language, fileName);
  for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4}) p->toMax();
  ShowStatus1(Prompt(Msg::LoadOk));
  LastOutcome.done.push_back({fileName, {}});
  return true;
}

// ---------------------------------------------------------------- converters

MemoryStream TForm_MAIN::BNtoBIN(ByteSource& source) {
  ClearStatus2();
  for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4}) p->reset();
  const int language = Language;
  const LegacyTextConverter convert = [language](std::string_view in, std::string& out) {
    return legacyToUtf8(language, in, out);
  };
  PackageRead read = readPackage(
      source, convert,
      [this](uint64_t done, uint64_t total) {
        for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar4})
          p->setFraction(done, total);
        clock.processEvents();
      },
      CartridgeBytes());
  if (read.fault.empty() &&
      !appendLoadedEntries(LoadedCatalogue, read.catalogue,
                           uint32_t((PackageImage.Size() + kSectorSize - 1) / kSectorSize)))
    read.fault = FaultCode::k0018;
  if (!read.fault.empty()) {
    ReportFault(read.fault);
    for (const std::string& line : read.faultLines) Memo1_Lines_Add(line);
    return {};
  }
  PackageIdentity = read.identity;
  StaticText_Checksum.text = upperHex(read.checksum, 4);
  MemoryStream image;
  image.Assign(std::move(read.image));
  return image;
}

MemoryStream TForm_MAIN::BINtoBN(const MemoryStream& image) {
  // The key changes with the millisecond the package is written.
  MemoryStream package;
  package.Assign(writePackage(image.Bytes(), ModuleIdentity, clock.tick()));
  return package;
}

MemoryStream TForm_MAIN::HexToBin_Conv(ByteSource& text) {
  ClearStatus2();
  FlashImageLoad load = convertSRecords(text, uint32_t(CartridgeBytes() / kSectorSize),
                                        [this](uint64_t done, uint64_t total) {
                                          ProgressBar1.setFraction(done, total);
                                          clock.processEvents();
                                        });
  if (!load.fault.empty()) {
    ReportFault(load.fault);
    for (const std::string& line : load.faultLines) Memo1_Lines_Add(line);
    return {};
  }
  ImageBlockCount = uint16_t(load.blockCount);
  StaticText_Checksum.text = upperHex(load.checksum, 4);
  planImageBlocks(load.image, BlockTable);
  MemoryStream image;
  image.Assign(std::move(load.image));
  return image;
}

bool TForm_MAIN::Bin_Conv(MemoryStream& image) {
  FlashImageLoad load = convertBinary(image.Take());
  if (!load.fault.empty()) {
    ReportFault(load.fault);
    return false;
  }
  ImageBlockCount = uint16_t(load.blockCount);
  StaticText_Checksum.text = upperHex(load.checksum, 4);
  planImageBlocks(load.image, BlockTable);
  image.Assign(std::move(load.image));
  return true;
}

}  // namespace ostrel
