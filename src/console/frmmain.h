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
class Tfrmneworg;
class Tfrmorgrename;
class Tfrmuser;

// The department tree: reports mouse presses and takes drops of account rows
// from one list only.
class OrgTreeWidget : public QTreeWidget {
  Q_OBJECT

 public:
  explicit OrgTreeWidget(QWidget* parent = nullptr);
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

class Tfrmmain : public QMainWindow {
  Q_OBJECT

 public:
  Tfrmmain(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);
  ~Tfrmmain() override;

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
  void RzTvworgChange(QTreeWidgetItem* item);
  void RzTvworgMouseDown(QTreeWidgetItem* item, Qt::MouseButton button);
  void RzTvworgDblClick();
  void RzTvworgDragDrop(QTreeWidgetItem* item);
  void RzlvwuserColumnClick(int column);
  void RzlvwuserlistColumnClick(int column);
  void poporgPopup();
  void poporguserPopup();
  void poplvwuserPopup();
  void poplvwusernewClick();
  void poporgusernewClick();
  void poplvwuserupdateClick();
  void poporguserupdateClick();
  void poplvwuserdeleteClick();
  void poporguserdeleteClick();
  void poporgnewClick();
  void poporgrenameClick();
  void poporgdeleteClick();
  void NmanageuserClick();
  void NmanageorgClick();
  void NserverstatusClick();
  void NserverstartClick();
  void NserverstopClick();

  // Runs a modal dialog; tests replace it to fill and confirm the dialog.
  std::function<int(QDialog&)> ExecDialog;
  // Started by the first show, after the directory is loaded and before the
  // server starts, when the settings ask to start minimised.
  std::function<void()> StartMinimized;

  // The node last made current in the tree (its code).
  std::optional<std::string> CurrentOrgNode;
  SortState UserSort;     // Rzlvwuser
  SortState AllUserSort;  // Rzlvwuserlist
  const OrgTree& Tree() const { return tree_; }
  bool ServerRunning() const { return serverRunning_; }

  QTabWidget* Rzpagectrl;
  QWidget* Tabmanageuser;
  QWidget* Tabmanageorg;
  QWidget* Tabstatus;
  QPlainTextEdit* Memostatus;
  OrgTreeWidget* RzTvworg;
  QTreeWidget* Rzlvwuser;
  QTreeWidget* Rzlvwuserlist;
  QMenu* poporg;
  QAction* poporgnew;
  QAction* poporgrename;
  QAction* poporgdelete;
  QAction* poporgnewuser;
  QMenu* poporguser;
  QAction* poporgusernew;
  QAction* poporguserupdate;
  QAction* poporguserdelete;
  QMenu* poplvwuser;
  QAction* poplvwusernew;
  QAction* poplvwuserupdate;
  QAction* poplvwuserdelete;
  QAction* Nserverstart;
  QAction* Nserverstop;
  QAction* Nserverstatus;
  QAction* Nmanageuser;
  QAction* Nmanageorg;
  Tfrmuser* frmuser;
  Tfrmneworg* frmneworg;
  Tfrmorgrename* frmorgrename;

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
  std::vector<DirectorySnapshot::OrgPtr> shownOrgs_;      // RzTvworg
  std::vector<DirectorySnapshot::UserPtr> shownUsers_;    // Rzlvwuserlist
  std::vector<DirectorySnapshot::UserPtr> shownOrgUsers_; // Rzlvwuser
  QTimer* directoryWatch_;
  OrgTree tree_;
  std::vector<UserRow> userRows_;     // Rzlvwuser
  std::vector<UserRow> allUserRows_;  // Rzlvwuserlist
  int statusLines_ = 0;
  bool firstShown_ = false;
  bool serverRunning_ = false;
};

}  // namespace corvan
