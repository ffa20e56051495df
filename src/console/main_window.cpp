#include "console/main_window.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "admin/operations.h"
#include "console/department_dialogs.h"
#include "console/directory_models.h"
#include "console/prompter.h"
#include "console/user_editor.h"
#include "server/server_core.h"

namespace corvan {

namespace {

constexpr int kMaxStatusLines = 1000;
// How soon a change that had to wait for a dialog, a menu or a mouse button
// is tried again.
constexpr int kFollowRetryMs = 300;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The commands of the window's menus, one row each: the menu, the item's
// name and caption, and what it runs. A null name is a separator.
struct MenuCommand {
  const char* menu;
  const char* name;
  const char* caption;
  void (MainWindow::*run)();
};

const MenuCommand kMenuCommands[] = {
    {"Nserver", "Nserverstart", "启动", &MainWindow::StartServer},
    {"Nserver", "Nserverstop", "停止", &MainWindow::StopServer},
    {"Nserver", "Nserverstatus", "状态", &MainWindow::ShowStatusPage},
    {"Nmanage", "Nmanageuser", "用户管理", &MainWindow::ShowUsersPage},
    {"Nmanage", "Nmanageorg", "组织管理", &MainWindow::ShowOrgPage},
    {"poporg", "poporgnew", "新建部门", &MainWindow::NewDepartment},
    {"poporg", "poporgrename", "修改部门", &MainWindow::EditDepartment},
    {"poporg", "poporgdelete", "删除部门", &MainWindow::DeleteDepartment},
    {"poporg", nullptr, nullptr, nullptr},
    {"poporg", "poporgnewuser", "新建用户", &MainWindow::NewUserInOrg},
    {"poporguser", "poporgusernew", "新建用户", &MainWindow::NewUserInOrg},
    {"poporguser", "poporguserupdate", "修改用户", &MainWindow::EditUserInOrg},
    {"poporguser", "poporguserdelete", "删除用户", &MainWindow::DeleteUserInOrg},
    {"poplvwuser", "poplvwusernew", "新建用户", &MainWindow::NewUserFromList},
    {"poplvwuser", "poplvwuserupdate", "修改用户", &MainWindow::EditUserFromList},
    {"poplvwuser", "poplvwuserdelete", "删除用户", &MainWindow::DeleteUserFromList},
};

}  // namespace

// --- Tree view -----------------------------------------------------------------

DepartmentTreeView::DepartmentTreeView(QWidget* parent) : QTreeView(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(true);
}

void DepartmentTreeView::mousePressEvent(QMouseEvent* event) {
  QTreeView::mousePressEvent(event);
  emit MousePressed(indexAt(event->position().toPoint()), event->button());
}

void DepartmentTreeView::dragEnterEvent(QDragEnterEvent* event) {
  if (dragSource_ && event->source() == dragSource_) event->acceptProposedAction();
  else event->ignore();
}

void DepartmentTreeView::dragMoveEvent(QDragMoveEvent* event) {
  if (dragSource_ && event->source() == dragSource_) event->acceptProposedAction();
  else event->ignore();
}

void DepartmentTreeView::dropEvent(QDropEvent* event) {
  if (!dragSource_ || event->source() != dragSource_) {
    event->ignore();
    return;
  }
  // Copy, never move: the source list must not drop its rows by itself.
  event->setDropAction(Qt::CopyAction);
  event->accept();
  emit Dropped(indexAt(event->position().toPoint()));
}

// --- Observer: core notices arrive on any thread, the window acts on its own ---

class MainWindow::Observer : public CoreObserver {
 public:
  explicit Observer(MainWindow* window) : window_(window) {}
  void ServerStateChanged(bool running) override {
    QMetaObject::invokeMethod(
        window_,
        [w = window_, running] {
          w->serverRunning_ = running;
          emit w->ServerStateChanged(running);
        },
        Qt::QueuedConnection);
  }
  void ShowStatusPage() override {
    QMetaObject::invokeMethod(
        window_, [w = window_] { w->ShowStatusPage(); }, Qt::QueuedConnection);
  }

