#include "console/directory_models.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>

namespace corvan {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

const std::vector<int> kNoChildren;

}  // namespace

QIcon OrgImage(int index) {
  QStyle* style = QApplication::style();
  switch (index) {
    case 0: return style->standardIcon(QStyle::SP_DriveNetIcon);
    case 1: return style->standardIcon(QStyle::SP_DirIcon);
    default: return style->standardIcon(QStyle::SP_FileIcon);
  }
}

// --- Department tree ---------------------------------------------------------------

OrgTreeModel::OrgTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void OrgTreeModel::SetTree(OrgTree tree) {
  beginResetModel();
  tree_ = std::move(tree);
  topLevel_.clear();
  rowInParent_.assign(tree_.Nodes().size(), 0);
  for (int n : tree_.TreeOrder()) {
    const OrgTree::Node& node = tree_.At(n);
    if (node.parent < 0) {
      rowInParent_[static_cast<std::size_t>(n)] = static_cast<int>(topLevel_.size());
      topLevel_.push_back(n);
    }
    for (std::size_t row = 0; row < node.children.size(); ++row)
      rowInParent_[static_cast<std::size_t>(node.children[row])] = static_cast<int>(row);
  }
  endResetModel();
}

const std::vector<int>& OrgTreeModel::ChildrenOf(const QModelIndex& parent) const {
  if (!parent.isValid()) return topLevel_;
  if (parent.column() != 0) return kNoChildren;
  return tree_.At(static_cast<int>(parent.internalId())).children;
}

QModelIndex OrgTreeModel::IndexOfNode(int node) const {
  if (node < 0 || node >= static_cast<int>(tree_.Nodes().size())) return {};
  return createIndex(rowInParent_[static_cast<std::size_t>(node)], 0, static_cast<quintptr>(node));
}

QModelIndex OrgTreeModel::IndexOf(std::string_view code) const { return IndexOfNode(tree_.Find(code)); }

std::string OrgTreeModel::CodeOf(const QModelIndex& index) {
  return index.isValid() ? index.data(kCodeRole).toString().toStdString() : std::string();
}

QModelIndex OrgTreeModel::index(int row, int column, const QModelIndex& parent) const {
  const std::vector<int>& children = ChildrenOf(parent);
  if (column != 0 || row < 0 || row >= static_cast<int>(children.size())) return {};
  return createIndex(row, 0, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex OrgTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOfNode(tree_.At(static_cast<int>(child.internalId())).parent);
}

int OrgTreeModel::rowCount(const QModelIndex& parent) const { return static_cast<int>(ChildrenOf(parent).size()); }

int OrgTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant OrgTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const int n = static_cast<int>(index.internalId());
  const OrgTree::Node& node = tree_.At(n);
  switch (role) {
    case Qt::DisplayRole: return Q(node.record->organizename);
    case Qt::DecorationRole: return OrgImage(n == OrgTree::kRoot ? 0 : 1);
    case kCodeRole: return Q(node.record->organizeNo);
    default: return {};
  }
}

// --- Account lists --------------------------------------------------------------------

UserListModel::UserListModel(QObject* parent) : QAbstractTableModel(parent) {}

void UserListModel::SetRows(std::vector<UserRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

int UserListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int UserListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kUserColumns; }

QVariant UserListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const UserRow& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole: return Q(RowText(row, index.column()));
    case Qt::DecorationRole: return index.column() == 0 ? QVariant(OrgImage(2)) : QVariant();
    case kUserNameRole: return row.user ? Q(row.user->username) : QString();
    default: return {};
  }
}

QVariant UserListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case 0: return QStringLiteral("显示编序");
    case 1: return QStringLiteral("登录名");
    case 2: return QStringLiteral("显示名称");
    case 3: return QStringLiteral("组织");
    default: return {};
  }
}

Qt::ItemFlags UserListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

UserSortProxy::UserSortProxy(UserListModel* source, QObject* parent) : QSortFilterProxyModel(parent), source_(source) {
  setSourceModel(source);
}

void UserSortProxy::Apply(const SortState& state) {
  sort(state.column, state.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

bool UserSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const auto& rows = source_->Rows();
  return CompareRows(rows[static_cast<std::size_t>(left.row())], rows[static_cast<std::size_t>(right.row())],
                     left.column()) < 0;
}

}  // namespace corvan
