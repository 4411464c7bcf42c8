// The main window without pixels: every field the window owns, a model of
// every control, and the operations as methods. Front-ends render the models
// and forward events; nothing of the system's behaviour lives in them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/byte_source.h"
#include "app/clock.h"
#include "app/controls.h"
#include "app/form_wait.h"
#include "app/host.h"
#include "app/memory_stream.h"
#include "app/module_kinds.h"
#include "app/outcome.h"
#include "app/timer.h"
#include "cartfs/catalogue_check.h"  // cartridge tables: CatalogueJudgement
#include "cartfs/catalogue_view.h"   // catalogue views: rows and trees
#include "cartfs/fat.h"              // cartridge tables: CartridgeCatalogue
#include "cartfs/mapping_table.h"    // sector commands: MappingTable
#include "flash/block_table.h"       // sector commands: BlockTable
#include "flash/burn_journal.h"      // interrupted burns: BurnJournal
#include "link/transport.h"

namespace ostrel {

class BurnJournalFile;

// Device-change notice: the message number and the event codes that matter.
inline constexpr uint32_t kWmDeviceChange = 0x219;
inline constexpr uint32_t kDbtDevNodesChanged = 0x0007;
inline constexpr uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;

// Timing of module exchanges, in milliseconds.
inline constexpr uint32_t kCountedRetryTime = 200000;
// Quiet-gap framing: a reply ends when the line has been quiet this long.
inline constexpr uint32_t kQuietGapMs = 10;

// The value of a program's --link option: true for "fast", false for
// "quiet-gap", nothing for anything else.
std::optional<bool> fastLinkOption(std::string_view value);

class TForm_MAIN {
 public:
  TForm_MAIN(int buildMode, int language, Host& host, Clock& clock, Transport& comm);
  ~TForm_MAIN();
  TForm_MAIN(const TForm_MAIN&) = delete;
  TForm_MAIN& operator=(const TForm_MAIN&) = delete;

  // --- lifecycle (window creation, showing, closing)
  void FormCreate();
  void FormShow();
  // Sends the end-of-connection packet (Ostrel I and II), closes the port and
  // frees the streams; once only.
  void FormClose();
  // The user asks to close the window. While an operation or any handler the
  // front-end called is still running (it may hold the port and point into
  // the streams), the close waits: the first status line says so and the
  // close happens as soon as that work has returned. True: closed now.
  bool requestClose();
  // Told after a waiting close has been carried out, so the front-end can
  // close its window too.
  std::function<void()> onDeferredClose;
  bool ClosePending = false;
  bool Closed = false;
  int GetOSVersionInfo();
  // The USB serial driver check of the NT family (never true on this platform).
  bool is_sp3_driver();
  bool change_usb_driver();
  void SetPriority(int kind);

  // --- messages: cached prompts 22..66, others converted where used
  std::string Prompt(int message) const;

  // --- reporting: one way to show progress, results and faults
  void Memo1_Lines_Add(const std::string& line);
  void Memo2_Lines_Add(const std::string& category, const std::string& line);
  // Whether a line of this category would be kept (saves formatting long hex lines).
  bool debugLogAccepts(std::string_view category) const {
    return DebugSwitch && (!CheckBox_Debug_fillter.checked || category.empty());
  }
  void ShowStatus1(const std::string& text);
  void ClearStatus2();
  // "Fault code:" + code in the second status line and the operator log.
  void ReportFault(std::string_view code);
  // Start of an operation; whole-cartridge operations also empty both logs.
  void ReportStart(const std::string& text, bool wholeCartridge);
  // Final result: status line, log, beeps, log colour and (customer build) message box.
  // message: the prompt whose text is reported.
  void ReportSuccess(int message, bool wholeCartridge);
  void ReportFailure(int message, std::string_view faultCode, bool wholeCartridge);
  void ReportCancel(int message);
  void Beep(int times);
  // What the operations since the front-end last emptied it did: the
  // reports above, showResult of the sequences and the QC steps settle it,
  // ReportFault keeps the first fault code.
  Outcome LastOutcome;

  // --- progress the operator reads (app/form_progress.cpp)
  // A long operation counts its sectors: the second status line keeps the
  // busy text and adds sectors done of the total, the share done and the
  // time left, refreshed twice a second while the module works. A read
  // counts the sector under way by the bytes received; bar (when given)
  // moves from barFrom to its maximum with the figures.
  void startProgress(uint32_t totalSectors, bool countReceivedBytes, ProgressBar* bar = nullptr,
                     int barFrom = 0);
  void showProgress(uint32_t doneSectors);
  // An operation that only its usual length measures (a chip erase): the
  // bar and the second status line count the time against typicalMs.
  void startTimedProgress(uint32_t typicalMs, ProgressBar& bar);
  void stopProgress();
  void refreshProgress();
  // The busy text followed by the figures, as the second status line shows it.
  std::string busyLine();
  // The customer window shows the check bar only for a module whose burn
  // has a check phase (not an Ostrel IV).
  void showPhaseBars();
  struct ProgressTrack {
    bool active = false;
    uint32_t typicalMs = 0;  // timed: the operation's usual length
    uint32_t total = 0, done = 0;
    uint32_t startTick = 0, lastDoneTick = 0;
    bool countBytes = false;
    uint64_t bytesAtLastDone = 0;
    ProgressBar* bar = nullptr;
    int barFrom = 0;
  };