 private:
  MainWindow* window_;
};

// --- Window ---------------------------------------------------------------------

MainWindow::MainWindow(ServerCore& core, Prompter& prompter, QWidget* parent)
    : QMainWindow(parent), core_(core), prompter_(prompter), observer_(std::make_unique<Observer>(this)) {
  setObjectName(QStringLiteral("Tfrmmain"));
  setWindowTitle(QStringLiteral("Corvan服务器"));
  ExecDialog = [](QDialog& dialog) { return dialog.exec(); };

  BuildPages();
  BuildMenus();
  BuildDialogs();
  ConnectViews();

  // The sort state before the first fill.
  OrgUserSort = SortState{};
  AllUserSort = SortState{};
  ApplySort(orgUserList_, orgUserProxy_, OrgUserSort);
  ApplySort(userList_, userProxy_, AllUserSort);

  // Lines are queued to the window thread; the sink never waits for it.
  core_.Log().SetSink([this](const std::string& line) {
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(line)] { LogStatus(text); }, Qt::QueuedConnection);
  });
  core_.Lifecycle().SetObserver(observer_.get());

  resize(800, 600);
  if (QScreen* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  pageControl_->setCurrentWidget(statusPage_);
}

MainWindow::~MainWindow() {
  // No directory notice runs or starts after this.
  directoryWatch_.Reset();
  core_.Lifecycle().SetObserver(nullptr);
  core_.Log().SetSink({});
}

void MainWindow::BuildPages() {
  pageControl_ = new QTabWidget(this);
  pageControl_->setObjectName(QStringLiteral("Rzpagectrl"));
  pageControl_->tabBar()->hide();
  usersPage_ = new QWidget(pageControl_);
  usersPage_->setObjectName(QStringLiteral("Tabmanageuser"));
  orgPage_ = new QWidget(pageControl_);
  orgPage_->setObjectName(QStringLiteral("Tabmanageorg"));
  statusPage_ = new QWidget(pageControl_);
  statusPage_->setObjectName(QStringLiteral("Tabstatus"));
  pageControl_->addTab(usersPage_, QStringLiteral("用户管理"));
  pageControl_->addTab(orgPage_, QStringLiteral("组织管理"));
  pageControl_->addTab(statusPage_, QStringLiteral("状态"));
  setCentralWidget(pageControl_);
  BuildUsersPage();
  BuildOrgPage();
  BuildStatusPage();
}

