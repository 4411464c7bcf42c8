#include "app/gui/catalogue_widgets.h"

#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <algorithm>
#include <numeric>

#include "app/gui/qt_convert.h"

namespace ostrel {

namespace {

// The space column (units) is the third and reads right-aligned.
constexpr int kSpaceColumn = 2;
// The names give way to a narrow list down to this width each.
constexpr int kMinNameWidth = 40;

// Signals the widget raises while it is refreshed from its model are no
// user events.
struct Refreshing {
  explicit Refreshing(int& depth) : depth_(depth) { ++depth_; }
  ~Refreshing() { --depth_; }
  int& depth_;
};

}  // namespace

// ---------------------------------------------------------------- list

CatalogueList::CatalogueList(ListView& model, ListEvents events, QWidget* parent)
    : QTreeWidget(parent), model_(model), events_(std::move(events)) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(model.multiSelect ? QAbstractItemView::ExtendedSelection
                                     : QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setTextElideMode(Qt::ElideRight);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  connect(this, &QTreeWidget::itemSelectionChanged, this, [this] { userSelectionChanged(); });
  connect(this, &QTreeWidget::currentItemChanged, this, [this] { userCurrentChanged(); });
  connect(this, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { userDoubleClicked(item); });
}

bool CatalogueList::inStep() const {
  return shownRevision_ == model_.revision && shown_.size() == model_.items.size() &&
         size_t(topLevelItemCount()) == shown_.size();
}

CatalogueList::Shown CatalogueList::shownOf(const ListItem& item) const {
  Shown s;
  // The hidden sub-item names the directory or row; it is never shown.
  s.key = item.caption + '\n' + (item.subItems.size() > 2 ? item.subItems[2] : std::string());
  const size_t columns = std::max<size_t>(1, model_.columns.size());
  s.cells.push_back(item.caption);
  for (size_t i = 0; i + 1 < columns && i < item.subItems.size() && i < 2; ++i)
    s.cells.push_back(item.subItems[i]);
  s.textColor = item.textColor;
  s.bold = item.bold;
  return s;
}

void CatalogueList::sync() {
  Refreshing refreshing(syncing_);
  applyColumns();
  syncItems();
  applySelection();
}

bool CatalogueList::syncItems() {
  if (inStep()) return true;
  std::vector<Shown> want;
  want.reserve(model_.items.size());
  for (const ListItem& item : model_.items) want.push_back(shownOf(item));
  const bool sameItems = want.size() == shown_.size() &&
                         size_t(topLevelItemCount()) == shown_.size() &&
                         std::equal(want.begin(), want.end(), shown_.begin(),
                                    [](const Shown& a, const Shown& b) { return a.key == b.key; });
  if (sameItems) {
    // Only the look or the selection changed: the view stays where it is.
    for (size_t i = 0; i < want.size(); ++i) applyItem(topLevelItem(int(i)), want[i]);
    shown_ = std::move(want);
  } else {
    rebuild(std::move(want));
  }
  shownRevision_ = model_.revision;
  fitColumns();
  return sameItems;
}

void CatalogueList::applyColumns() {
  const bool same = model_.columns.size() == shownColumns_.size() &&
                    std::equal(model_.columns.begin(), model_.columns.end(), shownColumns_.begin(),
                               [](const ListColumn& a, const ListColumn& b) {
                                 return a.caption == b.caption && a.width == b.width;
                               });
  if (same && !shownColumns_.empty()) return;
  shownColumns_ = model_.columns;
  QStringList captions;
  for (const ListColumn& c : model_.columns) captions << qs(c.caption);
  setColumnCount(int(std::max<size_t>(1, model_.columns.size())));
  setHeaderLabels(captions);
  if (columnCount() > kSpaceColumn)
    headerItem()->setTextAlignment(kSpaceColumn, Qt::AlignRight | Qt::AlignVCenter);
  // Items made for other columns are made again.
  shownRevision_ = ~0ull;
  shown_.clear();
  fitInputs_.clear();
}

void CatalogueList::rebuild(std::vector<Shown> want) {
  // The item at the top of the view stays there when it is listed again
  // (a refresh of the same directory); another directory starts at the top.
  std::string topKey;
  if (QTreeWidgetItem* top = itemAt(0, 0)) {
    const int i = indexOfTopLevelItem(top);
    if (i >= 0 && size_t(i) < shown_.size()) topKey = shown_[size_t(i)].key;
  }
  clear();
  shown_ = std::move(want);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(qsizetype(shown_.size()));
  QTreeWidgetItem* keep = nullptr;
  for (const Shown& s : shown_) {
    auto* row = new QTreeWidgetItem;
    applyItem(row, s);
    if (!topKey.empty() && s.key == topKey) keep = row;
    rows << row;
  }
  addTopLevelItems(rows);
  if (keep) {
    scrollToItem(keep, QAbstractItemView::PositionAtTop);
  } else {
    scrollToTop();
  }
}

void CatalogueList::applyItem(QTreeWidgetItem* row, const Shown& want) {
  for (int col = 0; col < columnCount(); ++col) {
    const QString text = size_t(col) < want.cells.size() ? qs(want.cells[size_t(col)]) : QString();
    if (row->text(col) != text) row->setText(col, text);
    if (col == kSpaceColumn) row->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
    // Newly added software (and the directories holding it) is drawn bold
    // in the model's colour; other items in the list's own font and colour.
    QFont bold;
    bold.setBold(true);
    row->setData(col, Qt::FontRole, want.bold ? QVariant(bold) : QVariant());
    if (want.textColor == Colors::kWindowText) {
      row->setData(col, Qt::ForegroundRole, QVariant());
    } else {
      row->setForeground(col, toQColor(want.textColor, palette()));
    }
  }
}

void CatalogueList::applySelection() {
  if (!inStep()) return;
  for (size_t i = 0; i < model_.items.size(); ++i) {
    QTreeWidgetItem* row = topLevelItem(int(i));
    if (row->isSelected() != model_.items[i].selected) row->setSelected(model_.items[i].selected);
  }
  const int focused = model_.itemFocused;
  QTreeWidgetItem* want =
      focused >= 0 && size_t(focused) < model_.items.size() ? topLevelItem(focused) : nullptr;
  if (currentItem() != want) {
    selectionModel()->setCurrentIndex(want ? indexFromItem(want) : QModelIndex(),
                                      QItemSelectionModel::NoUpdate);
  }
}

void CatalogueList::fitColumns() {
  const int n = int(model_.columns.size());
  if (n == 0) return;
  std::vector<int> widths;
  for (const ListColumn& c : model_.columns) widths.push_back(c.width);
  // The units are never cut: the space column is at least as wide as its
  // widest cell and its caption, whatever the designed width.
  int spaceNeeded = 0;
  if (n > kSpaceColumn) {
    spaceNeeded =
        std::max(sizeHintForColumn(kSpaceColumn), header()->sectionSizeHint(kSpaceColumn));
    widths[kSpaceColumn] = std::max(widths[kSpaceColumn], spaceNeeded);
  }
  const int room = viewport()->width();
  std::vector<int> inputs = widths;
  inputs.push_back(spaceNeeded);
  inputs.push_back(room);
  if (inputs == fitInputs_) return;  // keeps widths the user dragged
  fitInputs_ = inputs;
  // Wider than the list: the space column gives way down to what it needs,
  // then the two name columns evenly.
  int excess = std::accumulate(widths.begin(), widths.end(), 0) - room;
  if (n > kSpaceColumn && excess > 0) {
    const int give = std::min(excess, widths[kSpaceColumn] - spaceNeeded);
    widths[kSpaceColumn] -= give;
    excess -= give;
  }
  const int names = std::min(n, kSpaceColumn);
  for (int pass = 0; pass < 2 && excess > 0; ++pass) {
    for (int col = 0; col < names && excess > 0; ++col) {
      const int share = (excess + names - col - 1) / (names - col);
      const int give = std::min(share, std::max(0, widths[size_t(col)] - kMinNameWidth));
      widths[size_t(col)] -= give;
      excess -= give;
    }
  }
  for (int col = 0; col < n; ++col) setColumnWidth(col, widths[size_t(col)]);
}

bool CatalogueList::viewportEvent(QEvent* event) {
  // A vertical scroll bar coming or going changes the room for the columns.
  if (event->type() == QEvent::Resize) fitColumns();
  return QTreeWidget::viewportEvent(event);
}

bool CatalogueList::catchUp() {
  if (inStep()) return true;
  Refreshing refreshing(syncing_);
  if (syncItems()) return true;
  applySelection();
  return false;
}

void CatalogueList::userSelectionChanged() {
  // The core may have refilled the list since it was last shown: the user's
  // choice stands while the same items are listed; otherwise the model wins.
  if (syncing_ || !catchUp()) return;
  for (size_t i = 0; i < model_.items.size(); ++i)
    model_.items[i].selected = topLevelItem(int(i))->isSelected();
  model_.itemFocused = currentItem() ? indexOfTopLevelItem(currentItem()) : -1;
  if (events_.selectItem) events_.selectItem();
}

void CatalogueList::userCurrentChanged() {
  if (syncing_ || !catchUp()) return;
  model_.itemFocused = currentItem() ? indexOfTopLevelItem(currentItem()) : -1;
}

void CatalogueList::userDoubleClicked(QTreeWidgetItem* item) {
  if (syncing_ || !item || !catchUp()) return;
  model_.itemFocused = indexOfTopLevelItem(item);
  if (events_.dblClick) events_.dblClick();
}

void CatalogueList::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete && events_.keyDown) {
    events_.keyDown(kVirtualKeyDelete);
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Space && events_.keyPress) events_.keyPress(' ');
  QTreeWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------- tree