  // --- debug panel
  void Button_Debug_Window_SwitchClick();
  void Button_Debug_ClearClick();

  // --- link framing (link/protocol.cpp)
  // The fast link, the default: received bytes reach the protocol as soon as
  // they arrive and every reply is taken whole from what the protocol
  // expects, whatever pieces it comes in. Off: quiet-gap framing, a reply is
  // what arrives until the line has been quiet for ReadIntervalTimeout
  // (10 ms). The choice holds for every connection.
  void setFastLink(bool on);
  bool FastLinkChosen = true;
  // The framing in effect: the choice, unless this connection fell back.
  bool FastLink = true;
  // Each connection starts with the chosen framing.
  void startChosenFraming();
  // On the fast link, the first reply of a connection is followed by a wait
  // for a quiet line (12 ms): bytes beyond the reply mean the module's
  // replies cannot be delimited as they come, and the connection falls back
  // before any block is read or written with bytes cut wrong.
  bool FastLinkChecked = false;
  void checkRepliesEndWhereTaken(bool framed);
  // A fast-link reply that could not be delimited (why): quiet-gap framing
  // for the rest of the connection, noted once in the debug log.
  void fallBackToQuietGap(std::string_view why);
  // Bytes received since the last transmission of a sender; in reply mode
  // the first of them are kept.
  uint32_t ReceivedSinceSend = 0;
  std::vector<uint8_t> SinceSend;
  // Set by a parser on the fast link when what came cannot be one reply: a
  // whole frame with a wrong checksum, more bytes than the block asked for.
  bool UndelimitedReply = false;
  // What the fast link takes the next reply for: framed (a CommandPacket's
  // answer, the identify reply) or raw (Ostrel III/IV), by default as the
  // generation speaks.
  enum class ReplyForm : uint8_t { ByGeneration, Frame, Raw };
  ReplyForm ExpectedReplyForm = ReplyForm::ByGeneration;

  // --- packet protocol (link/protocol.cpp)
  bool Send_Package(const uint8_t* data, int sendMode, uint32_t replyWait, uint32_t totalTime);
  bool Send_Package_OST3(const uint8_t* data, uint32_t length, int sendMode, uint32_t replyWait,
                         uint32_t totalTime);
  bool Comm1_WriteCommData(const uint8_t* data, uint32_t length);
  // The end-of-connection packet 81 90 of an Ostrel I/II, sent once.
  void SendEndOfConnection();
  // The one wait for the module's reply: until it is complete, the deadline
  // has passed or the port has closed (its line hung up: nothing more comes).
  // True when the reply is complete.
  bool waitForReply(uint32_t deadline);
  // A pause before a retry, cut short when the port closes.
  void pauseUnlessClosed(uint32_t ms);
  // After a data chunk the module never acknowledged (Ostrel III/IV): it may
  // still be waiting for that chunk, and would take the next command for its
  // data and drop it (an erase is then waited for 200 s). Brings it back to
  // taking commands; false when it answers nothing at all.
  bool backInCommandMode();
  void Comm1ReceiveData(const uint8_t* buffer, uint16_t length);
  void OST1_2_ReceiveDataParser(const uint8_t* buffer, uint16_t length);
  void OST3_ReceiveDataParser(const uint8_t* buffer, uint16_t length);
  void general_ReceiveDataParser(const uint8_t* buffer, uint16_t length);
  int Get_Command_Serial_Number();
  bool WriteBack_Sector(uint16_t sector, MemoryStream& source);
  void BusyStep();
  // After an attempt without an accepted reply: whether to try again, counting
  // silences against the retries under the long erase limit.
  bool retryAfterUnaccepted(uint32_t totalTime, int& retries);
  // How one transmission's wait ended.
  enum class ReplyOutcome : uint8_t { Accepted, NotAccepted, Abandoned };
  // Waits for the reply to the transmission just made, until replyDeadline;
  // wait() waits for ReplyComplete up to a deadline, accepted() judges it. On
  // the fast link, bytes that make no acceptable reply turn the connection to
  // quiet-gap framing: once the line is quiet, the reply is looked for in
  // everything since the transmission and else waited for anew, so nothing
  // the module has taken is sent again; a block whose bytes cannot be sorted
  // out is abandoned to the caller's retry.
  // What ends a wait for a reply: a reply taken, or bytes that cannot be one.
  std::function<bool()> replyEnded();
  // Before each transmission of a sender: nothing received for it yet.
  void startTransmission();
  // Waits until no bytes have come for quietMs (a second at most).
  void drainLine(uint32_t quietMs);
  // The first reply in bytes that accepted() takes (framed: a whole frame
  // with its checksum right), put in ReplyBuffer; false when there is none.
  bool takeReplyFrom(const std::vector<uint8_t>& bytes, bool framed,
                     const std::function<bool()>& accepted);
  ReplyOutcome awaitReply(uint32_t replyDeadline, const std::function<void(uint32_t)>& wait,
                          const std::function<bool()>& accepted, bool framed);

