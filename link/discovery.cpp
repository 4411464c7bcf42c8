// Finding and identifying the module, reacting to device-change notices.
#include <algorithm>
#include <cstdio>

#include "app/busy_scope.h"
#include "app/fault_codes.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "link/commands.h"
#include "link/identify.h"
#include "link/reply_form_scope.h"

namespace ostrel {

namespace {
constexpr const char* kTag = "OST3_Return_Value";
constexpr size_t kBlankBlockSize = 65536;
}  // namespace

void TForm_MAIN::WinCallBackOBJ1OsCallBack(uint32_t message, uint32_t eventCode) {
  if (message != kWmDeviceChange) return;
  if (eventCode != kDbtDeviceArrival && eventCode != kDbtDeviceRemoveComplete &&
      eventCode != kDbtDevNodesChanged)
    return;
  DetectPending = false;
  if (OperationRunning) {
    DetectPending = true;
    Timer1.setEnabled(false);
    Timer1.setInterval(100);
    Timer1.setEnabled(true);
    return;
  }
  Timer1.setEnabled(false);
  ShowConnectionState(Prompt(Msg::Detecting), Colors::kBlack);
  Timer1.setInterval(Connected ? 100 : 1000);
  Timer1.setEnabled(true);
}

void TForm_MAIN::Timer1Timer() {
  if (!DetectPending) {
    Timer1.setEnabled(false);
    Function_Detect();
    return;
  }
  if (OperationRunning) return;  // fires again in 100 ms
  Timer1.setEnabled(false);
  ShowConnectionState(Prompt(Msg::Detecting), Colors::kBlack);
  Timer1.setInterval(Connected ? 100 : 1000);
  Timer1.setEnabled(true);
  DetectPending = false;
}

void TForm_MAIN::BuildBlankBlock() {
  BlankBlock.SetSize(kBlankBlockSize);
  BlankBlock.Seek(0);
  Form_Wait.Show();
  Form_Wait.Label_WaitInfo.text = "Initializing....";
  Form_Wait.ProgressBar_Wait.position = 10;
  // Filled a tenth at a time: the progress bar moves in its ten steps and the
  // event queue runs once per step, not once per byte (which cost a fast
  // detection most of its time).
  uint8_t* bytes = BlankBlock.Memory();
  size_t filled = 0;
  for (int step = 1; step <= 10; ++step) {
    const size_t end = kBlankBlockSize * size_t(step) / 10;
    std::fill(bytes + filled, bytes + end, uint8_t(0xFF));
    filled = end;
    Form_Wait.ProgressBar_Wait.position = 10 + 10 * step;
    clock.processEvents();
  }
  BlankBlock.Seek(kBlankBlockSize);
  Form_Wait.ProgressBar_Wait.position = 100;
  Form_Wait.Close();
}

void TForm_MAIN::resetWithoutModule() {
  ShowConnectionState(Prompt(Msg::NoDevice), Colors::kRed);
  ClearStatus2();
  for (StaticText* t : {&StaticText_AuxNo, &StaticText_CUST_AuxNo, &StaticText_ID,
                        &StaticText_CUST_ID, &StaticText_Cus_id2})
    t->text.clear();
  setModuleButtonsEnabled(false);
  for (Button* b : {&Button_LoadFile, &Button_Cus_LoadFile, &Button2, &Button_Copy2Card,
                    &Button_CopyAll2Card, &Button1})
    b->enabled = false;
  for (UpDown* u : {&UpDown_ReadStartAddr, &UpDown_ReadStopAddr}) {
    u->position = 0;
    u->enabled = false;
  }
  StaticText_ReadStartAddr.text = StaticText_ReadStopAddr.text = "0000";
  StaticText_FreeSpace.text.clear();
  StaticText_TotalUseSpace.text.clear();
  StaticText_TotalSelectSpace.text.clear();
  SetStepPanel(1);
  for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar_PROG, &ProgressBar_CHECK,
                         &ProgressBar2, &ProgressBar3, &ProgressBar4})
    p->reset();
  StaticText_PROG_Size.text = StaticText_PROG_FINISH.text = StaticText_Checksum.text = "00000000";
  for (StaticText* t : {&StaticText_Software_ID, &StaticText_AllTime, &StaticText_EraseTime,
                        &StaticText_ProgramTime, &StaticText_VerifyTime})
    t->text.clear();
  Edit_FileName.text.clear();
  ListView_FAT_OUT.clear();
  ListView_FAT_IN.clear();
  TreeView_FAT_OUT.clear();
  TreeView_FAT_IN.clear();
  resetModuleState();
}

