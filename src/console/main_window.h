// The console's main window: the page control with the users page, the
// organisation page and the status page, the department tree, the two
// account lists, their context menus, and the status log.
//
// The window holds no directory data of its own: the tree and the lists are
// views of models built from the current directory snapshot, rebuilt after
// every change the console makes and whenever the directory tells of a
// change made elsewhere. List rows hold the account entries they show
// (shared with the snapshot), never a pointer into a list that may change.
//
// Everything runs on the window thread. Status-log lines, server state
// changes and directory changes arrive from any thread and are queued to it.
#pragma once

#include <QMainWindow>
#include <QModelIndex>
#include <QTreeView>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/directory_admin.h"
#include "console/user_rows.h"
#include "storage/directory.h"

class QAction;
class QDialog;
class QMenu;
class QPlainTextEdit;
class QTabWidget;
class QWidget;

namespace corvan {

class EditDepartmentDialog;
class NewDepartmentDialog;
class OrgTreeModel;
class Prompter;
class ServerCore;
class UserEditor;
class UserListModel;
class UserSortProxy;

// The department tree: reports mouse presses and takes drops of account rows
// from one list only.
class DepartmentTreeView : public QTreeView {
  Q_OBJECT

 public:
  explicit DepartmentTreeView(QWidget* parent = nullptr);
  // The only widget whose drags are accepted.
  void SetDragSource(QWidget* source) { dragSource_ = source; }

 signals:
  void MousePressed(const QModelIndex& index, Qt::MouseButton button);
  void Dropped(const QModelIndex& index);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QWidget* dragSource_ = nullptr;
};

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The first-show sequence: configuration, directory, tree, status page,
  // server start (unless `startServer` is false). False when the directory
  // could not be loaded; the server is then not started.
  bool FirstShow(bool startServer = true);

  // Rebuilds the tree from the directory; the current node stays current
  // when it still exists.
  bool BuildOrgTree();
  // The accounts of the department of `code` and below it (empty for none,
  // or for a code the tree does not have).
  void ShowOrgUsers(const std::optional<std::string>& code);
  void ShowAllUsers();
  // The tree's index of a code; invalid when none.
  QModelIndex FindOrgNode(const std::string& code) const;

  // Brings the tree and both lists up to date with changes made elsewhere
  // (the command-line tool, clients registering or changing their cards),
  // keeping the current department, the selections and the sort orders.
  // Waits while a dialog or a menu is open or a mouse button is held, and
  // tries again shortly. Runs whenever the directory tells of a change once
  // the directory is loaded.
  void FollowDirectory();

  // Status log: one line at the end; more than 1000 lines empty it.
  void LogStatus(const QString& line);
  // Empties the status log ("清空").
  void ClearStatusLog();
  // The status log's context menu.
  void SetStatusLogMenu(QMenu* menu);

  // Events and commands of the tree, the lists and their menus.
  void OrgTreeCurrentChanged(const QModelIndex& index);
  void OrgTreePressed(const QModelIndex& index, Qt::MouseButton button);
  void OrgTreeDoubleClicked();
  void DropUsersOnOrg(const QModelIndex& index);
  void SortOrgUsersByColumn(int column);
  void SortAllUsersByColumn(int column);
  void UpdateOrgMenu();
  void UpdateOrgUserMenu();
  void UpdateUserMenu();
  void NewUserFromList();
  void NewUserInOrg();
  void EditUserFromList();
  void EditUserInOrg();
  void DeleteUserFromList();
  void DeleteUserInOrg();
  void NewDepartment();
  void EditDepartment();
  void DeleteDepartment();
  void ShowUsersPage();
  void ShowOrgPage();
  void ShowStatusPage();
  void StartServer();
  void StopServer();

  // Runs a modal dialog; tests replace it to fill and confirm the dialog.
  std::function<int(QDialog&)> ExecDialog;
  // Started by the first show, after the directory is loaded and before the
  // server starts, when the settings ask to start minimised.
  std::function<void()> StartMinimized;