void MainWindow::BuildUsersPage() {
  userList_ = MakeUserList("Rzlvwuserlist", userModel_, userProxy_);
  userList_->setParent(usersPage_);
  userList_->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* layout = new QVBoxLayout(usersPage_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(userList_);
}

void MainWindow::BuildOrgPage() {
  // The tree on the left, its department's accounts right.
  auto* splitter = new QSplitter(Qt::Horizontal, orgPage_);
  orgTree_ = new DepartmentTreeView(splitter);
  orgTree_->setObjectName(QStringLiteral("RzTvworg"));
  orgModel_ = new OrgTreeModel(orgTree_);
  orgTree_->setModel(orgModel_);
  orgTree_->setHeaderHidden(true);
  orgTree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  orgTree_->setContextMenuPolicy(Qt::CustomContextMenu);
  orgUserList_ = MakeUserList("Rzlvwuser", orgUserModel_, orgUserProxy_);
  orgUserList_->setParent(splitter);
  orgUserList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  orgUserList_->setDragEnabled(true);
  orgUserList_->setDragDropMode(QAbstractItemView::DragOnly);
  orgUserList_->setDefaultDropAction(Qt::CopyAction);
  orgTree_->SetDragSource(orgUserList_);
  splitter->addWidget(orgTree_);
  splitter->addWidget(orgUserList_);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 3);
  splitter->setSizes({200, 600});
  auto* layout = new QVBoxLayout(orgPage_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(splitter);
}

void MainWindow::BuildStatusPage() {
  statusLog_ = new QPlainTextEdit(statusPage_);
  statusLog_->setObjectName(QStringLiteral("Memostatus"));
  statusLog_->setReadOnly(true);
  statusLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
  statusLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* layout = new QVBoxLayout(statusPage_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(statusLog_);
}

QTreeView* MainWindow::MakeUserList(const char* name, UserListModel*& model, UserSortProxy*& proxy) {
  auto* list = new QTreeView(this);
  list->setObjectName(QString::fromLatin1(name));
  model = new UserListModel(list);
  proxy = new UserSortProxy(model, list);
  list->setModel(proxy);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setAllColumnsShowFocus(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // The header's clicks go through the list's own sort state.
  list->setSortingEnabled(false);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  list->header()->setSectionsClickable(true);
  list->header()->setSortIndicatorShown(true);
  list->setColumnWidth(0, 80);
  list->setColumnWidth(1, 140);
  list->setColumnWidth(2, 140);
  return list;
}

void MainWindow::BuildMenus() {
  // The page and server commands sit on a plain menu bar; the shell
  // (MainShell) shows them on its menu buttons and replaces it.
  QMenu* server = menuBar()->addMenu(QStringLiteral("服务器"));
  server->setObjectName(QStringLiteral("Nserver"));
  QMenu* manage = menuBar()->addMenu(QStringLiteral("管理"));
  manage->setObjectName(QStringLiteral("Nmanage"));
  orgMenu_ = new QMenu(this);
  orgMenu_->setObjectName(QStringLiteral("poporg"));
  orgUserMenu_ = new QMenu(this);
  orgUserMenu_->setObjectName(QStringLiteral("poporguser"));
  userMenu_ = new QMenu(this);
  userMenu_->setObjectName(QStringLiteral("poplvwuser"));
  const QMenu* menus[] = {server, manage, orgMenu_, orgUserMenu_, userMenu_};
  for (const MenuCommand& command : kMenuCommands) {
    QMenu* menu = nullptr;
    for (const QMenu* m : menus)
      if (m->objectName() == QLatin1String(command.menu)) menu = const_cast<QMenu*>(m);
    if (!command.name) {
      menu->addSeparator();
      continue;
    }
    // The page and server items belong to the window, the others to their menu.
    QObject* owner = menu == server || menu == manage ? static_cast<QObject*>(this) : menu;
    auto* action = new QAction(QString::fromUtf8(command.caption), owner);
    action->setObjectName(QString::fromLatin1(command.name));
    menu->addAction(action);
    connect(action, &QAction::triggered, this, [this, run = command.run] { (this->*run)(); });
  }
}

void MainWindow::BuildDialogs() {
  userEditor_ = new UserEditor(core_, prompter_, this);
  newOrgDialog_ = new NewDepartmentDialog(core_, prompter_, this);
  editOrgDialog_ = new EditDepartmentDialog(core_, prompter_, this);
  connect(userEditor_, &UserEditor::SaveFinished, this, [this] {
    ShowAllUsers();
    if (CurrentOrgNode) ShowOrgUsers(CurrentOrgNode);
  });
  for (DepartmentDialog* dialog :
       {static_cast<DepartmentDialog*>(newOrgDialog_), static_cast<DepartmentDialog*>(editOrgDialog_)})
    connect(dialog, &DepartmentDialog::OrgSaved, this,
            [this](const QString& code) { RefreshAfterOrgChange(code.toStdString()); });
}

void MainWindow::ConnectViews() {
  connect(orgTree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    if (!rebuildingTree_) OrgTreeCurrentChanged(current);
  });
  connect(orgTree_, &DepartmentTreeView::MousePressed, this, &MainWindow::OrgTreePressed);
  connect(orgTree_, &QTreeView::doubleClicked, this, [this] { OrgTreeDoubleClicked(); });
  connect(orgTree_, &DepartmentTreeView::Dropped, this, &MainWindow::DropUsersOnOrg);
  connect(orgUserList_->header(), &QHeaderView::sectionClicked, this, &MainWindow::SortOrgUsersByColumn);
  connect(userList_->header(), &QHeaderView::sectionClicked, this, &MainWindow::SortAllUsersByColumn);
  connect(orgUserList_, &QTreeView::doubleClicked, this, [this] { OpenUpdateUser(orgUserList_); });
  connect(userList_, &QTreeView::doubleClicked, this, [this] { OpenUpdateUser(userList_); });
  connect(orgTree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateOrgMenu();
    orgMenu_->popup(orgTree_->viewport()->mapToGlobal(pos));
  });
  connect(orgUserList_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateOrgUserMenu();
    orgUserMenu_->popup(orgUserList_->viewport()->mapToGlobal(pos));
  });
  connect(userList_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateUserMenu();
    userMenu_->popup(userList_->viewport()->mapToGlobal(pos));
  });
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (firstShown_) return;
  firstShown_ = true;
  // Run after the window has appeared, once per program run.
  QMetaObject::invokeMethod(
      this, [this] { FirstShow(); }, Qt::QueuedConnection);
}

