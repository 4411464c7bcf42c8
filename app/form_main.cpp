#include "app/form_main.h"

#include <cstdio>
#include <cstdlib>

#include "app/fault_codes.h"
#include "app/prompt_table.h"
#include "link/usb_driver.h"

namespace ostrel {

TForm_MAIN::TForm_MAIN(int buildMode, int language, Host& h, Clock& c, Transport& comm)
    : BuildMode(buildMode), Language(language), host(h), clock(c), Comm1(comm), Timer1(c, 3000) {
  registerControls();
  Timer1.OnTimer = [this] { Timer1Timer(); };
  ClickHandlers["Button_Debug_Window_Switch"] = [this] { Button_Debug_Window_SwitchClick(); };
  ClickHandlers["Button_Debug_Clear"] = [this] { Button_Debug_ClearClick(); };
  initFlashHandlers();
  initTableHandlers();
  Comm1.OnReceiveData = [this](const uint8_t* buffer, uint16_t length) {
    Comm1ReceiveData(buffer, length);
  };
}

TForm_MAIN::~TForm_MAIN() {
  Timer1.setEnabled(false);
  Comm1.OnReceiveData = nullptr;
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
  if (!c || handler == ClickHandlers.end() || !WindowEnabled || !c->enabled || !c->visible)
    return false;
  if (!c->parent.empty()) {
    Control* panel = findControl(c->parent);
    if (panel && (!panel->visible || !panel->enabled)) return false;
  }
  handler->second();
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
  if (OSVersionCode < 2 || OSVersionCode > 4) return;
  if (kind == 1) host.setPriorityClass(false);
  if (kind == 2) host.setPriorityClass(true);
}

void TForm_MAIN::setModuleButtonsEnabled(bool on) {
  for (Button* b : {&Button_Program, &Button_Verify, &Button_CHECK, &Button_Auto, &Button_Read,
                    &Button_QC, &Button_QC_Blank, &Button_QC_Loop, &Button_Erase, &Button_Install,
                    &Button_SelectAll_IN, &Button_ClearAll_IN, &Button_SelectAll_OUT,
                    &Button_ClearAll_OUT, &Button_DEL, &Button_DeleteIN})
    b->enabled = on;
}

void TForm_MAIN::FormCreate() {
  // 1. Language, debug filter, open-dialog folder.
  applyLanguage();
  CheckBox_Debug_fillter.checked = true;
  CheckBox_Debug_fillter.text = "Fillter";
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
  ModuleGeneration = 0;
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
  Timer1.setEnabled(false);
  setModuleButtonsEnabled(false);
  Button_LoadFile.enabled = false;
  ListView_FAT_OUT.clear();
  ListView_FAT_IN.clear();
  TreeView_FAT_OUT.clear();
  TreeView_FAT_IN.clear();

  // 3.
  OSVersionCode = GetOSVersionInfo();
  Comm1.setReadIntervalTimeout(10);

  // 4.
  for (Control* c :
       std::initializer_list<Control*>{&Button_Copy2Card, &Button1, &Button_CopyAll2Card,
                                       &Button_Cus_LoadFile, &Panel1_note, &Button3})
    c->visible = false;

  // 5. Layout, retry budget, file filter.
  RetryBudget = BuildMode == 2 ? 10 : 5;
  switch (BuildMode) {
    case 0:
      OpenDialogFilter = "Morvante binary |*.bn|Motorala S-Record |*.hx|Binary |*.bin";
      break;
    case 1:
      OpenDialogFilter = "Morvante binary |*.bn|Motorala S-Record |*.*|Binary |*.bin";
      break;
    default:
      OpenDialogFilter = "Morvante binary |*.bn";
      break;
  }
  ScreenSize screen = host.screenSize();
  if (BuildMode == 2)
    layoutCustomer(screen);
  else
    layoutEngineering();

  // 6. Title.
  WindowCaption = Prompt(0) + " ";
  if (BuildMode == 0) WindowCaption += Prompt(3) + " ";
  if (BuildMode == 1) WindowCaption += Prompt(2) + " ";
  WindowCaption += Prompt(1);
  Form_Wait.FormCreate(Prompt(23), Language);

  // 7. Status panel and step panels as wide as the window, status below the work area.
  for (Panel* p : {&Panel_Status, &Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4})
    p->width = WindowWidth;
  Panel_Status.left = 0;
  const Panel& above = BuildMode == 2 ? Panel_STEP2 : Panel_FAT_IN;
  Panel_Status.top = above.top + above.height;
  StaticText_Status2.width = WindowWidth - StaticText_Status1.width - 7;

  // 8. Content size on a screen larger than 800 x 600, otherwise maximised and sizeable.
  WindowHeight = Panel_Status.top + Panel_Status.height;
  if (screen.width > 800 || screen.height > 600) {
    WindowSizeable = false;
    WindowMaximized = false;
  } else {
    WindowSizeable = true;
    WindowMaximized = true;
  }
}

void TForm_MAIN::layoutEngineering() {
  Button_Auto.text = "AUTO";
  for (Control* c :
       std::initializer_list<Control*>{&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4,
                                       &ProgressBar2, &ProgressBar3, &Label3, &Label4, &Button2})
    c->visible = false;
  Button_Cus_LoadFile.enabled = false;

  // Flash-operation panel at the top left.
  Panel_Control.left = 0;
  Panel_Control.top = 0;
  Panel_Control.width = 330;
  Panel_Control.height = 330;
  struct Cell {
    Control* c;
    const char* caption;
  };
  const Cell buttons[] = {{&Button_LoadFile, "LOAD"},     {&Button_Erase, "ERASE"},
                          {&Button_Program, "PROGRAM"},   {&Button_Verify, "VERIFY"},
                          {&Button_CHECK, "CHECK"},       {&Button_Auto, "AUTO"},
                          {&Button_Read, "READ"},         {&Button_QC, "QC"},
                          {&Button_QC_Blank, "QC Blank"}, {&Button_QC_Loop, "QC Loop"},
                          {&Button_CF_test, "FAT Test"},  {&Button4, "Test"}};
  for (size_t i = 0; i < std::size(buttons); ++i) {
    Control* b = buttons[i].c;
    b->text = buttons[i].caption;
    b->left = 8 + int(i % 4) * 80;
    b->top = 8 + int(i / 4) * 30;
    b->width = 75;
    b->height = 25;
  }
  int y = 104;
  // A caption on the left and its field (a text or a bar) to its right.
  auto row = [&](Label& label, const char* caption, Control& field, int height, int step) {
    label.text = caption;
    label.left = 8;
    label.top = y + 2;
    label.width = 70;
    field.left = 80;
    field.top = y;
    field.width = 240;
    field.height = height;
    y += step;
  };
  row(Label_Device, "Device", StaticText_Device_1, 21, 26);
  row(Label_AuxNo, "Aux No.", StaticText_AuxNo, 21, 26);
  row(Label_ID, "ID", StaticText_ID, 21, 26);
  row(Label_LOAD, "Load", ProgressBar_LOAD, 18, 24);
  row(Label_PROG, "Program", ProgressBar_PROG, 18, 24);
  row(Label_CHECK, "Check", ProgressBar_CHECK, 18, 24);
  ProgressBar1.left = 80;
  ProgressBar1.top = y;
  ProgressBar1.width = 240;
  ProgressBar1.height = 18;
  y += 26;
  int x = 8;
  for (StaticText* t : {&StaticText_PROG_Size, &StaticText_PROG_FINISH, &StaticText_Checksum}) {
    t->left = x;
    t->top = y;
    t->width = 100;
    x += 106;
  }
  y += 26;
  StaticText_ReadStartAddr.left = 8;
  StaticText_ReadStartAddr.top = y;
  StaticText_ReadStartAddr.width = 50;
  UpDown_ReadStartAddr.left = 60;
  UpDown_ReadStartAddr.top = y;
  UpDown_ReadStartAddr.width = 17;
  StaticText_ReadStopAddr.left = 90;
  StaticText_ReadStopAddr.top = y;
  StaticText_ReadStopAddr.width = 50;
  UpDown_ReadStopAddr.left = 142;
  UpDown_ReadStopAddr.top = y;
  UpDown_ReadStopAddr.width = 17;
  StaticText_Software_ID.left = 170;
  StaticText_Software_ID.top = y;
  StaticText_Software_ID.width = 150;
  y += 26;
  Edit_FileName.left = 8;
  Edit_FileName.top = y;
  Edit_FileName.width = 312;

  // Timings and the debug log directly below.
  Panel_Debug.left = 0;
  Panel_Debug.top = Panel_Control.top + Panel_Control.height;
  Panel_Debug.width = 330;
  Panel_Debug.height = 330;
  x = 8;
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
  Memo2.height = 260;
  Button_Debug_Window_Switch.text = "Switch off";
  Button_Debug_Window_Switch.left = 8;
  Button_Debug_Window_Switch.top = 298;
  Button_Debug_Clear.text = "Clear";
  Button_Debug_Clear.left = 90;
  Button_Debug_Clear.top = 298;
  CheckBox_Debug_fillter.left = 172;
  CheckBox_Debug_fillter.top = 300;

  // Catalogue of the cartridge at the top right, loaded files below it.
  for (Panel* p : {&Panel_FAT_OUT, &Panel_FAT_IN}) {
    p->left = Panel_Control.width;
    p->width = 560;
    p->height = 330;
  }
  Panel_FAT_OUT.top = 0;
  Panel_FAT_IN.top = Panel_FAT_OUT.height;
  auto catalogue = [](Label& title, TreeView& tree, ListView& list) {
    title.left = 8;
    title.top = 4;
    title.width = 300;
    tree.left = 8;
    tree.top = 24;
    tree.width = 150;
    tree.height = 240;
    list.left = 164;
    list.top = 24;
    list.width = 388;
    list.height = 240;
    list.columns = {{"", 150}, {"", 150}, {"", 70}};
  };
  catalogue(Label_OUT, TreeView_FAT_OUT, ListView_FAT_OUT);
  catalogue(Label_IN, TreeView_FAT_IN, ListView_FAT_IN);
  // Each panel's buttons in one row under its lists.
  auto buttonRow = [](std::initializer_list<Button*> buttons) {
    int x = 8;
    for (Button* b : buttons) {
      b->left = x;
      b->top = 272;
      b->width = 100;
      x += 106;
    }
  };
  buttonRow({&Button_SelectAll_OUT, &Button_ClearAll_OUT, &Button_DEL});
  Label_FreeSpace.left = 8;
  Label_FreeSpace.top = 302;
  StaticText_FreeSpace.left = 90;
  StaticText_FreeSpace.top = 300;
  Label_TotalUseSpace.left = 200;
  Label_TotalUseSpace.top = 302;
  StaticText_TotalUseSpace.left = 282;
  StaticText_TotalUseSpace.top = 300;
  buttonRow({&Button_SelectAll_IN, &Button_ClearAll_IN, &Button_DeleteIN, &Button_Install});
  Label_TotalSelectSpace.left = 8;
  Label_TotalSelectSpace.top = 302;
  Label_TotalSelectSpace.width = 100;
  StaticText_TotalSelectSpace.left = 110;
  StaticText_TotalSelectSpace.top = 300;
  // The customer identity row is not part of this layout.
  for (Control* c : std::initializer_list<Control*>{
           &Label_CUST_Device, &Label_CUST_AuxNo, &Label_CUST_ID, &Label_Cus_id2,
           &Label_Cus_Card_Status2, &StaticText_CUST_Device_1, &StaticText_CUST_AuxNo,
           &StaticText_CUST_ID, &StaticText_Cus_id2, &StaticText_Cus_Card_Status2, &ProgressBar4})
    c->visible = false;

  WindowWidth = Panel_FAT_OUT.left + Panel_FAT_OUT.width;
  // Status lines and operator log below the catalogue panels.
  Panel_Status.height = 150;
  StaticText_Status1.left = 8;
  StaticText_Status1.top = 6;
  StaticText_Status1.width = 300;
  StaticText_Status2.left = 315;
  StaticText_Status2.top = 6;
  Memo1.left = 8;
  Memo1.top = 32;
  Memo1.width = WindowWidth - 16;
  Memo1.height = 110;
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
  Button1.visible = true;

  // Columns and list width by screen width.
  struct WidthRow {
    int upTo;
    int c0, c1, c2, listWidth;
  };
  static constexpr WidthRow widthRows[] = {{800, 80, 100, 45, 225},
                                           {1024, 150, 150, 45, 350},
                                           {1152, 170, 170, 70, 410},
                                           {INT32_MAX, 190, 190, 70, 480}};
  const WidthRow* wr = &widthRows[3];
  for (const WidthRow& r : widthRows)
    if (screen.width <= r.upTo) {
      wr = &r;
      break;
    }
  int treeWidth = 150;
  if (screen.width <= 800) {
    treeWidth = 130;
    for (Control* c : std::initializer_list<Control*>{&TreeView_FAT_IN, &TreeView_FAT_OUT,
                                                      &ListView_FAT_IN, &ListView_FAT_OUT})
      c->fontSize = 6;
  } else if (screen.width <= 1024) {
    treeWidth = 120;  // two panels and the copy buttons fit a 1024-pixel screen
    ListView_FAT_IN.fontSize = ListView_FAT_OUT.fontSize = 8;
  }
  // Heights by screen height.
  int listHeight, panelHeight, button3Gap;
  if (screen.height <= 600) {
    listHeight = 260;
    panelHeight = 405;
    button3Gap = 25;
    ProgressBar2.width = ProgressBar3.width = 130;
  } else if (screen.height <= 768) {
    listHeight = 350;
    panelHeight = 500;
    button3Gap = 30;
  } else {
    listHeight = 450;
    panelHeight = 600;
    button3Gap = 30;
  }

  auto catalogue = [&](Panel& panel, Label& title, TreeView& tree, ListView& list) {
    panel.width = treeWidth + wr->listWidth + 10;
    panel.height = panelHeight;
    title.left = 4;
    title.top = 4;
    title.width = panel.width - 8;
    tree.left = 2;
    tree.top = 24;
    tree.width = treeWidth;
    tree.height = listHeight;
    list.left = tree.left + tree.width + 4;  // lists right of their trees
    list.top = 24;
    list.width = wr->listWidth;
    list.height = listHeight;
    list.columns = {{"", wr->c0}, {"", wr->c1}, {"", wr->c2}};
  };
  catalogue(Panel_FAT_IN, Label_IN, TreeView_FAT_IN, ListView_FAT_IN);
  catalogue(Panel_FAT_OUT, Label_OUT, TreeView_FAT_OUT, ListView_FAT_OUT);
  Panel_FAT_IN.left = 0;
  Panel_FAT_IN.top = 0;
  // The copy buttons stand between the two panels.
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
  Panel_FAT_OUT.top = 0;

  // Rows under the lists, each 10 pixels below the previous one.
  int y = 24 + listHeight + 10;
  for (Label* l : {&Label_FreeSpace, &Label_TotalUseSpace, &Label_TotalSelectSpace}) l->width = 110;
  // Rows of 17 pixels keep BURN and its bars inside the panel's height.
  Label_FreeSpace.left = 4;
  Label_FreeSpace.top = y;
  StaticText_FreeSpace.left = 120;
  StaticText_FreeSpace.top = y;
  for (Control* c :
       std::initializer_list<Control*>{&Label_FreeSpace, &StaticText_FreeSpace,
                                       &Label_TotalUseSpace, &StaticText_TotalUseSpace})
    c->height = 17;
  y += 17 + 10;
  Label_TotalUseSpace.left = 4;
  Label_TotalUseSpace.top = y;
  StaticText_TotalUseSpace.left = 120;
  StaticText_TotalUseSpace.top = y;
  y += 17 + 10;
  // S/N row.
  Label_Cus_id2.left = 20;
  StaticText_Cus_id2.left = 120;
  Label_Cus_Card_Status2.left = 250;
  StaticText_Cus_Card_Status2.left = 350;
  for (Control* c :
       std::initializer_list<Control*>{&Label_Cus_id2, &StaticText_Cus_id2, &Label_Cus_Card_Status2,
                                       &StaticText_Cus_Card_Status2}) {
    c->top = y;
    c->height = 21;
  }
  StaticText_Cus_id2.width = 120;
  // Narrow enough to leave room for Delete inside the panel on a 1024-pixel screen.
  StaticText_Cus_Card_Status2.width = 76;
  StaticText_Cus_Card_Status2.fontSize = 8;
  Button_DEL.width = 40;
  Button_DEL.fontSize = 8;
  Button_DEL.left = StaticText_Cus_Card_Status2.left + StaticText_Cus_Card_Status2.width + 10;
  Button_DEL.top = StaticText_Cus_Card_Status2.top;
  Button_DEL.height = StaticText_Cus_Card_Status2.height;
  const int snRowBottom = y + 21;
  // Device and ID fields of the customer layout sit on the title row of the cartridge panel.
  Label_CUST_Device.visible = false;
  StaticText_CUST_Device_1.visible = false;
  Label_CUST_ID.visible = false;
  StaticText_CUST_ID.visible = false;

  // Selected-space row and LOAD in the loaded-files panel.
  int yi = 24 + listHeight + 10;
  Label_TotalSelectSpace.left = 4;
  Label_TotalSelectSpace.top = yi;
  StaticText_TotalSelectSpace.left = 120;
  StaticText_TotalSelectSpace.top = yi;
  yi += 21 + 10;
  Button2.parent = "Panel_FAT_IN";
  Button2.left = 4;
  Button2.top = yi;
  ProgressBar4.parent = "Panel_FAT_IN";
  ProgressBar4.left = Button2.left + Button2.width + 100;
  ProgressBar4.top = yi;
  ProgressBar4.width = 150;
  // BURN under the S/N row with its two progress bars.
  for (Control* c : std::initializer_list<Control*>{&Button1, &Label3, &ProgressBar2, &Label4,
                                                    &ProgressBar3, &Button3})
    c->parent = "Panel_FAT_OUT";
  Button1.left = 20;
  Button1.top = snRowBottom + 10;
  Label3.width = Label4.width = 90;
  Label3.height = Label4.height = ProgressBar2.height = ProgressBar3.height = 15;
  Label3.left = Button1.left + Button1.width + 25;
  Label3.top = Button1.top - 3;
  ProgressBar2.left = Label3.left + Label3.width + 60;
  ProgressBar2.top = Label3.top;
  Label4.left = Label3.left;
  Label4.top = Label3.top + 17;
  ProgressBar3.left = ProgressBar2.left;
  ProgressBar3.top = Label4.top;
  if (ProgressBar2.width == 75) ProgressBar2.width = ProgressBar3.width = 150;
  Button3.text = std::string(button3Caption(Language));
  Button3.left = Button1.left;
  Button3.top = Button1.top + Button1.height + button3Gap;
  Button3.visible = false;
  Button3.enabled = false;

  WindowWidth = Panel_FAT_OUT.left + Panel_FAT_OUT.width;
  // Step panels stacked under the catalogue panels; step 1 shows first.
  for (Panel* p : {&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4}) {
    p->left = 0;
    p->top = panelHeight;
    p->height = 160;
  }
  for (int s = 0; s < 4; ++s) {
    StepCaption[size_t(s)].left = 8;
    StepCaption[size_t(s)].top = 8;
    StepCaption[size_t(s)].width = 120;
    StepTitle[size_t(s)].left = 130;
    StepTitle[size_t(s)].top = 8;
    StepTitle[size_t(s)].width = 400;
    StepNote[size_t(s)].left = 8;
    StepNote[size_t(s)].top = 34;
    StepNote[size_t(s)].width = WindowWidth - 16;
    StepNote[size_t(s)].height = 120;
  }
  SetStepPanel(1);
  Panel_Status.height = 130;
  StaticText_Status1.left = 8;
  StaticText_Status1.top = 6;
  StaticText_Status1.width = 300;
  StaticText_Status2.left = 315;
  StaticText_Status2.top = 6;
  Memo1.left = 8;
  Memo1.top = 32;
  Memo1.width = WindowWidth - 16;
  Memo1.height = 90;
}

void TForm_MAIN::SetStepPanel(int step) {
  VisibleStep = step;
  Panel* panels[] = {&Panel_STEP1, &Panel_STEP2, &Panel_STEP3, &Panel_STEP4};
  for (int i = 0; i < 4; ++i) {
    bool on = (i + 1) == step;
    panels[i]->color = on ? Colors::kSilver : Colors::kWhite;
    panels[i]->visible = on && BuildMode == 2;
  }
}

void TForm_MAIN::FormShow() {
  ShowConnectionState(Prompt(24), Colors::kBlack);
  if (OSVersionCode == 1)
    host.messageBox(Prompt(64), WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
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
      host.messageBox("Usb driver change failed!", WindowCaption, MsgBoxKind::Information,
                      MsgBoxButtons::Ok);
    }
    return;  // no detection in this run
  }
  Timer1.setInterval(1000);
  Timer1.setEnabled(true);
}