void TForm_MAIN::resetModuleState() {
  BlankBlock.Clear();
  FlashImage.Clear();
  ReadBuffer.Clear();
  PackageImage.Clear();
  // A module gone may come back changed: at the next connection its burn
  // journal is judged against what it holds, not a copy kept here.
  KeptSectors.clear();
  // Nothing loaded or planned for one module may be written to the next.
  LoadedCatalogue.header.entryCount = 0;
  LoadedFiles = false;
  CartridgeCatalogue.header.entryCount = 0;
  CartridgeCatalogueState = CatalogueState::NotRead;
  CartridgeJudgement = {};
  MappingTableTrusted = false;
  FatDirty = false;
  NewlyAdded.fill(false);
  for (BlockRecord& r : BlockTable) r = BlockRecord{};
  CartridgeRows.clear();
  CartridgeTree.clear();
  SelectionRows.clear();
  SelectionTree.clear();
}

void TForm_MAIN::Function_Detect() {
  OperationRunning = true;
  SetWindowEnabled(false);

  bool presenceChecked = false;
  if (Connected) {
    RequestBuffer[0] = Cmd::framedLength(1);
    RequestBuffer[1] = Cmd::Presence;
    if (Send_Package(RequestBuffer.data(), 0, 300, 500)) {
      ShowConnectionState(Prompt(Msg::DeviceExist), Colors::kBlue);
      ClearStatus2();
      OperationRunning = false;
      SetWindowEnabled(true);
      return;
    }
    SendEndOfConnection();
    Connected = false;
    Comm1.ClosePort();
    presenceChecked = true;
  }
  if (!presenceChecked) {
    for (StaticText* t : {&StaticText_AuxNo, &StaticText_CUST_AuxNo, &StaticText_ID})
      t->text.clear();
    Memo1.clear();
    Memo2.clear();
    Memo1.fontColor = Colors::kWindowText;
    Comm1.ClosePort();
    Form_Wait.Show();
    Form_Wait.Label_WaitInfo.text = Prompt(Msg::Detecting);
    Form_Wait.ProgressBar_Wait.position = 0;
    {
      BusyScope busy(*this);
      Connected = Function_Device();
    }
    Form_Wait.ProgressBar_Wait.toMax();
    Form_Wait.Close();
  }

  if (Connected) {
    bool ok = true;
    if (ModuleGeneration == OstrelIV && readMappingTable) ok = readMappingTable();
    if (ok && readFat) ok = readFat();
    ok = resolveInterruptedBurn(ok);
    if (!ok && BuildMode != CustomerBuild && ModuleGeneration == OstrelIV && !MappingTableTrusted) {
      // An Ostrel IV whose mapping table is missing or damaged stays connected
      // in the engineering builds, so that it can be erased or have its
      // catalogue cleared; installation and removal refuse to touch it.
      CartridgeCatalogue = {};
      Memo1_Lines_Add("Catalogue unreadable: erase the cartridge or clear its catalogue");
    } else if (!ok) {
      Connected = false;
      Comm1.ClosePort();
    }
  }
  SetWindowEnabled(true);

  if (Connected) {
    ShowConnectionState(Prompt(Msg::DeviceExist), Colors::kBlue);
    ClearStatus2();
    BuildBlankBlock();
    if (onModuleFound) onModuleFound();
    for (Button* b : {&Button_LoadFile, &Button2, &Button_Erase, &Button_Read, &Button_QC,
                      &Button_QC_Blank, &Button_QC_Loop})
      b->enabled = true;
    const int maxSector = SectorCount > 32767 ? 32766 : int(SectorCount) - 1;
    for (UpDown* u : {&UpDown_ReadStartAddr, &UpDown_ReadStopAddr}) {
      u->enabled = true;
      u->max = maxSector;
    }
    Button_Copy2Card.enabled = false;
    Button1.enabled = false;
    SetStepPanel(2);
    for (ProgressBar* p : {&ProgressBar1, &ProgressBar_LOAD, &ProgressBar_PROG, &ProgressBar_CHECK,
                           &ProgressBar2, &ProgressBar3, &ProgressBar4})
      p->reset();
    ModuleSerialText = idHexText(ModuleIdentity);
  } else {
    resetWithoutModule();
    // Unlike a scan that simply found nothing, a port the user may not open
    // is named in the status line with its remedy.
    if (!presenceChecked && !PortAccessHint.empty()) StaticText_Status2.text = PortAccessHint;
  }
  showPhaseBars();
  OperationRunning = false;
}

