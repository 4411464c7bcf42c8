// The progress dialog: a caption, one line of text and a bar from 0 to 100.
#pragma once

#include "app/controls.h"

namespace ostrel {

class TForm_Wait {
 public:
  TForm_Wait() : Label_WaitInfo("Label_WaitInfo"), ProgressBar_Wait("ProgressBar_Wait") {
    Label_WaitInfo.left = 9;
    Label_WaitInfo.top = 10;
    Label_WaitInfo.width = 400;
    Label_WaitInfo.height = 18;
    Label_WaitInfo.fontSize = 16;
    ProgressBar_Wait.left = 9;
    ProgressBar_Wait.top = 39;
    ProgressBar_Wait.width = 400;
    ProgressBar_Wait.height = 30;
  }

  static constexpr int kClientWidth = 419;
  static constexpr int kClientHeight = 80;

  // Caption is message 23 in the build's language; Big5 or Shift-JIS label font.
  void FormCreate(const std::string& caption, int language) {
    Caption = caption;
    if (language == 1 || language == 2) Label_WaitInfo.fontCharset = 136;
    if (language == 3) Label_WaitInfo.fontCharset = 128;
  }
  // Shown without being modal; each showing starts empty.
  void Show() {
    Visible = true;
    FormShow();
  }
  void Close() {
    Visible = false;
    FormClose();
  }
  void FormShow() {
    ProgressBar_Wait.position = 0;
    Label_WaitInfo.text.clear();
  }
  void FormClose() { CenteredOnOwner = true; }

  std::string Caption;
  bool Visible = false;
  bool CenteredOnOwner = true;
  Label Label_WaitInfo;
  ProgressBar ProgressBar_Wait;
};

}  // namespace ostrel
