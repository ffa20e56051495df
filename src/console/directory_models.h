// The models behind the console's department tree and account lists, built
// from a directory snapshot, and the proxy that sorts an account list.
//
// The models hold values only (the department tree and the rows, whose
// entries are shared with the snapshot they came from), never a pointer into
// a list that may change.
#pragma once

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/directory_admin.h"
#include "console/user_rows.h"

namespace corvan {

// The department tree: one column, the root unit at the top, children in
// display order.
class OrgTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  static constexpr int kCodeRole = Qt::UserRole;

  explicit OrgTreeModel(QObject* parent = nullptr);

  // Replaces the tree (a model reset).
  void SetTree(OrgTree tree);
  const OrgTree& Tree() const { return tree_; }
  // The index of the department of `code`; invalid when none has it.
  QModelIndex IndexOf(std::string_view code) const;
  // The code an index stands for; empty for an invalid index.
  static std::string CodeOf(const QModelIndex& index);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  QModelIndex IndexOfNode(int node) const;
  const std::vector<int>& ChildrenOf(const QModelIndex& parent) const;

  OrgTree tree_;
  std::vector<int> topLevel_;     // nodes without a parent, in tree order
  std::vector<int> rowInParent_;  // per node: its row under its parent
};

// An account list: display order, login name, display name, department path.
class UserListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kUserNameRole = Qt::UserRole;

  explicit UserListModel(QObject* parent = nullptr);

  // Replaces the rows (a model reset).
  void SetRows(std::vector<UserRow> rows);
  const std::vector<UserRow>& Rows() const { return rows_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  std::vector<UserRow> rows_;
};

// Sorts an account list by CompareRows; the proxy's stable sort keeps equal
// rows in directory order in both directions.
class UserSortProxy : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit UserSortProxy(UserListModel* source, QObject* parent = nullptr);
  // Sorts by `state`.
  void Apply(const SortState& state);

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  UserListModel* source_;
};

// The image list of the tree and the lists: 0 the organisation, 1 a
// department, 2 an account.
QIcon OrgImage(int index);

}  // namespace corvan