bool TForm_MAIN::Function_Device() {
  // The identify reply is a frame, whatever the module found before spoke.
  const ReplyFormScope frames(*this, ReplyForm::Frame);
  // A new connection: a fallback of the last one does not carry over.
  startChosenFraming();
  const std::vector<std::string> ports =
      host.portList([this](const std::string& text) { Memo2_Lines_Add("", text); });
  for (Button* b : {&Button_Erase, &Button_Program, &Button_Verify, &Button_CHECK, &Button_Auto,
                    &Button_Read, &Button_QC, &Button_QC_Blank, &Button_QC_Loop})
    b->enabled = false;
  ShowConnectionState(Prompt(Msg::Detecting), Colors::kBlack);
  ClearStatus2();
  PortAccessHint.clear();
  ReceiveMode = 1;
  SectorCount = 1;

  ProgressBar& bar = Form_Wait.ProgressBar_Wait;
  bool found = false;
  const int count = int(ports.size());
  for (int i = count - 1; i >= 0; --i) {
    clock.sleep(10);
    Comm1.setCommName(ports[size_t(i)]);
    Comm1.setBaudRate(9600);
    Comm1.setParity(TParity::Mark);
    Comm1.setStopBits(TStopBits::_1);
    try {
      Comm1.OpenPort();
    } catch (const ECommsError& e) {
      // In use or gone: skipped without a word to the user. A port the user
      // may not open is different: nothing else would tell why no module
      // is found, so its remedy is kept for the status line.
      Memo2_Lines_Add(kTag, ports[size_t(i)] + ": " + e.what());
      if (!e.accessHint.empty()) {
        Memo2_Lines_Add("", e.accessHint);  // shown whatever the filter
        if (PortAccessHint.empty()) PortAccessHint = e.accessHint;
      }
      continue;
    }
    clock.sleep(1);
    Memo2_Lines_Add(kTag, "");
    Memo2_Lines_Add(kTag, "< 80 >");
    // A short reply must not be completed by what an earlier port answered.
    ReplyBuffer.fill(0);
    ReplyComplete = 0;
    ReceivedCount = 0;
    const uint8_t probe = Cmd::IdentifyProbe;
    Comm1_WriteCommData(&probe, 1);
    waitForReply(clock.tick() + 1000);
    Comm1.ClosePort();
    if (ReplyComplete && ReplyBuffer[1] == Cmd::replyTo(Cmd::IdentifyProbe)) {
      found = true;
      break;
    }
    bar.setFraction(uint64_t(count - 1 - i), uint64_t(count));
  }
  if (!found) {
    bar.toMax();
    return false;
  }

  std::copy_n(ReplyBuffer.begin() + 2, 8, ModuleIdentity.begin());
  const std::string auxText = identityText(ModuleIdentity.data());
  const std::string idText = identityText(ModuleIdentity.data() + 4);

  const Identification id = identifyModule(ReplyBuffer.data(), ReplyBuffer.size(), BuildMode);
  if (id.result == IdentifyResult::UnknownHardware || id.result == IdentifyResult::ProgramError) {
    if (id.result == IdentifyResult::ProgramError) ModuleGeneration = OstrelIII;
    const bool programError = id.result == IdentifyResult::ProgramError;
    const std::string_view code = programError ? FaultCode::k0003 : FaultCode::k0001;
    ReportFault(code);
    bar.toMax();
    const std::string text = programError ? Prompt(Msg::ProgramError) + " " +
                                                Prompt(Msg::FaultPrefix) + std::string(code)
                                          : Prompt(Msg::UpdateSoftware);
    host.messageBox(programError ? Msg::ProgramError : Msg::UpdateSoftware, text, WindowCaption,
                    MsgBoxKind::Warning, MsgBoxButtons::Ok);
    return false;
  }

  ModuleGeneration = id.generation;
  SectorCount = id.sectorCount;
  TwoChipFlash = id.twoChipFlash;
  if (id.setsChip0) ChipStartSector[0] = id.chipStartSector[0];
  if (id.setsChip1) ChipStartSector[1] = id.chipStartSector[1];
  Comm1.setBaudRate(id.baudRate);
  Comm1.setParity(id.parity);
  Comm1.setStopBits(TStopBits::_2);
  try {
    Comm1.OpenPort();
  } catch (const ECommsError& e) {
    // The port vanished between the probe and the reopen: not connected.
    Memo1_Lines_Add(std::string(e.what()));
    bar.toMax();
    return false;
  }
  StaticText_AuxNo.text = StaticText_CUST_AuxNo.text = auxText;
  const std::string shownId =
      ModuleGeneration == OstrelIII ? ost3IdDisplayText(ModuleIdentity.data() + 4) : idText;
  StaticText_ID.text = StaticText_CUST_ID.text = StaticText_Cus_id2.text = shownId;
  for (const std::string& line : hardwareLines(id)) Memo1_Lines_Add(line);
  Memo1_Lines_Add("");
  bar.toMax();
  return true;
}

}  // namespace ostrel
