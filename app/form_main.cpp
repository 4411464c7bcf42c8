#include "app/form_main.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/fault_codes.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "link/usb_driver.h"

namespace ostrel {

TForm_MAIN::TForm_MAIN(int buildMode, int language, Host& h, Clock& c, Transport& comm)
    : BuildMode(BuildKind(buildMode)),
      Language(language),
      host(h),
      clock(c),
      Comm1(comm),
      Timer1(c, 3000),
      ProgressTimer(c, 500) {
  registerControls();
  Timer1.OnTimer = [this] { runHandler([this] { Timer1Timer(); }); };
  ProgressTimer.OnTimer = [this] { refreshProgress(); };
  ClickHandlers["Button_Debug_Window_Switch"] = [this] { Button_Debug_Window_SwitchClick(); };
  ClickHandlers["Button_Debug_Clear"] = [this] { Button_Debug_ClearClick(); };
  initFlashHandlers();
  initTableHandlers();
  initLoadHandlers();
  initViewHandlers();
  initSequenceHandlers();
  initInstallHandlers();
  initQcHandlers();
  Comm1.OnReceiveData = [this](const uint8_t* buffer, uint16_t length) {
    Comm1ReceiveData(buffer, length);
  };
  // Nothing answers on a line that hung up: closing the port ends every wait
  // for the module now, not when its time (200 s for an erase) runs out.
  Comm1.OnRequestHangup = [this] {
    Memo2_Lines_Add("OST3_Return_Value", "The line hung up: the port is closed");
    Comm1.ClosePort();
  };
}

TForm_MAIN::~TForm_MAIN() {
  Timer1.setEnabled(false);
  ProgressTimer.setEnabled(false);
  Comm1.OnReceiveData = nullptr;
  Comm1.OnRequestHangup = nullptr;
}

void TForm_MAIN::registerControls() {
  Controls = {&Panel_Control, &Panel_Debug, &Panel_FAT_OUT, &Panel_FAT_IN, &Panel_Status,
              &Panel_STEP1,   &Panel_STEP2, &Panel_STEP3,   &Panel_STEP4};
  for (int i = 0; i < 4; ++i) {
    Controls.push_back(&StepCaption[i]);
    Controls.push_back(&StepTitle[i]);
    Controls.push_back(&StepNote[i]);
  }
  for (Control* c : std::initializer_list<Control*>{&StaticText_Status1,
                                                    &StaticText_Status2,
                                                    &Memo1,
                                                    &Memo2,
                                                    &Button_Debug_Window_Switch,
                                                    &Button_Debug_Clear,
                                                    &CheckBox_Debug_fillter,
                                                    &StaticText_AllTime,
                                                    &StaticText_EraseTime,
                                                    &StaticText_ProgramTime,
                                                    &StaticText_VerifyTime,
                                                    &Button_LoadFile,
                                                    &Button_Erase,
                                                    &Button_Program,
                                                    &Button_Verify,
                                                    &Button_CHECK,
                                                    &Button_Auto,
                                                    &Button_Read,
                                                    &Button_QC,
                                                    &Button_QC_Blank,
                                                    &Button_QC_Loop,
                                                    &Button_CF_test,
                                                    &Button4,
                                                    &Label_Device,
                                                    &Label_AuxNo,
                                                    &Label_ID,
                                                    &StaticText_Device_1,
                                                    &StaticText_AuxNo,
                                                    &StaticText_ID,
                                                    &StaticText_PROG_Size,
                                                    &StaticText_PROG_FINISH,
                                                    &StaticText_Checksum,
                                                    &StaticText_Software_ID,
                                                    &StaticText_ReadStartAddr,
                                                    &StaticText_ReadStopAddr,
                                                    &Edit_FileName,
                                                    &ost4_read_sector_start,
                                                    &ost4_read_sector_stop,
                                                    &CheckBox_FastLink,
                                                    &UpDown_ReadStartAddr,
                                                    &UpDown_ReadStopAddr,
                                                    &ProgressBar1,
                                                    &ProgressBar_LOAD,
                                                    &ProgressBar_PROG,
                                                    &ProgressBar_CHECK,
                                                    &Label_LOAD,
                                                    &Label_PROG,
                                                    &Label_CHECK,
                                                    &Label_OUT,
                                                    &Label_IN,
                                                    &TreeView_FAT_OUT,
                                                    &TreeView_FAT_IN,
                                                    &ListView_FAT_OUT,
                                                    &ListView_FAT_IN,
                                                    &Button_SelectAll_OUT,
                                                    &Button_ClearAll_OUT,
                                                    &Button_DEL,
                                                    &Button_SelectAll_IN,
                                                    &Button_ClearAll_IN,
                                                    &Button_DeleteIN,
                                                    &Button_Install,
                                                    &Label_FreeSpace,
                                                    &Label_TotalUseSpace,
                                                    &Label_TotalSelectSpace,
                                                    &StaticText_FreeSpace,
                                                    &StaticText_TotalUseSpace,
                                                    &StaticText_TotalSelectSpace,
                                                    &Label_CUST_Device,
                                                    &Label_CUST_AuxNo,
                                                    &Label_CUST_ID,
                                                    &Label_Cus_id2,
                                                    &Label_Cus_Card_Status2,
                                                    &StaticText_CUST_Device_1,
                                                    &StaticText_CUST_AuxNo,
                                                    &StaticText_CUST_ID,
                                                    &StaticText_Cus_id2,
                                                    &StaticText_Cus_Card_Status2,
                                                    &Button_Copy2Card,
                                                    &Button1,
                                                    &Button_CopyAll2Card,
                                                    &Button_Cus_LoadFile,
                                                    &Button2,
                                                    &Button3,
                                                    &ProgressBar2,
                                                    &ProgressBar3,
                                                    &ProgressBar4,
                                                    &Label3,
                                                    &Label4,
                                                    &Panel1_note,
                                                    &Label_Note})
    Controls.push_back(c);
}

Control* TForm_MAIN::findControl(std::string_view name) {
  for (Control* c : Controls)
    if (c->name == name) return c;
  return nullptr;
}

bool TForm_MAIN::Click(std::string_view name) {
  Control* c = findControl(name);
  auto handler = ClickHandlers.find(name);
  if (!c || handler == ClickHandlers.end() || Closed || !WindowEnabled || !c->enabled ||
      !c->visible)
    return false;
  if (!c->parent.empty()) {
    Control* panel = findControl(c->parent);
    if (panel && (!panel->visible || !panel->enabled)) return false;
  }
  runHandler(handler->second);
  return true;
}

void TForm_MAIN::handleEvent(const std::function<void()>& handler) {
  if (Closed) return;
  runHandler(handler);
}

void TForm_MAIN::runHandler(const std::function<void()>& handler) {
  ++handlerDepth_;
  handler();
  --handlerDepth_;
  if (handlerDepth_ > 0 || !ClosePending || OperationRunning || Closed) return;
  FormClose();
  if (onDeferredClose) onDeferredClose();
}

bool TForm_MAIN::requestClose() {
  if (Closed) return true;
  // Waits for operations run without a handler too (the command line's, tests').
  if (handlerDepth_ > 0 || OperationRunning) {
    if (!ClosePending) ShowStatus1(std::string(closeDeferredText(Language)));
    ClosePending = true;
    return false;
  }
  FormClose();
  return true;
}

// ---------------------------------------------------------------- messages

std::string TForm_MAIN::Prompt(int message) const {
  if (message >= 22 && message <= 66) return cachedPrompts_[size_t(message)];
  return std::string(promptText(message, Language));
}

void TForm_MAIN::applyLanguage() {
  for (int m = 22; m <= 66; ++m) cachedPrompts_[size_t(m)] = std::string(promptText(m, Language));
  // Big5 / Shift-JIS fonts so catalogue names in the legacy code pages render.
  if (Language == 1 || Language == 2) {
    for (Control* c : std::initializer_list<Control*>{&TreeView_FAT_IN, &TreeView_FAT_OUT,
                                                      &ListView_FAT_IN, &ListView_FAT_OUT})
      c->fontCharset = 136;
  } else if (Language == 3) {
    for (Control* c : Controls) c->fontCharset = 128;
  }
  Button_Cus_LoadFile.text = std::string(cusLoadFileCaption(Language));
  Label_IN.text = Prompt(67);
  Label_OUT.text = Prompt(68);
  Label_FreeSpace.text = Prompt(69);
  Label_TotalUseSpace.text = Prompt(70);
  Label_TotalSelectSpace.text = Prompt(71);
  Button_DEL.text = Prompt(72);
  Button_DeleteIN.text = Prompt(72);
  Button_SelectAll_IN.text = Prompt(73);
  Button_SelectAll_OUT.text = Prompt(73);
  Button_ClearAll_IN.text = Prompt(74);
  Button_ClearAll_OUT.text = Prompt(74);
  Button_Install.text = Prompt(75);
  Button_Copy2Card.text = ">>";
  Button_CopyAll2Card.text = ">>>";
  Button1.text = Prompt(83);
  Button2.text = Prompt(20);
  Label3.text = Prompt(16);
  Label4.text = Prompt(17);
  Label_Cus_id2.text = Prompt(18);
  Label_Cus_Card_Status2.text = Prompt(19);
  for (int s = 0; s < 4; ++s) {
    StepCaption[size_t(s)].text = Prompt(4 + 3 * s);
    StepTitle[size_t(s)].text = Prompt(5 + 3 * s);
    StepNote[size_t(s)].text = Prompt(6 + 3 * s);
  }
  Label_Note.text = Prompt(84);
}

// ---------------------------------------------------------------- lifecycle

int TForm_MAIN::GetOSVersionInfo() {
  OsVersion v = host.osVersion();
  if (!v.ok) return 5;
  int code = (v.platformId >= 0 && v.platformId <= 2) ? v.platformId : 5;
  if (v.major == 5 && v.minor == 1) code = 2;
  if (v.major == 6 && v.minor == 0) code = 3;
  if (v.major == 6 && v.minor == 1) code = 4;
  return code;
}

void TForm_MAIN::SetPriority(int kind) {
  if (kind == 1 || kind == 2) PriorityKind = kind;
  if (OSVersionCode < 2 || OSVersionCode > 4) return;
  if (kind == 1) host.setPriorityClass(false);
  if (kind == 2) host.setPriorityClass(true);
}

// Every button whose operation needs a module: erase, program, verify, check,
// auto, read, quality control and the CF test, install (copy and BURN), select, delete, load.
void TForm_MAIN::setModuleButtonsEnabled(bool on) {
  for (Button* b : {&Button_Program,
                    &Button_Verify,
                    &Button_CHECK,
                    &Button_Auto,
                    &Button_Read,
                    &Button_QC,
                    &Button_QC_Blank,
                    &Button_QC_Loop,
                    &Button_CF_test,
                    &Button_Erase,
                    &Button_Install,
                    &Button_SelectAll_IN,
                    &Button_ClearAll_IN,
                    &Button_SelectAll_OUT,
                    &Button_ClearAll_OUT,
                    &Button_DEL,
                    &Button_DeleteIN,
                    &Button_Copy2Card,
                    &Button_CopyAll2Card,
                    &Button1,
                    &Button_LoadFile,
                    &Button_Cus_LoadFile,
                    &Button2})
    b->enabled = on;
}

void TForm_MAIN::FormCreate() {
  // 1. Language, debug filter, open-dialog folder.
  applyLanguage();
  CheckBox_Debug_fillter.checked = true;
  CheckBox_Debug_fillter.text = "Fillter";
  CheckBox_FastLink.text = "Fast link";
  CheckBox_FastLink.visible = BuildMode != CustomerBuild;
  ClickHandlers["CheckBox_FastLink"] = [this] { setFastLink(CheckBox_FastLink.checked); };
  OpenDialogInitialDir = host.programDirectory();

  // 2. Streams and start values.
  BlankBlock.Clear();
  MappingImage.Clear();
  FlashImage.Clear();
  ReadBuffer.Clear();
  SaveBuffer.Clear();
  PackageImage.Clear();
  Connected = OperationRunning = DetectPending = false;
  ReceiveMode = 1;
  ReplyComplete = 0;
  BusyCounter = 0;
  CommandSerial = 0;
  ModuleGeneration = OstrelI;
  SectorCount = 0;
  TwoChipFlash = false;
  ChipStartSector = {};
  ModuleIdentity = {};
  DebugSwitch = true;
  StaticText_PROG_Size.text = StaticText_PROG_FINISH.text = StaticText_Checksum.text = "00000000";
  for (StaticText* t : {&StaticText_AllTime, &StaticText_EraseTime, &StaticText_ProgramTime,
                        &StaticText_VerifyTime})
    t->text.clear();
  for (UpDown* u : {&UpDown_ReadStartAddr, &UpDown_ReadStopAddr}) {
    u->enabled = false;
    u->position = 0;
    u->max = 0;
  }
  StaticText_ReadStartAddr.text = StaticText_ReadStopAddr.text = "0000";
  ost4_read_sector_start.text = ost4_read_sector_stop.text = "0";
  Timer1.setEnabled(false);
  setModuleButtonsEnabled(false);
  ListView_FAT_OUT.clear();
  ListView_FAT_IN.clear();
  TreeView_FAT_OUT.clear();
  TreeView_FAT_IN.clear();

  // 3.
  OSVersionCode = GetOSVersionInfo();
  // The chosen framing: the fast link, or the quiet gap of ReadIntervalTimeout.
  CheckBox_FastLink.checked = FastLinkChosen;
  startChosenFraming();

  // 4.
  for (Control* c :
       std::initializer_list<Control*>{&Button_Copy2Card, &Button1, &Button_CopyAll2Card,
                                       &Button_Cus_LoadFile, &Panel1_note, &Button3})
    c->visible = false;

  // 5. Layout, retry budget, file filter.
  RetryBudget = BuildMode == CustomerBuild ? 10 : 5;
  switch (BuildMode) {
    case DebugBuild:
      OpenDialogFilter = "Morvante binary |*.bn|Motorala S-Record |*.hx|Binary |*.bin";
      break;
    case RndBuild:
      OpenDialogFilter = "Morvante binary |*.bn|Motorala S-Record |*.*|Binary |*.bin";
      break;
    default:
      OpenDialogFilter = "Morvante binary |*.bn";
      break;
  }
  ScreenSize screen = host.screenSize();
  if (BuildMode == CustomerBuild)
    layoutCustomer(screen);
  else
    layoutEngineering(screen);

  // 6. Title.
  WindowCaption = Prompt(0) + " ";
  if (BuildMode == DebugBuild) WindowCaption += Prompt(3) + " ";
  if (BuildMode == RndBuild) WindowCaption += Prompt(2) + " ";
  WindowCaption += Prompt(1);
  Form_Wait.FormCreate(Prompt(Msg::Busy), Language);

  // 7. Status panel and step panels as wide as the window, status below the work area.
  for (Panel* p : {&Panel_Status, &Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4})
    p->width = WindowWidth;
  Panel_Status.left = 0;
  const Panel& above = BuildMode == CustomerBuild ? Panel_STEP2 : Panel_FAT_IN;
  Panel_Status.top = above.top + above.height;
  layoutStatusPanel();

  // 8. Maximised and sizeable when the layout at its designed sizes does not
  // fit the screen (the layouts decide and give way), else at its content size.
  WindowHeight = Panel_Status.top + Panel_Status.height;
  WindowSizeable = WindowMaximized;
}

namespace {

// Room for the title bar and borders the desktop draws around the client area.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 36;

// A size that may give way so the window fits its screen, down to its floor.
struct Yield {
  int& size;
  int floor;
};

// Takes the excess from the sizes in order, none below its floor; returns what
// could not be taken.
int giveWay(int excess, std::initializer_list<Yield> order) {
  for (const Yield& y : order) {
    const int take = std::clamp(excess, 0, std::max(0, y.size - y.floor));
    y.size -= take;
    excess -= take;
  }
  return excess;
}

// A control of a row: its x and width in the row's panel.
struct Cell {
  Control* control;
  int x;
  int width;
};
// Controls side by side, all as high as the row.
struct Row {
  int height;
  std::vector<Cell> cells;
};

int rowsHeight(int gap, const std::vector<Row>& rows) {
  int h = 0;
  for (const Row& r : rows) h += gap + r.height;
  return h;
}

// Rows one under the other, each gap pixels below the previous; returns the
// y under the last.
int placeRows(int y, int gap, const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    y += gap;
    for (const Cell& c : r.cells) {
      c.control->left = c.x;
      c.control->top = y;
      c.control->width = c.width;
      c.control->height = r.height;
    }
    y += r.height;
  }
  return y;
}

// Both catalogue lists: brand, version and space columns of these widths.
std::vector<ListColumn> catalogueColumns(int brand, int version, int space) {
  return {{"Vehicle brand", brand}, {"Version information", version}, {"Space", space}};
}

template <typename T, size_t N>
const T& rowFor(const T (&rows)[N], int value) {
  for (const T& r : rows)
    if (value <= r.upTo) return r;
  return rows[N - 1];
}

}  // namespace