  // --- discovery (link/discovery.cpp)
  void WinCallBackOBJ1OsCallBack(uint32_t message, uint32_t eventCode);
  void Timer1Timer();
  void Function_Detect();
  bool Function_Device();

  // --- window-level helpers used by many operations
  void ShowConnectionState(const std::string& text, uint32_t color);
  void SetStepPanel(int step);
  void SetWindowEnabled(bool on) { WindowEnabled = on; }
  void BuildBlankBlock();

  // Hooks for the cartridge-table reads; they succeed with nothing to read
  // until the tables are wired in.
  std::function<bool()> readMappingTable;
  std::function<bool()> readFat;
  // Called after a module is found: sizes the BlockTable.
  std::function<void()> onModuleFound;
  // Everything kept for one module goes when it is lost: the loaded images
  // and catalogues, the cartridge's catalogue, the sector plan, kept sectors.
  void resetModuleState();

  // --- sector commands (flash/sector_commands.cpp)
  void initFlashHandlers();
  // Sizes the BlockTable to SectorCount with every record clear.
  void ResetBlockTable();
  bool Function_ProgramSector(uint16_t sector, bool direct, bool fatSector);
  bool OST1_2_Function_ProgramSector(uint16_t sector);
  bool OST3_Function_ProgramSector(uint16_t sector);
  bool OST4_Function_ProgramSector(uint16_t sector, bool direct, bool fatSector);
  // The 65536 bytes planned for a sector: the FlashImage at the sector's own
  // offset or the PackageImage at its sourceBlock, as its record says; null
  // when there is no record or the stream is too short.
  const uint8_t* plannedSectorData(uint16_t sector);
  // Success leaves exactly 65536 bytes in ReadBuffer; failure leaves it empty.
  void Function_ReadSector(uint16_t sector, bool direct);
  void OST1_2_Function_ReadSector(uint16_t sector);
  void OST3_Function_ReadSector(uint16_t sector);
  void OST4_Function_ReadSector(uint16_t sector, bool direct);
  // mode 0: the chip whose first sector is `sector`; 1: the sector (128 KiB block on III/IV).
  bool Erase_Flash(uint8_t mode, uint16_t sector);
  bool Function_Erase();
  void Button_EraseClick();
  std::vector<BlockRecord> BlockTable;  // one record per sector, sized to SectorCount
  ::ostrel::MappingTable MappingTable;  // Ostrel IV; holds the PhysicalSectorInUse flags
  bool Flag_test_busy = false;          // Ostrel IV sector-write re-entry guard
  int ImageKind = 0;                    // 0 packages loaded, 1 a whole-flash image
  // Ostrel III/IV: a sector whose block was erased while its write-back did not
  // succeed. The copy is then the sector's only good content here: it is
  // written back before any other write to that block. It lives as long as
  // the connection; past that (the program ended, the module unplugged) the
  // burn's journal, which holds the old content of every sector with
  // software that a burn may overwrite, puts it back at the next connection.
  struct KeptSector {
    JournalKey module;
    uint16_t sector = 0;
    std::vector<uint8_t> data;
  };
  std::vector<KeptSector> KeptSectors;
  // The kept copy of a sector of the connected module, or null.
  KeptSector* keptSector(uint16_t sector);
  // Whether either sector of the 128 KiB block holding this one has a kept copy.
  bool blockHasKeptSector(uint16_t sector);
  // Keeps the sector's content until it is written back.
  void keepSector(uint16_t sector, std::span<const uint8_t> data);
  void dropKeptSector(uint16_t sector);
  // --- end of sector commands