bool MainWindow::FirstShow(bool startServer) {
  firstShown_ = true;
  if (!core_.Lifecycle().FirstShow(false)) return false;
  BuildOrgTree();
  directoryWatch_ = core_.Dir().Subscribe([this] { DirectoryChanged(); });
  pageControl_->setCurrentWidget(statusPage_);
  if (core_.Settings().Current().StartMin && StartMinimized) StartMinimized();
  if (startServer) core_.Lifecycle().StartServer();
  return true;
}

void MainWindow::DirectoryChanged() {
  // One queued follow covers any number of changes before it runs.
  if (followQueued_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        followQueued_ = false;
        FollowDirectory();
      },
      Qt::QueuedConnection);
}

const OrgTree& MainWindow::Tree() const { return orgModel_->Tree(); }

// --- Status log ---------------------------------------------------------------------

void MainWindow::LogStatus(const QString& line) {
  statusLog_->appendPlainText(line);
  if (++statusLines_ > kMaxStatusLines) {
    statusLog_->clear();
    statusLines_ = 0;
  }
}

void MainWindow::ClearStatusLog() {
  statusLog_->clear();
  statusLines_ = 0;
}

void MainWindow::SetStatusLogMenu(QMenu* menu) {
  statusLog_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(statusLog_, &QWidget::customContextMenuRequested, menu,
          [this, menu](const QPoint& pos) { menu->popup(statusLog_->mapToGlobal(pos)); });
}

// --- Tree ---------------------------------------------------------------------------

QModelIndex MainWindow::FindOrgNode(const std::string& code) const { return orgModel_->IndexOf(code); }

std::optional<std::string> MainWindow::CurrentCode() const {
  QModelIndex current = orgTree_->currentIndex();
  if (!current.isValid()) return std::nullopt;
  return OrgTreeModel::CodeOf(current);
}

void MainWindow::SetCurrentOrg(const QModelIndex& index) {
  orgTree_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
}

bool MainWindow::BuildOrgTree() {
  std::optional<std::string> keep = CurrentCode();
  const auto snapshot = core_.Dir().Get();
  shownCompany_ = snapshot->CompanyName();
  shownOrgs_ = snapshot->Orgs();
  // Rebuilding is not a change of the administrator's choice.
  rebuildingTree_ = true;
  orgModel_->SetTree(OrgTree(*snapshot));
  orgTree_->expandAll();
  if (keep) SetCurrentOrg(FindOrgNode(*keep));
  rebuildingTree_ = false;
  return true;
}