void TForm_MAIN::FormClose() {
  Timer1.setEnabled(false);
  if (Connected && ModuleGeneration <= 1) {
    RequestBuffer[0] = 0x81;
    RequestBuffer[1] = 0x90;
    Send_Package(RequestBuffer.data(), 1, 300, 300);
  }
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
    host.messageBox(message, WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
  return ok;
}

// ---------------------------------------------------------------- reporting

void TForm_MAIN::Memo1_Lines_Add(const std::string& line) {
  Memo1.add(line);
}

void TForm_MAIN::Memo2_Lines_Add(const std::string& category, const std::string& line) {
  if (!DebugSwitch) return;
  if (CheckBox_Debug_fillter.checked && !category.empty()) return;
  Memo2.add(line);
}

void TForm_MAIN::ShowStatus1(const std::string& text) {
  StaticText_Status1.text = text;
  Memo1_Lines_Add(text);
}

void TForm_MAIN::ClearStatus2() {
  StaticText_Status2.text.clear();
}

void TForm_MAIN::ReportFault(std::string_view code) {
  std::string line = Prompt(63) + std::string(code);
  StaticText_Status2.text = line;
  Memo1_Lines_Add(line);
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

void TForm_MAIN::ReportSuccess(const std::string& text, bool wholeCartridge) {
  ShowStatus1(text);
  if (wholeCartridge) Beep(1);
  if (BuildMode == 2)
    host.messageBox(text, WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
}

void TForm_MAIN::ReportFailure(const std::string& text, std::string_view faultCode,
                               bool wholeCartridge) {
  if (!faultCode.empty()) ReportFault(faultCode);
  ShowStatus1(text);
  if (wholeCartridge) {
    Beep(3);
    Memo1.fontColor = Colors::kRed;
  }
  if (BuildMode == 2) host.messageBox(text, WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
}

void TForm_MAIN::ReportCancel(const std::string& text) {
  ShowStatus1(text);
  if (BuildMode == 2)
    host.messageBox(text, WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
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