  // --- cartridge tables (cartfs/table_operations.cpp)
  // Points the detection hooks at the two reads below.
  void initTableHandlers();
  // Ostrel IV: reads physical sectors 60000/60001 into MappingTable; a missing
  // or invalid table starts a fresh one (success). Fails only when neither
  // sector returned data.
  bool Function_Read_MAPPING_TABLE();
  // Ostrel IV: serialises MappingTable into MappingImage and writes 60000,
  // then (only when that succeeded) 60001.
  bool Function_Write_Mapping_Table();
  // Reads logical sector 1 into CartridgeCatalogue; fails (changing nothing)
  // only when no data came back.
  bool Function_ReadFAT();
  // Serialises CartridgeCatalogue (compacted; relocated to the top on Ostrel
  // IV when relocate is 1) into image at 65536 and BlockTable record 1.
  void Function_FATRefresh(MemoryStream& image, int relocate);
  // After every successful FAT read: packages the last installation handled
  // leave the selection side (cartfs/catalogue_operations.cpp).
  void Function_FatDelIN();
  ::ostrel::CartridgeCatalogue CartridgeCatalogue;
  bool FatDirty = false;               // the catalogue changed; the program sequence rewrites it
  std::array<bool, 257> NewlyAdded{};  // slots 1..256 added by the installer (index 0 unused)
  bool ObdiiTooOld = false;            // an "OBDII" entry carries too old a version
  bool FatFreshRead = false;           // tables read since the last sector plan was built
  // The catalogue and the FAT sector as last read from the cartridge (a burn
  // journals the sector; a compaction reads back the software it lists).
  ::ostrel::CartridgeCatalogue LastReadCatalogue;
  std::vector<uint8_t> LastFatSector;
  // Whether the catalogue in memory is the cartridge's and may be changed.
  enum class CatalogueState : uint8_t {
    NotRead,     // no FAT read on this module yet
    Readable,    // read as it stands on the cartridge
    Unreadable,  // the FAT (on Ostrel IV also the mapping table) could not be read or is damaged
    EntriesIgnored,  // the FAT declares more entries than its sector holds
    Damaged,         // entries overlap, lie in sectors 0/1 or run past the end
  };
  CatalogueState CartridgeCatalogueState = CatalogueState::NotRead;
  // The entries of CartridgeCatalogue that cannot be trusted, judged after
  // every FAT read and whenever the cartridge view is rebuilt.
  CatalogueJudgement CartridgeJudgement;
  // Ostrel IV: the mapping table in memory is the cartridge's own, or the
  // cartridge's table sectors are erased; only then can the FAT be found.
  bool MappingTableTrusted = false;
  // Installation and removal ask this first: false, after telling the user
  // why, when the catalogue in memory must not be written back. A damaged
  // catalogue still lets its wrong entries go (onlyWrongEntriesRemoved).
  bool catalogueChangeAllowed(bool onlyWrongEntriesRemoved = false);
  // The first change after the tables were read starts a new sector plan: a
  // blank FAT image and nothing to write or erase yet.
  void startPlanAfterFreshRead();
  // --- end of cartridge tables

  // --- catalogue views and removal (cartfs/catalogue_operations.cpp)
  void initViewHandlers();
  // Rebuilds the rows, tree, list and totals of one side, keeping the user's place.
  void ItemFAT_OUT();
  void ItemFAT_IN();
  // Fill the list of the selected tree node.
  void TreeView_FAT_OUTChange();
  void TreeView_FAT_INChange();
  // The tree gets the focus: removal or installation then take the whole node.
  void TreeView_FAT_OUTEnter();
  void TreeView_FAT_INEnter();
  void ListView_FAT_OUTSelectItem();
  void ListView_FAT_INSelectItem();
  void ListView_FAT_OUTDblClick();
  void ListView_FAT_INDblClick();
  void ListView_FAT_OUTKeyPress(char key);
  void ListView_FAT_OUTKeyDown(int virtualKey);
  void ListView_FAT_INKeyDown(int virtualKey);
  void Button_SelectAll_OUTClick();
  void Button_ClearAll_OUTClick();
  void Button_SelectAll_INClick();
  void Button_ClearAll_INClick();
  uint16_t Function_TotalUseSpace();
  uint16_t Function_FreeSpace();
  uint16_t Function_TotalSelectSpace();
  // Delete on the cartridge side: the selected list items (all when none is),
  // as Function_Remove takes them.
  void Button_DELClick();
  // Removes the selected rows and directories of the cartridge: asks, plans,
  // and in the customer build writes. The outcome names each row removed
  // and each not removed, with the reason.
  Outcome Function_Remove(const Selection& selection);
  void Button_DeleteINClick();
  // True (after one message-86 box per directory) when installing the
  // selection would put more than 50 pieces of software in a directory. The
  // selection: the given one, else the list's. Each box's text goes to whyNot.
  bool file_number_limited_check(const Selection* selection = nullptr,
                                 std::vector<std::string>* whyNot = nullptr);
  std::vector<CatalogueRow> CartridgeRows, SelectionRows;
  // The trees with the names as stored; the tree controls show them converted.
  std::vector<DirectoryNode> CartridgeTree, SelectionTree;
  // LoadedCatalogue slots 1..256 the last installation handled (index 0 unused).
  std::array<bool, 257> InstalledMarks{};
  // The write sequence removal and installation run at once in the customer
  // build; the sequences set it to Function_Auto.
  std::function<bool()> autoSequence;
  // A planned FAT change makes step 3 current, ready to be written.
  void showPlannedChange();
  // Runs autoSequence; false after the fail beep, box and failStatus, else
  // the tables are read again and okStatus shown.
  bool writePlannedChange(int failStatus, int okStatus);
  // After a written change: back to step 2 to load the next files.
  void backToLoadStep();
  // --- end of catalogue views

