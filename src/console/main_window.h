// The console's main window: the page control with the users page, the
// organisation page and the status page, the department tree, the two
// account lists, their context menus, and the status log.
//
// The window holds no directory data of its own: the tree and the lists are
// views of the current directory snapshot, rebuilt after every change the
// console makes. List rows hold the account entries they show (shared with
// the snapshot), never a pointer into a list that may change.
//
// Everything runs on the window thread. Status-log lines and server state
// changes arrive from any thread and are queued to it.
#pragma once

#include <QMainWindow>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/directory_admin.h"
#include "console/user_rows.h"

class QAction;
class QDialog;
class QMenu;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QWidget;

namespace corvan {

class Prompter;
class ServerCore;
class NewDepartmentDialog;
class EditDepartmentDialog;
class UserEditor;

// The department tree: reports mouse presses and takes drops of account rows
// from one list only.
class DepartmentTreeWidget : public QTreeWidget {
  Q_OBJECT

 public:
  explicit DepartmentTreeWidget(QWidget* parent = nullptr);
  // The only widget whose drags are accepted.
  void SetDragSource(QWidget* source) { dragSource_ = source; }

 signals:
  void MousePressed(QTreeWidgetItem* item, Qt::MouseButton button);
  void Dropped(QTreeWidgetItem* item);

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
  // The accounts of the department of `item` and below it (empty for none).
  void ShowOrgUsers(QTreeWidgetItem* item);
  void ShowAllUsers();
  // The tree item of a code, or null.
  QTreeWidgetItem* FindOrgNode(const std::string& code) const;
  // The code a tree item stands for.
  static std::string NodeCode(const QTreeWidgetItem* item);

  // Brings the tree and both lists up to date with changes made elsewhere
  // (the command-line tool, clients registering or changing their cards),
  // keeping the current department, the selections and the sort orders.
  // Does nothing while a dialog or a menu is open or a mouse button is held.
  // Run every second once the directory is loaded.
  void FollowDirectory();

  // Status log: one line at the end; more than 1000 lines empty it.
  void LogStatus(const QString& line);
  // Empties the status log ("清空").
  void ClearStatusLog();

  // Events and commands, named after their controls.
  void OrgTreeCurrentChanged(QTreeWidgetItem* item);
  void OrgTreePressed(QTreeWidgetItem* item, Qt::MouseButton button);
  void OrgTreeDoubleClicked();
  void DropUsersOnOrg(QTreeWidgetItem* item);
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
  SortState OrgUserSort;     // orgUserList
  SortState AllUserSort;  // userList
  const OrgTree& Tree() const { return tree_; }
  bool ServerRunning() const { return serverRunning_; }

  QTabWidget* pageControl;
  QWidget* usersPage;
  QWidget* orgPage;
  QWidget* statusPage;
  QPlainTextEdit* statusLog;
  DepartmentTreeWidget* orgTree;
  QTreeWidget* orgUserList;
  QTreeWidget* userList;
  QMenu* orgMenu;
  QAction* newOrgAction;
  QAction* editOrgAction;
  QAction* deleteOrgAction;
  QAction* orgNewUserAction;
  QMenu* orgUserMenu;
  QAction* orgUserNewAction;
  QAction* orgUserEditAction;
  QAction* orgUserDeleteAction;
  QMenu* userMenu;
  QAction* userNewAction;
  QAction* userEditAction;
  QAction* userDeleteAction;
  QAction* startServerAction;
  QAction* stopServerAction;
  QAction* statusPageAction;
  QAction* usersPageAction;
  QAction* orgPageAction;
  UserEditor* userEditor;
  NewDepartmentDialog* newOrgDialog;
  EditDepartmentDialog* editOrgDialog;

 signals:
  // The server was started or stopped (on the window thread).
  void ServerStateChanged(bool running);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class Observer;

  void BuildMenus();
  QTreeWidget* MakeUserList(const char* name);
  // Refill a list from `snapshot` in its current sort order, keeping the
  // selection (the Show... commands reset the order first).
  void FillOrgUsers(QTreeWidgetItem* item, const DirectorySnapshot& snapshot);
  void FillAllUsers(const DirectorySnapshot& snapshot);
  // Shows rows in a list in the order of `state`, keeping the selection.
  void ShowRows(QTreeWidget* list, std::vector<UserRow>& rows, const SortState& state);
  void OpenNewUser(const std::optional<std::string>& preselect, bool fromOrgPage);
  void OpenUpdateUser(QTreeWidget* list);
  void DeleteSelectedUser(QTreeWidget* list);
  void OpenRename(QTreeWidgetItem* item);
  // Selected rows' names, in list order.
  static std::vector<std::string> SelectedNames(const QTreeWidget* list);
  void ShowAdminError(const AdminResult& result);
  // After a dialog's change: lists, tree, the department of `code`.
  void RefreshAfterOrgChange(const std::string& code);

  ServerCore& core_;
  Prompter& prompter_;
  std::unique_ptr<Observer> observer_;
  // The entries each view was last built from: directory entries are
  // immutable and shared between snapshots, so a view is current exactly
  // when the snapshot's entries are the same objects.
  std::string shownCompany_;
  std::vector<DirectorySnapshot::OrgPtr> shownOrgs_;      // orgTree
  std::vector<DirectorySnapshot::UserPtr> shownUsers_;    // userList
  std::vector<DirectorySnapshot::UserPtr> shownOrgUsers_; // orgUserList
  QTimer* directoryWatch_;
  OrgTree tree_;
  std::vector<UserRow> orgUserRows_;     // orgUserList
  std::vector<UserRow> allUserRows_;  // userList
  int statusLines_ = 0;
  bool firstShown_ = false;
  bool serverRunning_ = false;
};

}  // namespace corvan