void TForm_MAIN::layoutEngineering(const ScreenSize& screen) {
  for (Control* c :
       std::initializer_list<Control*>{&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4,
                                       &ProgressBar2, &ProgressBar3, &Label3, &Label4, &Button2})
    c->visible = false;
  Button_Cus_LoadFile.enabled = false;
  // The customer identity row is not part of this layout.
  for (Control* c : std::initializer_list<Control*>{
           &Label_CUST_Device, &Label_CUST_AuxNo, &Label_CUST_ID, &Label_Cus_id2,
           &Label_Cus_Card_Status2, &StaticText_CUST_Device_1, &StaticText_CUST_AuxNo,
           &StaticText_CUST_ID, &StaticText_Cus_id2, &StaticText_Cus_Card_Status2, &ProgressBar4})
    c->visible = false;

  // Flash-operation panel at the top left: the buttons in rows of four, then
  // one captioned field per row.
  const struct {
    Button* button;
    const char* caption;
  } buttons[] = {
      {&Button_LoadFile, "LOAD"},    {&Button_Erase, "ERASE"},     {&Button_Program, "PROGRAM"},
      {&Button_Verify, "VERIFY"},    {&Button_CHECK, "CHECK"},     {&Button_Auto, "AUTO"},
      {&Button_Read, "READ"},        {&Button_QC, "QC Auto"},      {&Button_QC_Blank, "QC STEP1"},
      {&Button_QC_Loop, "QC STEP2"}, {&Button_CF_test, "CF_test"}, {&Button4, "Button4"}};
  for (size_t i = 0; i < std::size(buttons); ++i) {
    Button* b = buttons[i].button;
    b->text = buttons[i].caption;
    b->left = 8 + int(i % 4) * 80;
    b->top = 6 + int(i / 4) * 27;
    b->width = 75;
    b->height = 24;
  }
  Button4.visible = false;  // a developer's test, never offered
  const struct {
    Label* label;
    const char* caption;
  } captions[] = {{&Label_Device, "Device"}, {&Label_AuxNo, "Aux No."}, {&Label_ID, "ID"},
                  {&Label_LOAD, "Load"},     {&Label_PROG, "Program"},  {&Label_CHECK, "Check"}};
  for (const auto& c : captions) c.label->text = c.caption;
  // Fields without a caption of their own say what they show when pointed at.
  const struct {
    Control* field;
    ExtraText hint;
  } hints[] = {{&StaticText_PROG_Size, ExtraText::HintProgSize},
               {&StaticText_PROG_FINISH, ExtraText::HintProgFinish},
               {&StaticText_Checksum, ExtraText::HintChecksum},
               {&StaticText_ReadStartAddr, ExtraText::HintReadStart},
               {&UpDown_ReadStartAddr, ExtraText::HintReadStart},
               {&StaticText_ReadStopAddr, ExtraText::HintReadStop},
               {&UpDown_ReadStopAddr, ExtraText::HintReadStop},
               {&ost4_read_sector_start, ExtraText::HintOst4ReadStart},
               {&ost4_read_sector_stop, ExtraText::HintOst4ReadStop},
               {&StaticText_AllTime, ExtraText::HintAllTime},
               {&StaticText_EraseTime, ExtraText::HintEraseTime},
               {&StaticText_ProgramTime, ExtraText::HintProgramTime},
               {&StaticText_VerifyTime, ExtraText::HintVerifyTime},
               {&StaticText_Software_ID, ExtraText::HintSoftwareId},
               {&Edit_FileName, ExtraText::HintFileName},
               {&ProgressBar1, ExtraText::HintProgress}};
  for (const auto& h : hints) h.field->hint = std::string(extraText(h.hint, Language));
  auto captioned = [](int height, Label* label, Control& field) {
    return Row{height, {{label, 8, 70}, {&field, 80, 240}}};
  };
  const std::vector<Row> fields = {captioned(20, &Label_Device, StaticText_Device_1),
                                   captioned(20, &Label_AuxNo, StaticText_AuxNo),
                                   captioned(20, &Label_ID, StaticText_ID),
                                   captioned(18, &Label_LOAD, ProgressBar_LOAD),
                                   captioned(18, &Label_PROG, ProgressBar_PROG),
                                   captioned(18, &Label_CHECK, ProgressBar_CHECK),
                                   {18, {{&ProgressBar1, 80, 240}}},
                                   {20,
                                    {{&StaticText_PROG_Size, 8, 100},
                                     {&StaticText_PROG_FINISH, 114, 100},
                                     {&StaticText_Checksum, 220, 100}}},
                                   {20,
                                    {{&StaticText_ReadStartAddr, 8, 50},
                                     {&UpDown_ReadStartAddr, 60, 17},
                                     {&StaticText_ReadStopAddr, 90, 50},
                                     {&UpDown_ReadStopAddr, 142, 17},
                                     {&StaticText_Software_ID, 170, 150}}},
                                   {20, {{&Edit_FileName, 8, 312}}},
                                   {20,
                                    {{&ost4_read_sector_start, 8, 70},
                                     {&ost4_read_sector_stop, 90, 70},
                                     {&CheckBox_FastLink, 170, 150}}}};
  Panel_Control.left = 0;
  Panel_Control.top = 0;
  Panel_Control.width = 330;
  Panel_Control.height = placeRows(Button4.top + Button4.height, 2, fields) + 6;

  // The debug panel under it and the status panel at the bottom share what
  // the screen leaves; the two catalogue panels stand to the right.
  const int budgetWidth = screen.usableWidth() - kFrameWidth;
  const int budgetHeight = screen.usableHeight() - kFrameHeight;
  int catalogueWidth = 692;  // lists of 520: the designed columns and a scroll bar
  int debugHeight = 330;
  int statusHeight = 150;
  const int designedWidth = Panel_Control.width + catalogueWidth;
  const int designedHeight = Panel_Control.height + debugHeight + statusHeight;
  WindowMaximized = designedWidth > budgetWidth || designedHeight > budgetHeight;
  giveWay(designedWidth - budgetWidth, {{catalogueWidth, 420}});
  giveWay(designedHeight - budgetHeight,
          {{statusHeight, 100}, {debugHeight, 130}, {statusHeight, 64}});
  if (WindowMaximized) {
    // The catalogues and the log take what the screen offers.
    catalogueWidth = std::max(catalogueWidth, budgetWidth - Panel_Control.width);
    statusHeight = std::max(statusHeight, budgetHeight - Panel_Control.height - debugHeight);
  }
  WindowWidth = Panel_Control.width + catalogueWidth;

  Panel_Debug.left = 0;
  Panel_Debug.top = Panel_Control.top + Panel_Control.height;
  Panel_Debug.width = Panel_Control.width;
  Panel_Debug.height = debugHeight;
  int x = 8;
  for (StaticText* t : {&StaticText_AllTime, &StaticText_EraseTime, &StaticText_ProgramTime,
                        &StaticText_VerifyTime}) {
    t->left = x;
    t->top = 6;
    t->width = 75;
    x += 79;
  }
  Memo2.left = 8;
  Memo2.top = 32;
  Memo2.width = 314;
  Memo2.height = debugHeight - 32 - 34;
  Button_Debug_Window_Switch.text = "Switch off";
  Button_Debug_Clear.text = "Clear";
  placeRows(debugHeight - 34, 0,
            {{25,
              {{&Button_Debug_Window_Switch, 8, 75},
               {&Button_Debug_Clear, 90, 75},
               {&CheckBox_Debug_fillter, 172, 80}}}});

  // Catalogue of the cartridge at the top right, loaded files below it, the
  // two as high as the left column.
  const int columnHeight = Panel_Control.height + debugHeight;
  Panel_FAT_OUT.top = 0;
  Panel_FAT_OUT.height = columnHeight / 2;
  Panel_FAT_IN.top = Panel_FAT_OUT.height;
  Panel_FAT_IN.height = columnHeight - Panel_FAT_OUT.height;
  const int treeWidth = catalogueWidth >= 520 ? 150 : 110;
  auto catalogue = [&](Panel& panel, Label& title, TreeView& tree, ListView& list,
                       const std::vector<Row>& under) {
    panel.left = Panel_Control.width;
    panel.width = catalogueWidth;
    title.left = 8;
    title.top = 4;
    title.width = catalogueWidth - 16;
    title.height = 18;
    tree.left = 8;
    tree.top = 24;
    tree.width = treeWidth;
    tree.height = panel.height - tree.top - rowsHeight(6, under) - 4;
    list.left = tree.left + treeWidth + 6;
    list.top = 24;
    list.width = catalogueWidth - list.left - 8;
    list.height = tree.height;
    list.columns = catalogueColumns(200, 200, 90);
    placeRows(tree.top + tree.height, 6, under);
  };
  // Button widths hold the longest caption of the four languages.
  catalogue(
      Panel_FAT_OUT, Label_OUT, TreeView_FAT_OUT, ListView_FAT_OUT,
      {{24,
        {{&Button_SelectAll_OUT, 8, 75}, {&Button_ClearAll_OUT, 88, 110}, {&Button_DEL, 203, 60}}},
       {21,
        {{&Label_FreeSpace, 8, 80},
         {&StaticText_FreeSpace, 90, 100},
         {&Label_TotalUseSpace, 200, 80},
         {&StaticText_TotalUseSpace, 282, 100}}}});
  catalogue(Panel_FAT_IN, Label_IN, TreeView_FAT_IN, ListView_FAT_IN,
            {{24,
              {{&Button_SelectAll_IN, 8, 75},
               {&Button_ClearAll_IN, 88, 110},
               {&Button_DeleteIN, 203, 60},
               {&Button_Install, 268, 130}}},
             {21, {{&Label_TotalSelectSpace, 8, 100}, {&StaticText_TotalSelectSpace, 110, 100}}}});
  Panel_Status.height = statusHeight;
}