  // --- installation and compaction (packages/install_operations.cpp)
  void initInstallHandlers();
  // The selected list items of the loaded packages (all when none is), as
  // Function_Install takes them.
  void Button_InstallClick();
  // Plans the selected rows and directories of the loaded packages onto the
  // cartridge and in the customer build writes them. The outcome names each
  // row installed (planned, in the engineering builds) and each not, with
  // the reason.
  Outcome Function_Install(const Selection& selection);
  void Button_Copy2CardClick();
  void Button1Click();
  // Plans one selection row onto the cartridge; false ends the current pass
  // of the installation (the user has been told why). whyNot (when given)
  // receives why the row was not planned; it stays empty for a planned row.
  bool Function_FATADD(uint16_t rowIndex, std::string* whyNot = nullptr);
  // The software on the cartridge as last read, at its own sectors; empty
  // when a sector cannot be read.
  MemoryStream Function_BACKUP();
  // New whole-cartridge images with the free space gathered behind the
  // software (ascending) or behind the base software (descending); empty on failure.
  MemoryStream Function_SpaceAscendAdj(const MemoryStream& input);
  MemoryStream Function_SpaceDescendAdj(const MemoryStream& input);
  MemoryStream compactSpace(const MemoryStream& input, bool ascending);
  // Reads the sectors of the software as last read (all, or those marked in only).
  MemoryStream readSoftware(const std::vector<bool>* only);
  // What the last compaction read back, kept for the burn that carries it
  // out, and which of its sectors were read.
  MemoryStream CompactionBackup;
  std::vector<bool> CompactionBackupRead;
  // --- end of installation

  // --- interrupted burns (flash/recovery.cpp)
  // The module a burn journal belongs to: generation, auxiliary number, ID
  // and SectorCount.
  JournalKey journalKey() const;
  // Where this module's burn journal lives (the folder the program writes
  // to), named by its key; and the name journals had when they were named
  // by the ID alone.
  std::string burnJournalPath();
  std::string legacyBurnJournalPath();
  // A journal of this module is on disk: a burn on it did not end.
  bool burnJournalPending();
  // The sectors of a burn in the order that keeps the old catalogue intact
  // longest: those that overwrite no software first.
  std::vector<uint16_t> orderForBurn(const std::vector<uint16_t>& sectors);
  // Creates the journal with everything the burn may overwrite and what it
  // plans to write; false (and nothing written to the module) when that
  // cannot be kept, a full disk included.
  bool startBurnJournal(BurnJournalFile& journal, const std::vector<uint16_t>& sectors,
                        bool fatToo);
  // At a connection, or before a burn: judges a journal left by a burn that
  // did not end and offers the repair, or sets the journal aside and says
  // why. Returns whether the tables are read now.
  bool resolveInterruptedBurn(bool tablesRead);
  // Writes back what the judgement names, noting each write in the journal
  // file first (when there is one).
  bool repairFromJournal(const BurnJournal& journal, const BurnJudgement& judgement,
                         BurnJournalFile* file);
  // Reserves the journal's disk space before its first byte (posix_fallocate
  // when empty); 0 or an errno value.
  std::function<int(int fd, uint64_t bytes)> reserveJournalSpace;
  // Told the mapping-table image a burn is about to write (the journal notes it).
  // False (the table is then not written) when that note cannot be kept.
  std::function<bool(std::span<const uint8_t>)> onMappingTableWrite;
  // Ostrel IV: the mapping table sectors as last read (both, or empty), and
  // the physical sectors then in use; a burn overwrites none of them before
  // the new table is on the cartridge.
  std::vector<uint8_t> LastMappingImage;
  std::vector<uint8_t> CartridgePhysicalInUse;
  bool BurnQuarantine = false;  // a burn runs: CartridgePhysicalInUse stays taken
  // --- end of interrupted burns

  // --- whole-cartridge sequences (flash/sequences.cpp)
  void initSequenceHandlers();
  bool Function_Program();
  bool Function_Verify();
  bool Function_Check();
  bool Function_Read();
  bool Function_Auto();
  void Button_ProgramClick();
  void Button_VerifyClick();
  void Button_CHECKClick();
  void Button_ReadClick();
  void Button_AutoClick();
  void UpDown_ReadStartAddrClick();
  void UpDown_ReadStopAddrClick();
  // Where Function_Read writes its file instead of the name it gives it
  // (empty: that name); and where it left it (empty in the customer build or
  // on failure).
  std::string ReadOutputPath;
  std::string ReadFileName;
  // --- end of whole-cartridge sequences

  // --- quality control and test buttons (flash/qc.cpp)
  void initQcHandlers();
  // One step (0 "Blank data", 1 "Loop data") over the whole module: Ostrel
  // I/II sector by sector, Ostrel III/IV by the module itself.
  bool OST1_2_Function_QC(int step);
  bool OST3_Function_QC(int step);
  void Button_QCClick();
  void Button_QC_BlankClick();
  void Button_QC_LoopClick();
  void Button3Click();
  void Button_CF_testClick();
  void Button4Click();
  // The buttons' work with its result, for the command line.
  bool qcAuto();
  bool qcSingleStep(int step);
  bool clearCatalogue();
  bool cfTest();
  // The fault code of the last QC step, also where the window shows none;
  // empty when it passed.
  std::string QcFaultCode;
  // --- end of quality control

