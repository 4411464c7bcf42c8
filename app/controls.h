// Models of the main window's controls: plain records the core reads and
// writes exactly as the window would, and the front-ends render by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// Colours as 0x00BBGGRR values; kWindowText stands for the desktop's own text colour.
namespace Colors {
inline constexpr uint32_t kWindowText = 0x80000008u;
inline constexpr uint32_t kBtnFace = 0x8000000Fu;
inline constexpr uint32_t kBlack = 0x000000u;
inline constexpr uint32_t kRed = 0x0000FFu;
inline constexpr uint32_t kGreen = 0x008000u;
inline constexpr uint32_t kBlue = 0xFF0000u;
inline constexpr uint32_t kSilver = 0xC0C0C0u;
inline constexpr uint32_t kWhite = 0xFFFFFFu;
}  // namespace Colors

enum class ControlKind : uint8_t {
  Panel,
  StaticText,
  Label,
  Button,
  ProgressBar,
  Memo,
  CheckBox,
  UpDown,
  Edit,
  ListView,
  TreeView,
};

struct Control {
  Control(ControlKind k, std::string n, std::string p)
      : kind(k), name(std::move(n)), parent(std::move(p)) {}
  ControlKind kind;
  std::string name;
  std::string parent;  // name of the panel it lies on; empty = the window itself
  bool visible = true;
  bool enabled = true;
  int left = 0, top = 0, width = 75, height = 21;
  int fontSize = 0;     // 0 = the window's font
  int fontCharset = 0;  // 0 = default, 136 Big5, 128 Shift-JIS
  std::string text;     // caption or text, UTF-8
  std::string hint;     // what the control shows, when no caption says it (a tooltip)
  uint32_t fontColor = Colors::kWindowText;
  uint32_t color = Colors::kBtnFace;  // background
};

struct Panel : Control {
  explicit Panel(std::string n, std::string p = {})
      : Control(ControlKind::Panel, std::move(n), std::move(p)) {}
};
struct StaticText : Control {
  explicit StaticText(std::string n, std::string p = {})
      : Control(ControlKind::StaticText, std::move(n), std::move(p)) {}
};
struct Label : Control {
  explicit Label(std::string n, std::string p = {})
      : Control(ControlKind::Label, std::move(n), std::move(p)) {}
};
struct Button : Control {
  explicit Button(std::string n, std::string p = {})
      : Control(ControlKind::Button, std::move(n), std::move(p)) {}
};
struct Edit : Control {
  explicit Edit(std::string n, std::string p = {})
      : Control(ControlKind::Edit, std::move(n), std::move(p)) {}
};
struct CheckBox : Control {
  explicit CheckBox(std::string n, std::string p = {})
      : Control(ControlKind::CheckBox, std::move(n), std::move(p)) {}
  bool checked = false;
};
struct ProgressBar : Control {
  explicit ProgressBar(std::string n, std::string p = {})
      : Control(ControlKind::ProgressBar, std::move(n), std::move(p)) {}
  int min = 0;
  int max = 100;
  int position = 0;
  void toMax() { position = max; }
  void reset() { position = min; }
  // position × maximum ÷ total, the rule every long operation uses
  void setFraction(uint64_t done, uint64_t total) {
    position = total ? int(uint64_t(done) * uint64_t(max) / total) : 0;
  }
};
struct UpDown : Control {
  explicit UpDown(std::string n, std::string p = {})
      : Control(ControlKind::UpDown, std::move(n), std::move(p)) {}
  int min = 0;
  int max = 0;
  int position = 0;
};
struct Memo : Control {
  explicit Memo(std::string n, std::string p = {})
      : Control(ControlKind::Memo, std::move(n), std::move(p)) {}
  std::vector<std::string> lines;
  uint64_t revision = 0;  // bumped on every change so a front-end redraws only what changed
  void add(std::string line) {
    lines.push_back(std::move(line));
    ++revision;
  }
  void clear() {
    lines.clear();
    ++revision;
  }
};

struct ListColumn {
  std::string caption;
  int width = 50;
};
struct ListItem {
  std::string caption;
  std::vector<std::string> subItems;
  bool selected = false;
  bool checked = false;
  uint32_t textColor = Colors::kWindowText;
  bool bold = false;
  int data = 0;  // index of the row this item shows
};
struct ListView : Control {
  explicit ListView(std::string n, std::string p = {})
      : Control(ControlKind::ListView, std::move(n), std::move(p)) {}
  std::vector<ListColumn> columns;
  std::vector<ListItem> items;
  int itemFocused = -1;
  bool checkBoxes = false;
  bool multiSelect = true;
  bool ownerDraw = false;  // rows coloured by the core's custom-draw rule
  uint64_t revision = 0;
  void clear() {
    items.clear();
    itemFocused = -1;
    ++revision;
  }
};

struct TreeNode {
  std::string text;
  int parent = -1;  // index of the parent node, -1 for a root
  bool expanded = false;
  int data = 0;
};
struct TreeView : Control {
  explicit TreeView(std::string n, std::string p = {})
      : Control(ControlKind::TreeView, std::move(n), std::move(p)) {}
  std::vector<TreeNode> nodes;
  int selected = -1;
  uint64_t revision = 0;
  void clear() {
    nodes.clear();
    selected = -1;
    ++revision;
  }
};

}  // namespace ostrel