void MainWindow::OrgTreeCurrentChanged(const QModelIndex& index) {
  std::optional<std::string> code;
  if (index.isValid()) code = OrgTreeModel::CodeOf(index);
  ShowOrgUsers(code);
  CurrentOrgNode = code;
}

void MainWindow::OrgTreePressed(const QModelIndex& index, Qt::MouseButton button) {
  if (button != Qt::LeftButton && orgTree_->currentIndex() != index) SetCurrentOrg(index);
  ShowOrgUsers(index.isValid() ? std::optional<std::string>(OrgTreeModel::CodeOf(index)) : std::nullopt);
}

void MainWindow::OrgTreeDoubleClicked() { OpenRename(orgTree_->currentIndex()); }

void MainWindow::DropUsersOnOrg(const QModelIndex& index) {
  if (!index.isValid()) return;
  std::string code = OrgTreeModel::CodeOf(index);
  if (Tree().Find(code) < 0) return;
  std::vector<std::string> names = SelectedNames(orgUserList_);
  QString question = Q(MoveUsersQuestion(names.size(), index.data().toString().toStdString()));
  if (!prompter_.Question(this, question, Q(kInfoCaption))) return;
  OpsContext ops = MakeOpsContext(core_, true);
  Status result = MoveAccounts(ops, Actor::Console(), names, code);
  ShowAdminError(result);
  ShowOrgUsers(code);
}

void MainWindow::UpdateOrgMenu() {
  std::optional<std::string> current = CurrentCode();
  bool notRoot = current && *current != kRootOrgNo;
  auto set = [this](const char* name, bool enabled) {
    if (auto* action = orgMenu_->findChild<QAction*>(QString::fromLatin1(name))) action->setEnabled(enabled);
  };
  set("poporgnew", current.has_value());
  set("poporgrename", current.has_value());
  set("poporgdelete", notRoot);
  set("poporgnewuser", notRoot);
}

// --- Lists ----------------------------------------------------------------------------