  // --- loading (packages/load_operations.cpp)
  // Click handlers of the LOAD buttons and the button hook on module loss.
  void initLoadHandlers();
  void Button_LoadFileClick();
  void Button_Cus_LoadFileClick();
  void Button2Click();
  // Runs the open dialog and loads every chosen file.
  void Function_Load();
  // Loads one file as the dialog's current filter index says (1 package,
  // 2 S-record, 3 binary); true on success.
  bool Function_LoadFromFile(const std::string& fileName);
  // Package file to image; empty on a fault (reported). Appends the entries
  // to the LoadedCatalogue as the image's place at the end of PackageImage.
  // A package larger than the cartridge is refused before any block is taken.
  MemoryStream BNtoBIN(ByteSource& source);
  // Image of whole blocks to a package carrying ModuleIdentity; empty when
  // the image cannot be packed.
  MemoryStream BINtoBN(const MemoryStream& image);
  // S-record text to a whole-flash image with its BlockTable plan; empty on
  // a fault (reported), and for data past the cartridge.
  MemoryStream HexToBin_Conv(ByteSource& text);
  // Bytes of the connected module's cartridge: no image may be larger.
  uint64_t CartridgeBytes() const;
  // Pads a binary image in place and plans its blocks; false on a fault.
  bool Bin_Conv(MemoryStream& image);
  ::ostrel::CartridgeCatalogue LoadedCatalogue;  // entries of the loaded packages
  std::array<uint8_t, 8> PackageIdentity{};      // identity of the last package read
  uint16_t ImageBlockCount = 0;                  // blocks of the FlashImage
  bool LoadedFiles = false;                      // a load succeeded since the module came
  int OpenDialogFilterIndex = 1;                 // the dialog's filter, kept between runs
  // --- end of loading

  // ========================= fields =========================
  // Build constants: fixed by each executable, never changed.
  const BuildKind BuildMode;
  const int Language;

  // Collaborators injected by the front-end.
  Host& host;
  Clock& clock;
  Transport& Comm1;

  // Window.
  std::string WindowCaption;
  bool WindowEnabled = true;
  // Opened maximised and sizeable when the layout does not fit the screen at
  // its designed sizes; otherwise fixed at its content size. Width and height
  // are the client area.
  bool WindowMaximized = false;
  bool WindowSizeable = false;
  int WindowWidth = 0;
  int WindowHeight = 0;

  // Link state of the packet protocol.
  std::array<uint8_t, 128> RequestBuffer{};
  std::array<uint8_t, 128> ReplyBuffer{};
  int32_t ReceivedCount = 0;  // may drop below zero when a block overflows
  int ReplyComplete = 0;
  int ReceiveMode = 1;  // 1 reply, 0 block into ReadBuffer
  int RetryBudget = 5;
  int BusyCounter = 0;
  std::string BusyMarks;
  int CommandSerial = 0;

  // HardwareDescriptor and ModuleIdentity.
  Generation ModuleGeneration = OstrelI;
  uint16_t SectorCount = 0;
  bool TwoChipFlash = false;
  std::array<uint8_t, 2> ChipStartSector{};
  std::array<uint8_t, 8> ModuleIdentity{};
  std::string ModuleSerialText;

  // Connection and activity flags.
  bool Connected = false;
  bool OperationRunning = false;
  bool DetectPending = false;
  // The last scan met a port the user may not open: why, and what helps.
  std::string PortAccessHint;
  int OSVersionCode = 5;
  int PriorityKind = 1;  // the last SetPriority: 1 normal, 2 high
  bool DebugSwitch = true;

  // Memory streams, created in this order.
  MemoryStream BlankBlock, MappingImage, FlashImage, ReadBuffer, SaveBuffer, PackageImage;

  // Timer and progress dialog.
  TTimer Timer1;
  TForm_Wait Form_Wait;
  // Progress of the long operation under way.
  ProgressTrack Progress;
  std::string ProgressText;        // the figures; empty while nothing is counted
  uint64_t LinkBytesReceived = 0;  // every byte the port delivered
  TTimer ProgressTimer;

  // Open-file dialog settings.
  std::string OpenDialogFilter;
  std::string OpenDialogInitialDir;

  // Controls: panels.
  Panel Panel_Control{"Panel_Control"}, Panel_Debug{"Panel_Debug"}, Panel_FAT_OUT{"Panel_FAT_OUT"},
      Panel_FAT_IN{"Panel_FAT_IN"}, Panel_Status{"Panel_Status"}, Panel_STEP1{"Panel_STEP1"},
      Panel_STEP2{"Panel_STEP2"}, Panel_STEP3{"Panel_STEP3"}, Panel_STEP4{"Panel_STEP4"},
      Panel1_note{"Panel1_note"};
  // Step panel texts: caption, title, explanation of each of the four steps.
  std::array<Label, 4> StepCaption{
      Label{"Label_STEP1_Caption", "Panel_STEP1"}, Label{"Label_STEP2_Caption", "Panel_STEP2"},
      Label{"Label_STEP3_Caption", "Panel_STEP3"}, Label{"Label_STEP4_Caption", "Panel_STEP4"}};
  std::array<Label, 4> StepTitle{
      Label{"Label_STEP1_Title", "Panel_STEP1"}, Label{"Label_STEP2_Title", "Panel_STEP2"},
      Label{"Label_STEP3_Title", "Panel_STEP3"}, Label{"Label_STEP4_Title", "Panel_STEP4"}};
  std::array<Label, 4> StepNote{
      Label{"Label_STEP1_Note", "Panel_STEP1"}, Label{"Label_STEP2_Note", "Panel_STEP2"},
      Label{"Label_STEP3_Note", "Panel_STEP3"}, Label{"Label_STEP4_Note", "Panel_STEP4"}};
  int VisibleStep = 1;