void TForm_MAIN::layoutCustomer(const ScreenSize& screen) {
  Panel_Control.visible = false;
  Panel_Debug.visible = false;
  for (Control* c : std::initializer_list<Control*>{
           &Button_Install, &Button_SelectAll_IN, &Button_ClearAll_IN, &Button_DeleteIN,
           &Button_SelectAll_OUT, &Button_ClearAll_OUT, &Label_CUST_AuxNo, &StaticText_CUST_AuxNo,
           &ProgressBar_LOAD, &ProgressBar_PROG, &ProgressBar_CHECK, &Label_LOAD, &Label_PROG,
           &Label_CHECK})
    c->visible = false;
  // Device and ID are shown by the S/N row of this layout.
  for (Control* c : std::initializer_list<Control*>{&Label_CUST_Device, &StaticText_CUST_Device_1,
                                                    &Label_CUST_ID, &StaticText_CUST_ID})
    c->visible = false;
  Button1.visible = true;

  // By screen width: the lists' columns and width, the trees' width (fixed on
  // the smallest screens, where the trees may give way otherwise), fonts, and
  // where the S/N row puts its fields. Below 1025 pixels the card status and
  // Delete take a row of their own under the S/N. Text stays at 8 points or
  // more on every screen, tall enough for accents: on the smallest the views
  // scroll rather than shrink it.
  struct WidthRow {
    int upTo;
    int c0, c1, c2, listWidth, treeWidth;
    int treeFont, listFont;
    bool statusOwnRow;
    int snLabelX, idX, statusLabelX, statusX, statusWidth;
    int barGap;  // between the progress labels and their bars
  };
  static constexpr WidthRow widthRows[] = {
      {800, 80, 100, 45, 225, 130, 8, 8, true, 4, 96, 4, 96, 156, 10},
      {1024, 150, 150, 45, 350, 150, 0, 8, true, 4, 96, 4, 96, 156, 60},
      {1152, 170, 170, 70, 410, 150, 0, 0, false, 4, 96, 200, 280, 150, 60},
      {INT32_MAX, 190, 190, 70, 480, 150, 0, 0, false, 20, 120, 250, 350, 160, 60}};
  struct HeightRow {
    int upTo;
    int listHeight, panelHeight, button3Gap, barWidth;
  };
  static constexpr HeightRow heightRows[] = {
      {600, 260, 405, 25, 130}, {768, 350, 500, 30, 150}, {INT32_MAX, 450, 600, 30, 150}};
  const WidthRow& wr = rowFor(widthRows, screen.width);
  const HeightRow& hr = rowFor(heightRows, screen.height);

  const int budgetWidth = screen.usableWidth() - kFrameWidth;
  const int budgetHeight = screen.usableHeight() - kFrameHeight;
  // The copy buttons stand in a column between the two panels.
  constexpr int kButtonColumn = 5 + 50 + 5;
  int treeWidth = wr.treeWidth;
  const bool widthFits =
      giveWay((2 * (treeWidth + wr.listWidth + 10) + kButtonColumn - budgetWidth + 1) / 2,
              {{treeWidth, 80}}) <= 0;
  const int panelWidth = treeWidth + wr.listWidth + 10;

  // Rows under the cartridge list, 10 pixels apart.
  const int delX = wr.statusX + wr.statusWidth + 10;
  Row snRow{21,
            {{&Label_Cus_id2, wr.snLabelX, wr.idX - wr.snLabelX - 5},
             {&StaticText_Cus_id2, wr.idX, wr.statusOwnRow ? 120 : wr.statusLabelX - wr.idX - 10}}};
  const Row statusRow{21,
                      {{&Label_Cus_Card_Status2, wr.statusLabelX, wr.statusX - wr.statusLabelX - 5},
                       {&StaticText_Cus_Card_Status2, wr.statusX, wr.statusWidth},
                       {&Button_DEL, delX, 50}}};
  std::vector<Row> outRows = {
      {16, {{&Label_FreeSpace, 4, 110}, {&StaticText_FreeSpace, 120, 100}}},
      {16, {{&Label_TotalUseSpace, 4, 110}, {&StaticText_TotalUseSpace, 120, 100}}}};
  if (wr.statusOwnRow) {
    outRows.push_back(snRow);
    outRows.push_back(statusRow);
  } else {
    snRow.cells.insert(snRow.cells.end(), statusRow.cells.begin(), statusRow.cells.end());
    outRows.push_back(snRow);
  }
  // BURN with its two labelled bars, labels and bars 15 high on two lines.
  constexpr int kBurnBlock = 30;
  const std::vector<Row> inRows = {
      {21, {{&Label_TotalSelectSpace, 4, 110}, {&StaticText_TotalSelectSpace, 120, 100}}},
      {21, {{&Button2, 4, 75}}}};

  // Heights: the catalogue panels, the step panels and the status panel.
  // The list keeps what the rows under it leave in its panel.
  int panelHeight = hr.panelHeight;
  int listHeight =
      std::min(hr.listHeight, panelHeight - 24 - rowsHeight(10, outRows) - 6 - kBurnBlock - 2);
  int stepHeight = 160;
  int statusHeight = 130;
  const int designedHeight = panelHeight + stepHeight + statusHeight;
  WindowMaximized = !widthFits || designedHeight > budgetHeight;
  constexpr int kMinListHeight = 150;
  const int panelFloor = panelHeight - std::max(0, listHeight - kMinListHeight);
  giveWay(designedHeight - budgetHeight,
          {{statusHeight, 100}, {stepHeight, 110}, {panelHeight, panelFloor}, {statusHeight, 64}});
  listHeight -= hr.panelHeight - panelHeight;
  WindowWidth = 2 * panelWidth + kButtonColumn;
  if (WindowMaximized) {
    WindowWidth = std::max(WindowWidth, budgetWidth);
    statusHeight = std::max(statusHeight, budgetHeight - panelHeight - stepHeight);
  }

  auto catalogue = [&](Panel& panel, Label& title, TreeView& tree, ListView& list) {
    panel.top = 0;
    panel.width = panelWidth;
    panel.height = panelHeight;
    title.left = 4;
    title.top = 4;
    title.width = panelWidth - 8;
    title.height = 18;
    tree.left = 2;
    tree.top = 24;
    tree.width = treeWidth;
    tree.height = listHeight;
    tree.fontSize = wr.treeFont;
    list.left = tree.left + treeWidth + 4;  // lists right of their trees
    list.top = 24;
    list.width = wr.listWidth;
    list.height = listHeight;
    list.fontSize = wr.listFont;
    list.columns = catalogueColumns(wr.c0, wr.c1, wr.c2);
  };
  catalogue(Panel_FAT_IN, Label_IN, TreeView_FAT_IN, ListView_FAT_IN);
  catalogue(Panel_FAT_OUT, Label_OUT, TreeView_FAT_OUT, ListView_FAT_OUT);
  Panel_FAT_IN.left = 0;
  const int buttonColumn = Panel_FAT_IN.left + Panel_FAT_IN.width + 5;
  const int heights[] = {100, 160, 220};
  Button* between[] = {&Button_Cus_LoadFile, &Button_Copy2Card, &Button_CopyAll2Card};
  for (int i = 0; i < 3; ++i) {
    between[i]->left = buttonColumn;
    between[i]->top = heights[i];
    between[i]->width = 50;
    between[i]->height = 40;
  }
  Panel_FAT_OUT.left = buttonColumn + 50 + 5;

  // The panels' inner right edge, inside their border.
  const int innerRight = panelWidth - 2;
  // BURN 10 pixels under the S/N row; its labels start a little higher.
  const int burnTop = placeRows(24 + listHeight, 10, outRows) + 6;
  for (Control* c : std::initializer_list<Control*>{&Button1, &Label3, &ProgressBar2, &Label4,
                                                    &ProgressBar3, &Button3})
    c->parent = "Panel_FAT_OUT";
  Button1.left = wr.snLabelX;
  Button1.top = burnTop + 4;
  Button1.height = 21;
  Label3.left = Label4.left = Button1.left + Button1.width + 25;
  Label3.width = Label4.width = 95;
  Label3.top = burnTop;
  Label4.top = burnTop + 15;
  ProgressBar2.left = ProgressBar3.left = Label3.left + Label3.width + wr.barGap;
  ProgressBar2.top = Label3.top;
  ProgressBar3.top = Label4.top;
  ProgressBar2.width = ProgressBar3.width = std::min(hr.barWidth, innerRight - ProgressBar2.left);
  for (Control* c : std::initializer_list<Control*>{&Label3, &Label4, &ProgressBar2, &ProgressBar3})
    c->height = 15;
  Button3.text = std::string(button3Caption(Language));
  Button3.left = Button1.left;
  Button3.top = Button1.top + Button1.height + hr.button3Gap;
  Button3.visible = false;
  Button3.enabled = false;

  // Selected space and LOAD with its bar in the loaded-files panel.
  Button2.parent = ProgressBar4.parent = "Panel_FAT_IN";
  placeRows(24 + listHeight, 10, inRows);
  ProgressBar4.left = Button2.left + Button2.width + 100;
  ProgressBar4.top = Button2.top;
  ProgressBar4.height = Button2.height;
  ProgressBar4.width = std::min(150, innerRight - ProgressBar4.left);

  // Step panels stacked under the catalogue panels; step 1 shows first.
  for (Panel* p : {&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4}) {
    p->left = 0;
    p->top = panelHeight;
    p->height = stepHeight;
  }
  for (size_t s = 0; s < 4; ++s) {
    placeRows(0, 6, {{18, {{&StepCaption[s], 8, 120}, {&StepTitle[s], 130, WindowWidth - 138}}}});
    StepNote[s].left = 8;
    StepNote[s].top = 30;
    StepNote[s].width = WindowWidth - 16;
    StepNote[s].height = stepHeight - 34;
  }
  SetStepPanel(1);
  Panel_Status.height = statusHeight;
}