  // The node last made current in the tree (its code).
  std::optional<std::string> CurrentOrgNode;
  SortState OrgUserSort;  // the organisation page's list
  SortState AllUserSort;  // the users page's list
  const OrgTree& Tree() const;
  bool ServerRunning() const { return serverRunning_; }

 signals:
  // The server was started or stopped (on the window thread).
  void ServerStateChanged(bool running);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class Observer;

  void BuildPages();
  void BuildUsersPage();
  void BuildOrgPage();
  void BuildStatusPage();
  void BuildMenus();
  void BuildDialogs();
  void ConnectViews();
  QTreeView* MakeUserList(const char* name, UserListModel*& model, UserSortProxy*& proxy);
  // Refill a list from `snapshot` in its current sort order, keeping the
  // selection (the Show... commands reset the order first).
  void FillOrgUsers(const std::optional<std::string>& code, const DirectorySnapshot& snapshot);
  void FillAllUsers(const DirectorySnapshot& snapshot);
  void ShowRows(QTreeView* list, UserListModel* model, UserSortProxy* proxy, std::vector<UserRow> rows,
                const SortState& state);
  void ApplySort(QTreeView* list, UserSortProxy* proxy, const SortState& state);
  // Asks for FollowDirectory on the window thread; callable from any thread.
  void DirectoryChanged();
  void OpenNewUser(const std::optional<std::string>& preselect, bool fromOrgPage);
  void OpenUpdateUser(QTreeView* list);
  void DeleteSelectedUser(QTreeView* list);
  void OpenRename(const QModelIndex& index);
  // Selected rows' names, in list order.
  static std::vector<std::string> SelectedNames(const QTreeView* list);
  static void SelectNames(QTreeView* list, const std::vector<std::string>& names);
  std::optional<std::string> CurrentCode() const;
  void SetCurrentOrg(const QModelIndex& index);
  void ShowAdminError(const Status& result);
  // After a dialog's change: lists, tree, the department of `code`.
  void RefreshAfterOrgChange(const std::string& code);

  ServerCore& core_;
  Prompter& prompter_;
  std::unique_ptr<Observer> observer_;

  QTabWidget* pageControl_ = nullptr;
  QWidget* usersPage_ = nullptr;
  QWidget* orgPage_ = nullptr;
  QWidget* statusPage_ = nullptr;
  QPlainTextEdit* statusLog_ = nullptr;
  DepartmentTreeView* orgTree_ = nullptr;
  QTreeView* orgUserList_ = nullptr;
  QTreeView* userList_ = nullptr;
  OrgTreeModel* orgModel_ = nullptr;
  UserListModel* orgUserModel_ = nullptr;
  UserListModel* userModel_ = nullptr;
  UserSortProxy* orgUserProxy_ = nullptr;
  UserSortProxy* userProxy_ = nullptr;
  QMenu* orgMenu_ = nullptr;
  QMenu* orgUserMenu_ = nullptr;
  QMenu* userMenu_ = nullptr;
  UserEditor* userEditor_ = nullptr;
  NewDepartmentDialog* newOrgDialog_ = nullptr;
  EditDepartmentDialog* editOrgDialog_ = nullptr;

  // The entries each view was last built from: directory entries are
  // immutable and shared between snapshots, so a view is current exactly
  // when the snapshot's entries are the same objects.
  std::string shownCompany_;
  std::vector<DirectorySnapshot::OrgPtr> shownOrgs_;       // the tree
  std::vector<DirectorySnapshot::UserPtr> shownUsers_;     // the users page's list
  std::vector<DirectorySnapshot::UserPtr> shownOrgUsers_;  // the organisation page's list
  Directory::Subscription directoryWatch_;
  // A FollowDirectory is queued (set from any thread).
  std::atomic<bool> followQueued_{false};
  // A FollowDirectory waited for a dialog, a menu or a mouse button.
  bool followRetryQueued_ = false;
  // Tree rebuilds are not the administrator's choice of department.
  bool rebuildingTree_ = false;
  int statusLines_ = 0;
  bool firstShown_ = false;
  bool serverRunning_ = false;
};

}  // namespace corvan