  // Status lines and logs.
  StaticText StaticText_Status1{"StaticText_Status1", "Panel_Status"};
  StaticText StaticText_Status2{"StaticText_Status2", "Panel_Status"};
  Memo Memo1{"Memo1", "Panel_Status"};
  Memo Memo2{"Memo2", "Panel_Debug"};
  Button Button_Debug_Window_Switch{"Button_Debug_Window_Switch", "Panel_Debug"};
  Button Button_Debug_Clear{"Button_Debug_Clear", "Panel_Debug"};
  CheckBox CheckBox_Debug_fillter{"CheckBox_Debug_fillter", "Panel_Debug"};
  // Engineering builds: replies handed over as soon as they arrive.
  CheckBox CheckBox_FastLink{"CheckBox_FastLink", "Panel_Control"};
  StaticText StaticText_AllTime{"StaticText_AllTime", "Panel_Debug"};
  StaticText StaticText_EraseTime{"StaticText_EraseTime", "Panel_Debug"};
  StaticText StaticText_ProgramTime{"StaticText_ProgramTime", "Panel_Debug"};
  StaticText StaticText_VerifyTime{"StaticText_VerifyTime", "Panel_Debug"};

  // Flash-operation panel (engineering layout).
  Button Button_LoadFile{"Button_LoadFile", "Panel_Control"},
      Button_Erase{"Button_Erase", "Panel_Control"},
      Button_Program{"Button_Program", "Panel_Control"},
      Button_Verify{"Button_Verify", "Panel_Control"},
      Button_CHECK{"Button_CHECK", "Panel_Control"}, Button_Auto{"Button_Auto", "Panel_Control"},
      Button_Read{"Button_Read", "Panel_Control"}, Button_QC{"Button_QC", "Panel_Control"},
      Button_QC_Blank{"Button_QC_Blank", "Panel_Control"},
      Button_QC_Loop{"Button_QC_Loop", "Panel_Control"},
      Button_CF_test{"Button_CF_test", "Panel_Control"}, Button4{"Button4", "Panel_Control"};
  Label Label_Device{"Label_Device", "Panel_Control"}, Label_AuxNo{"Label_AuxNo", "Panel_Control"},
      Label_ID{"Label_ID", "Panel_Control"};
  StaticText StaticText_Device_1{"StaticText_Device_1", "Panel_Control"},
      StaticText_AuxNo{"StaticText_AuxNo", "Panel_Control"},
      StaticText_ID{"StaticText_ID", "Panel_Control"},
      StaticText_PROG_Size{"StaticText_PROG_Size", "Panel_Control"},
      StaticText_PROG_FINISH{"StaticText_PROG_FINISH", "Panel_Control"},
      StaticText_Checksum{"StaticText_Checksum", "Panel_Control"},
      StaticText_Software_ID{"StaticText_Software_ID", "Panel_Control"},
      StaticText_ReadStartAddr{"StaticText_ReadStartAddr", "Panel_Control"},
      StaticText_ReadStopAddr{"StaticText_ReadStopAddr", "Panel_Control"};
  Edit Edit_FileName{"Edit_FileName", "Panel_Control"};
  // Read range of an Ostrel IV, typed as hexadecimal sector numbers.
  Edit ost4_read_sector_start{"ost4_read_sector_start", "Panel_Control"},
      ost4_read_sector_stop{"ost4_read_sector_stop", "Panel_Control"};
  UpDown UpDown_ReadStartAddr{"UpDown_ReadStartAddr", "Panel_Control"},
      UpDown_ReadStopAddr{"UpDown_ReadStopAddr", "Panel_Control"};
  ProgressBar ProgressBar1{"ProgressBar1", "Panel_Control"},
      ProgressBar_LOAD{"ProgressBar_LOAD", "Panel_Control"},
      ProgressBar_PROG{"ProgressBar_PROG", "Panel_Control"},
      ProgressBar_CHECK{"ProgressBar_CHECK", "Panel_Control"};
  Label Label_LOAD{"Label_LOAD", "Panel_Control"}, Label_PROG{"Label_PROG", "Panel_Control"},
      Label_CHECK{"Label_CHECK", "Panel_Control"};