void TForm_MAIN::layoutStatusPanel() {
  // StaticText_Status2 is as wide as the window less StaticText_Status1 and 7.
  StaticText_Status1.left = 2;
  StaticText_Status1.top = 4;
  StaticText_Status1.width = 300;
  StaticText_Status2.left = StaticText_Status1.left + StaticText_Status1.width + 3;
  StaticText_Status2.top = 4;
  StaticText_Status2.width = WindowWidth - StaticText_Status1.width - 7;
  Memo1.left = 2;
  Memo1.top = 30;
  Memo1.width = WindowWidth - 4;
  Memo1.height = Panel_Status.height - 32;
}

void TForm_MAIN::SetStepPanel(int step) {
  VisibleStep = step;
  Panel* panels[] = {&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4};
  for (int i = 0; i < 4; ++i) {
    bool on = (i + 1) == step;
    panels[i]->color = on ? Colors::kSilver : Colors::kWhite;
    panels[i]->visible = on && BuildMode == CustomerBuild;
  }
}

void TForm_MAIN::FormShow() {
  ShowConnectionState(Prompt(Msg::Detecting), Colors::kBlack);
  if (OSVersionCode == 1)
    host.messageBox(Msg::CloseOtherPrograms, Prompt(Msg::CloseOtherPrograms), WindowCaption,
                    MsgBoxKind::Information, MsgBoxButtons::Ok);
  if (OSVersionCode == 2 && is_sp3_driver()) {
    if (change_usb_driver()) {
      Panel1_note.left = Panel1_note.top = 0;
      Panel1_note.width = WindowWidth;
      Panel1_note.height = WindowHeight;
      Label_Note.left = Label_Note.top = 20;
      Label_Note.width = WindowWidth - 40;
      Label_Note.height = 60;
      Panel1_note.visible = true;
    } else {
      host.messageBox(Msg::UsbDriverFailed, "Usb driver change failed!", WindowCaption,
                      MsgBoxKind::Information, MsgBoxButtons::Ok);
    }
    return;  // no detection in this run
  }
  Timer1.setInterval(1000);
  Timer1.setEnabled(true);
}

