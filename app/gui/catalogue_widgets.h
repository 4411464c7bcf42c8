// The catalogue controls as Qt widgets: a list of items in columns and a
// directory tree. Their models stay the truth: a widget is refreshed from
// its model without calling into the core, and what the user selects reaches
// the model before the event is forwarded to the core.
#pragma once

#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"

namespace ostrel {

// Virtual-key code the core expects for the Delete key.
inline constexpr int kVirtualKeyDelete = 46;

// What a list forwards; an empty function is not forwarded.
struct ListEvents {
  std::function<void()> selectItem;    // the set of selected items changed
  std::function<void()> dblClick;      // an item was double-clicked (it is the focused one)
  std::function<void(int)> keyDown;    // the Delete key, as its virtual-key code
  std::function<void(char)> keyPress;  // the space key
};

// What a tree forwards.
struct TreeEvents {
  std::function<void()> change;  // the user selected another node
  std::function<void()> enter;   // the focus came to the tree from another control
};

class CatalogueList : public QTreeWidget {
 public:
  CatalogueList(ListView& model, ListEvents events, QWidget* parent);
  // Brings the widget in step with the model; calls nothing in the core.
  void sync();
  // The widget shows the items the model holds now.
  bool inStep() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  // The identity and look of an item as last shown.
  struct Shown {
    std::string key;  // caption and hidden sub-item: one directory or one row
    std::vector<std::string> cells;
    uint32_t textColor = Colors::kWindowText;
    bool bold = false;
  };
  Shown shownOf(const ListItem& item) const;
  void applyColumns();
  // Items (not the selection) in step with the model; true when the same
  // items stayed listed, false when the list was filled anew.
  bool syncItems();
  // Before a user event is reported: true when it still applies to the model.
  bool catchUp();
  void rebuild(std::vector<Shown> want);
  void applyItem(QTreeWidgetItem* row, const Shown& want);
  void applySelection();
  void fitColumns();
  void userSelectionChanged();
  void userCurrentChanged();
  void userDoubleClicked(QTreeWidgetItem* item);

  ListView& model_;
  ListEvents events_;
  uint64_t shownRevision_ = ~0ull;
  std::vector<Shown> shown_;
  std::vector<ListColumn> shownColumns_;
  std::vector<int> fitInputs_;  // what the column widths were last fitted to
  int syncing_ = 0;
};

class CatalogueTree : public QTreeWidget {
 public:
  CatalogueTree(TreeView& model, TreeEvents events, QWidget* parent);
  void sync();
  bool inStep() const;

 protected:
  void focusInEvent(QFocusEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  // Nodes in step with the model; true when the same folders stayed.
  bool syncNodes();
  void applyExpansion();
  void rebuild();
  int nodeOf(const QTreeWidgetItem* item) const;
  void userCurrentChanged(QTreeWidgetItem* current);
  void userExpanded(QTreeWidgetItem* item, bool expanded);

  TreeView& model_;
  TreeEvents events_;
  uint64_t shownRevision_ = ~0ull;
  std::vector<TreeNode> shown_;
  std::vector<QTreeWidgetItem*> items_;  // by node index
  int syncing_ = 0;
};

}  // namespace ostrel