  // Catalogue panels.
  Label Label_OUT{"Label_OUT", "Panel_FAT_OUT"}, Label_IN{"Label_IN", "Panel_FAT_IN"};
  TreeView TreeView_FAT_OUT{"TreeView_FAT_OUT", "Panel_FAT_OUT"},
      TreeView_FAT_IN{"TreeView_FAT_IN", "Panel_FAT_IN"};
  ListView ListView_FAT_OUT{"ListView_FAT_OUT", "Panel_FAT_OUT"},
      ListView_FAT_IN{"ListView_FAT_IN", "Panel_FAT_IN"};
  Button Button_SelectAll_OUT{"Button_SelectAll_OUT", "Panel_FAT_OUT"},
      Button_ClearAll_OUT{"Button_ClearAll_OUT", "Panel_FAT_OUT"},
      Button_DEL{"Button_DEL", "Panel_FAT_OUT"},
      Button_SelectAll_IN{"Button_SelectAll_IN", "Panel_FAT_IN"},
      Button_ClearAll_IN{"Button_ClearAll_IN", "Panel_FAT_IN"},
      Button_DeleteIN{"Button_DeleteIN", "Panel_FAT_IN"},
      Button_Install{"Button_Install", "Panel_FAT_IN"};
  Label Label_FreeSpace{"Label_FreeSpace", "Panel_FAT_OUT"},
      Label_TotalUseSpace{"Label_TotalUseSpace", "Panel_FAT_OUT"},
      Label_TotalSelectSpace{"Label_TotalSelectSpace", "Panel_FAT_IN"};
  StaticText StaticText_FreeSpace{"StaticText_FreeSpace", "Panel_FAT_OUT"},
      StaticText_TotalUseSpace{"StaticText_TotalUseSpace", "Panel_FAT_OUT"},
      StaticText_TotalSelectSpace{"StaticText_TotalSelectSpace", "Panel_FAT_IN"};
  // Customer identity row.
  Label Label_CUST_Device{"Label_CUST_Device", "Panel_FAT_OUT"},
      Label_CUST_AuxNo{"Label_CUST_AuxNo", "Panel_FAT_OUT"},
      Label_CUST_ID{"Label_CUST_ID", "Panel_FAT_OUT"},
      Label_Cus_id2{"Label_Cus_id2", "Panel_FAT_OUT"},
      Label_Cus_Card_Status2{"Label_Cus_Card_Status2", "Panel_FAT_OUT"};
  StaticText StaticText_CUST_Device_1{"StaticText_CUST_Device_1", "Panel_FAT_OUT"},
      StaticText_CUST_AuxNo{"StaticText_CUST_AuxNo", "Panel_FAT_OUT"},
      StaticText_CUST_ID{"StaticText_CUST_ID", "Panel_FAT_OUT"},
      StaticText_Cus_id2{"StaticText_Cus_id2", "Panel_FAT_OUT"},
      StaticText_Cus_Card_Status2{"StaticText_Cus_Card_Status2", "Panel_FAT_OUT"};

  // Customer-layout buttons and bars.
  Button Button_Copy2Card{"Button_Copy2Card"}, Button1{"Button1"},
      Button_CopyAll2Card{"Button_CopyAll2Card"}, Button_Cus_LoadFile{"Button_Cus_LoadFile"},
      Button2{"Button2"}, Button3{"Button3"};
  ProgressBar ProgressBar2{"ProgressBar2"}, ProgressBar3{"ProgressBar3"},
      ProgressBar4{"ProgressBar4"};
  Label Label3{"Label3"}, Label4{"Label4"};
  Label Label_Note{"Label_Note", "Panel1_note"};

  // Every control, in creation order, for the front-ends.
  std::vector<Control*> Controls;
  Control* findControl(std::string_view name);
  // What a click on a button does, by control name; front-ends call Click.
  std::map<std::string, std::function<void()>, std::less<>> ClickHandlers;
  // Runs the button's handler when the window, the button and its panel accept
  // input; false when the click was ignored.
  bool Click(std::string_view name);
  // Runs any other event a front-end forwards (a selection, a key, a double
  // click, the focus entering a control) the way Click runs a button's
  // handler, so a close asked for meanwhile waits for it; ignored once closed.
  void handleEvent(const std::function<void()>& handler);

 private:
  void registerControls();
  void applyLanguage();
  void layoutEngineering(const ScreenSize& screen);
  void layoutCustomer(const ScreenSize& screen);
  void layoutStatusPanel();
  void setModuleButtonsEnabled(bool on);
  // Runs a front-end's call into the core; a close asked for meanwhile is
  // carried out when the outermost one returns.
  void runHandler(const std::function<void()>& handler);
  void resetWithoutModule();
  std::string hexLine(const uint8_t* bytes, size_t count) const;
  // The first 64 bytes as hexLine, followed by "... " when there are more.
  std::string shortHexLine(const uint8_t* bytes, size_t count) const;

  std::array<std::string, 88> cachedPrompts_;
  int handlerDepth_ = 0;
  TimerId driverNoteTimer_ = 0;
};

// The progress an operation counts lasts as long as a scope; what an outer
// operation was counting comes back when it ends.
class ProgressScope {
 public:
  explicit ProgressScope(TForm_MAIN& f) : f_(f), outer_(f.Progress), outerText_(f.ProgressText) {}
  ~ProgressScope() {
    f_.stopProgress();
    if (!outer_.active) return;
    f_.Progress = outer_;
    f_.ProgressText = outerText_;
    f_.ProgressTimer.setEnabled(true);
  }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  TForm_MAIN& f_;
  TForm_MAIN::ProgressTrack outer_;
  std::string outerText_;
};

}  // namespace ostrel