void TForm_MAIN::FormClose() {
  if (Closed) return;
  Closed = true;
  ClosePending = false;
  Timer1.setEnabled(false);
  if (Connected && ModuleGeneration <= OstrelII) SendEndOfConnection();
  Comm1.ClosePort();
  BlankBlock.Clear();
  MappingImage.Clear();
  FlashImage.Clear();
  ReadBuffer.Clear();
  SaveBuffer.Clear();
  PackageImage.Clear();
}

namespace {
// The "windir" variable as the host hands it over: at most 254 characters.
std::string windirValue() {
  const char* v = std::getenv("windir");
  std::string s = v ? v : "";
  if (s.size() > 254) s.resize(254);
  return s;
}
}  // namespace

bool TForm_MAIN::is_sp3_driver() {
  return isOldDriverInstalled(windirValue());
}

bool TForm_MAIN::change_usb_driver() {
  std::string message;
  bool ok = replaceDriver(windirValue(), builtInDriverImage(), "usbser.sys", message);
  if (!message.empty())
    host.messageBox(Msg::UsbDriverNote, message, WindowCaption, MsgBoxKind::Information,
                    MsgBoxButtons::Ok);
  return ok;
}

// ---------------------------------------------------------------- reporting

// A log line can carry a catalogue text, a file or a port name as it came; both
// logs keep every line as displayText shows it, for the window and the command
// line alike.
void TForm_MAIN::Memo1_Lines_Add(const std::string& line) {
  Memo1.add(displayText(Language, line));
}