void MainWindow::ApplySort(QTreeView* list, UserSortProxy* proxy, const SortState& state) {
  proxy->Apply(state);
  list->header()->setSortIndicator(state.column, state.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void MainWindow::ShowRows(QTreeView* list, UserListModel* model, UserSortProxy* proxy, std::vector<UserRow> rows,
                          const SortState& state) {
  std::vector<std::string> selected = SelectedNames(list);
  model->SetRows(std::move(rows));
  ApplySort(list, proxy, state);
  SelectNames(list, selected);
}

void MainWindow::ShowOrgUsers(const std::optional<std::string>& code) {
  OrgUserSort.Reset();
  FillOrgUsers(code, *core_.Dir().Get());
}

void MainWindow::ShowAllUsers() {
  AllUserSort.Reset();
  FillAllUsers(*core_.Dir().Get());
}

void MainWindow::FillOrgUsers(const std::optional<std::string>& code, const DirectorySnapshot& snapshot) {
  shownOrgUsers_ = snapshot.Users();
  std::vector<UserRow> rows;
  if (code && Tree().Find(*code) >= 0) rows = MakeUserRows(UsersUnder(snapshot, *code), Tree());
  ShowRows(orgUserList_, orgUserModel_, orgUserProxy_, std::move(rows), OrgUserSort);
}

void MainWindow::FillAllUsers(const DirectorySnapshot& snapshot) {
  shownUsers_ = snapshot.Users();
  ShowRows(userList_, userModel_, userProxy_, MakeUserRows(shownUsers_, Tree()), AllUserSort);
}

void MainWindow::FollowDirectory() {
  // A dialog or menu may act on rows or nodes of the views; a held button
  // may be a drag. Try again shortly.
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget() ||
      QGuiApplication::mouseButtons() != Qt::NoButton) {
    if (!followRetryQueued_) {
      followRetryQueued_ = true;
      QTimer::singleShot(kFollowRetryMs, this, [this] {
        followRetryQueued_ = false;
        FollowDirectory();
      });
    }
    return;
  }
  const auto snapshot = core_.Dir().Get();
  const bool orgsChanged = snapshot->CompanyName() != shownCompany_ || snapshot->Orgs() != shownOrgs_;
  if (orgsChanged) {
    BuildOrgTree();  // keeps the current node when it still exists
    CurrentOrgNode = CurrentCode();
  }
  // Department names show in the rows, so a tree change refills both lists;
  // the administrator's sort order and selection stay.
  if (orgsChanged || snapshot->Users() != shownUsers_) FillAllUsers(*snapshot);
  if (orgsChanged || snapshot->Users() != shownOrgUsers_) FillOrgUsers(CurrentCode(), *snapshot);
}

void MainWindow::SortOrgUsersByColumn(int column) {
  OrgUserSort.Click(column);
  ApplySort(orgUserList_, orgUserProxy_, OrgUserSort);
}

void MainWindow::SortAllUsersByColumn(int column) {
  AllUserSort.Click(column);
  ApplySort(userList_, userProxy_, AllUserSort);
}

std::vector<std::string> MainWindow::SelectedNames(const QTreeView* list) {
  std::vector<std::string> names;
  const QAbstractItemModel* model = list->model();
  const QItemSelectionModel* selection = list->selectionModel();
  for (int row = 0; row < model->rowCount(); ++row)
    if (selection->isRowSelected(row, {}))
      names.push_back(model->index(row, 0).data(UserListModel::kUserNameRole).toString().toStdString());
  return names;
}

void MainWindow::SelectNames(QTreeView* list, const std::vector<std::string>& names) {
  if (names.empty()) return;
  const QAbstractItemModel* model = list->model();
  QItemSelection selection;
  for (int row = 0; row < model->rowCount(); ++row) {
    QModelIndex index = model->index(row, 0);
    std::string name = index.data(UserListModel::kUserNameRole).toString().toStdString();
    if (std::find(names.begin(), names.end(), name) != names.end()) selection.select(index, index);
  }
  list->selectionModel()->select(selection, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void MainWindow::UpdateOrgUserMenu() {
  bool selected = orgUserList_->selectionModel()->hasSelection();
  orgUserMenu_->findChild<QAction*>(QStringLiteral("poporgusernew"))->setEnabled(true);
  orgUserMenu_->findChild<QAction*>(QStringLiteral("poporguserupdate"))->setEnabled(selected);
  orgUserMenu_->findChild<QAction*>(QStringLiteral("poporguserdelete"))->setEnabled(selected);
}

void MainWindow::UpdateUserMenu() {
  bool selected = userList_->selectionModel()->hasSelection();
  userMenu_->findChild<QAction*>(QStringLiteral("poplvwusernew"))->setEnabled(true);
  userMenu_->findChild<QAction*>(QStringLiteral("poplvwuserupdate"))->setEnabled(selected);
  userMenu_->findChild<QAction*>(QStringLiteral("poplvwuserdelete"))->setEnabled(selected);
}

// --- Account commands ---------------------------------------------------------------

void MainWindow::OpenNewUser(const std::optional<std::string>& preselect, bool fromOrgPage) {
  if (core_.Dir().Get()->Orgs().empty()) {
    prompter_.Information(this, Q(kNeedOrgFirstMessage), Q(kInfoCaption));
    return;
  }
  userEditor_->PrepareNew(Tree(), fromOrgPage ? preselect : std::nullopt);
  ExecDialog(*userEditor_);
}

void MainWindow::NewUserFromList() { OpenNewUser(std::nullopt, false); }

void MainWindow::NewUserInOrg() { OpenNewUser(CurrentOrgNode, true); }

void MainWindow::OpenUpdateUser(QTreeView* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  // The account as it is now, not as the row saw it.
  auto snapshot = core_.Dir().Get();
  const TUserInfo* user = snapshot->FindUser(names.front());
  if (!user) {
    const UserListModel* model = list == orgUserList_ ? orgUserModel_ : userModel_;
    for (const UserRow& row : model->Rows())
      if (row.user && row.user->username == names.front()) {
        user = row.user.get();
        break;
      }
  }
  if (!user) return;
  userEditor_->PrepareUpdate(*user, Tree());
  ExecDialog(*userEditor_);
}

void MainWindow::EditUserFromList() { OpenUpdateUser(userList_); }

void MainWindow::EditUserInOrg() { OpenUpdateUser(orgUserList_); }

void MainWindow::DeleteSelectedUser(QTreeView* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  if (!prompter_.Question(this, Q(kDeleteUserQuestion), Q(kInfoCaption))) return;
  OpsContext ops = MakeOpsContext(core_, true);
  Status result = corvan::DeleteAccount(ops, Actor::Console(), names.front());
  ShowAdminError(result);
  // Both lists are rebuilt, so no row shows a deleted account.
  ShowAllUsers();
  ShowOrgUsers(CurrentOrgNode);
}

void MainWindow::DeleteUserFromList() { DeleteSelectedUser(userList_); }

void MainWindow::DeleteUserInOrg() { DeleteSelectedUser(orgUserList_); }

void MainWindow::ShowAdminError(const Status& result) {
  if (!result.IsOk() && !result.Message().empty())
    prompter_.Information(this, Q(result.Message()), Q(MessageCaption(result)));
}

// --- Department commands ------------------------------------------------------------

void MainWindow::NewDepartment() {
  std::optional<std::string> current = CurrentCode();
  if (!current) return;
  newOrgDialog_->Prepare(*current);
  ExecDialog(*newOrgDialog_);
}

void MainWindow::OpenRename(const QModelIndex& index) {
  if (!index.isValid()) return;
  int node = Tree().Find(OrgTreeModel::CodeOf(index));
  if (node < 0) return;
  const TorgInfo& record = *Tree().At(node).record;
  editOrgDialog_->Prepare(record.organizeNo, record.organizename, record.orgID);
  ExecDialog(*editOrgDialog_);
}

void MainWindow::EditDepartment() { OpenRename(orgTree_->currentIndex()); }

void MainWindow::RefreshAfterOrgChange(const std::string& code) {
  BuildOrgTree();
  ShowAllUsers();
  ShowOrgUsers(code);
}

void MainWindow::DeleteDepartment() {
  QModelIndex current = orgTree_->currentIndex();
  if (!current.isValid() || OrgTreeModel::CodeOf(current) == kRootOrgNo) return;
  if (!prompter_.Question(this, Q(kDeleteOrgQuestion), Q(kInfoCaption))) return;
  std::string parent = OrgTreeModel::CodeOf(current.parent());
  OpsContext ops = MakeOpsContext(core_, true);
  Status result = corvan::DeleteDepartment(ops, Actor::Console(), OrgTreeModel::CodeOf(current));
  ShowAdminError(result);
  if (result.IsOk()) {
    // The deleted department's parent becomes the current node.
    BuildOrgTree();
    rebuildingTree_ = true;
    SetCurrentOrg(FindOrgNode(parent));
    rebuildingTree_ = false;
    CurrentOrgNode = parent;
  }
  ShowAllUsers();
  ShowOrgUsers(CurrentCode());
}

// --- Page and server commands --------------------------------------------------------

void MainWindow::ShowUsersPage() {
  pageControl_->setCurrentWidget(usersPage_);
  ShowAllUsers();
}

void MainWindow::ShowOrgPage() { pageControl_->setCurrentWidget(orgPage_); }

void MainWindow::ShowStatusPage() { pageControl_->setCurrentWidget(statusPage_); }

void MainWindow::StartServer() {
  OpsContext ops = MakeOpsContext(core_, true);
  corvan::StartServer(ops, Actor::Console());
}

void MainWindow::StopServer() {
  OpsContext ops = MakeOpsContext(core_, true);
  corvan::StopServer(ops, Actor::Console());
}

}  // namespace corvan