CatalogueTree::CatalogueTree(TreeView& model, TreeEvents events, QWidget* parent)
    : QTreeWidget(parent), model_(model), events_(std::move(events)) {
  setHeaderHidden(true);
  setColumnCount(1);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Deep folders in a narrow tree: a small indent, and a column as wide as
  // its names so the horizontal scroll bar reaches the deepest ones.
  setIndentation(12);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  connect(this, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { userCurrentChanged(current); });
  connect(this, &QTreeWidget::itemExpanded, this,
          [this](QTreeWidgetItem* item) { userExpanded(item, true); });
  connect(this, &QTreeWidget::itemCollapsed, this,
          [this](QTreeWidgetItem* item) { userExpanded(item, false); });
}

bool CatalogueTree::inStep() const {
  return shownRevision_ == model_.revision && items_.size() == model_.nodes.size();
}

int CatalogueTree::nodeOf(const QTreeWidgetItem* item) const {
  if (!item) return -1;
  const auto it = std::find(items_.begin(), items_.end(), item);
  return it == items_.end() ? -1 : int(it - items_.begin());
}

void CatalogueTree::sync() {
  Refreshing refreshing(syncing_);
  syncNodes();
  applyExpansion();
  const int selected = model_.selected;
  QTreeWidgetItem* want =
      selected >= 0 && size_t(selected) < items_.size() ? items_[size_t(selected)] : nullptr;
  if (currentItem() != want || (want && !want->isSelected())) {
    if (want) {
      setCurrentItem(want);
      scrollToItem(want);
    } else {
      setCurrentItem(nullptr);
      clearSelection();
    }
  }
}