void TForm_MAIN::Memo2_Lines_Add(const std::string& category, const std::string& line) {
  if (!DebugSwitch) return;
  if (CheckBox_Debug_fillter.checked && !category.empty()) return;
  Memo2.add(displayText(Language, line));
}

void TForm_MAIN::ShowStatus1(const std::string& text) {
  StaticText_Status1.text = text;
  Memo1_Lines_Add(text);
}

void TForm_MAIN::ClearStatus2() {
  StaticText_Status2.text.clear();
}

void TForm_MAIN::ReportFault(std::string_view code) {
  std::string line = Prompt(Msg::FaultPrefix) + std::string(code);
  StaticText_Status2.text = line;
  Memo1_Lines_Add(line);
  LastOutcome.fault(code);
}

void TForm_MAIN::ReportStart(const std::string& text, bool wholeCartridge) {
  if (wholeCartridge) {
    Memo1.clear();
    Memo2.clear();
    Memo1.fontColor = Colors::kWindowText;
  }
  ClearStatus2();
  ShowStatus1(text);
}

void TForm_MAIN::Beep(int times) {
  for (int i = 0; i < times; ++i) host.beep();
}

void TForm_MAIN::ReportSuccess(int message, bool wholeCartridge) {
  const std::string text = Prompt(message);
  ShowStatus1(text);
  LastOutcome.settle(true, text);
  if (wholeCartridge) Beep(1);
  if (BuildMode == CustomerBuild)
    host.messageBox(message, text, WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
}

void TForm_MAIN::ReportFailure(int message, std::string_view faultCode, bool wholeCartridge) {
  if (!faultCode.empty()) ReportFault(faultCode);
  const std::string text = Prompt(message);
  ShowStatus1(text);
  LastOutcome.settle(false, text);
  if (wholeCartridge) {
    Beep(3);
    Memo1.fontColor = Colors::kRed;
  }
  if (BuildMode == CustomerBuild)
    host.messageBox(message, text, WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
}

void TForm_MAIN::ReportCancel(int message) {
  const std::string text = Prompt(message);
  ShowStatus1(text);
  LastOutcome.settle(false, text);
  LastOutcome.declined = true;
  if (BuildMode == CustomerBuild)
    host.messageBox(message, text, WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
}

void TForm_MAIN::Button_Debug_Window_SwitchClick() {
  if (DebugSwitch) {
    Memo2.enabled = false;
    DebugSwitch = false;
    Button_Debug_Window_Switch.text = "Switch On";
  } else {
    Memo2.enabled = true;
    DebugSwitch = true;
    Button_Debug_Window_Switch.text = "Switch Off";
  }
}

void TForm_MAIN::Button_Debug_ClearClick() {
  Memo2.clear();
}

void TForm_MAIN::ShowConnectionState(const std::string& text, uint32_t color) {
  for (StaticText* t : {&StaticText_Device_1, &StaticText_CUST_Device_1,
                        &StaticText_Cus_Card_Status2, &StaticText_Status1}) {
    t->text = text;
    t->fontColor = color;
  }
}

std::string TForm_MAIN::hexLine(const uint8_t* bytes, size_t count) const {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
    out += ' ';
  }
  return out;
}

}  // namespace ostrel