bool CatalogueTree::syncNodes() {
  if (inStep()) return true;
  const bool sameNodes = model_.nodes.size() == shown_.size() && items_.size() == shown_.size() &&
                         std::equal(model_.nodes.begin(), model_.nodes.end(), shown_.begin(),
                                    [](const TreeNode& a, const TreeNode& b) {
                                      return a.text == b.text && a.parent == b.parent;
                                    });
  if (!sameNodes) {
    // The same view of the folders as before the refresh.
    const int h = horizontalScrollBar()->value();
    const int v = verticalScrollBar()->value();
    rebuild();
    applyExpansion();
    horizontalScrollBar()->setValue(h);
    verticalScrollBar()->setValue(v);
  }
  shownRevision_ = model_.revision;
  return sameNodes;
}

void CatalogueTree::applyExpansion() {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->isExpanded() != model_.nodes[i].expanded)
      items_[i]->setExpanded(model_.nodes[i].expanded);
}

void CatalogueTree::rebuild() {
  clear();
  items_.clear();
  shown_ = model_.nodes;
  for (size_t i = 0; i < model_.nodes.size(); ++i) {
    const TreeNode& node = model_.nodes[i];
    const QStringList text{qs(node.text)};
    // A parent is always an earlier node; anything else is shown at the top.
    auto* item = node.parent >= 0 && size_t(node.parent) < i
                     ? new QTreeWidgetItem(items_[size_t(node.parent)], text)
                     : new QTreeWidgetItem(this, text);
    items_.push_back(item);
  }
}

void CatalogueTree::userCurrentChanged(QTreeWidgetItem* current) {
  if (syncing_) return;
  if (!inStep()) {
    // Refilled since it was shown: the user's node stands while the same
    // folders are shown; otherwise the model's selection is shown again.
    Refreshing refreshing(syncing_);
    if (!syncNodes()) {
      sync();
      return;
    }
    applyExpansion();
  }
  const int node = nodeOf(current);
  if (node < 0 || node == model_.selected) return;
  model_.selected = node;
  if (events_.change) events_.change();
}

void CatalogueTree::userExpanded(QTreeWidgetItem* item, bool expanded) {
  if (syncing_ || !inStep()) return;
  const int node = nodeOf(item);
  if (node >= 0) model_.nodes[size_t(node)].expanded = expanded;
}

bool CatalogueTree::viewportEvent(QEvent* event) {
  // The column spans at least the visible width, so a selected folder is
  // marked across the tree; longer names still scroll sideways.
  if (event->type() == QEvent::Resize) header()->setMinimumSectionSize(viewport()->width());
  return QTreeWidget::viewportEvent(event);
}

void CatalogueTree::focusInEvent(QFocusEvent* event) {
  QTreeWidget::focusInEvent(event);
  // Only the focus coming from another control is an entry: the window
  // becoming active again (after a message box, say) is not.
  const Qt::FocusReason reason = event->reason();
  if (syncing_ || reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
  if (events_.enter) events_.enter();
}

}  // namespace ostrel
