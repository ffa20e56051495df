#include "console/main_window.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "console/department_dialogs.h"
#include "console/user_editor.h"
#include "console/prompter.h"
#include "server/server_core.h"

namespace corvan {

namespace {

constexpr int kCodeRole = Qt::UserRole;      // tree items: department code
constexpr int kUserNameRole = Qt::UserRole;  // list rows: account name
constexpr int kMaxStatusLines = 1000;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The image list of the tree and the lists: 0 the organisation, 1 a
// department, 2 an account.
QIcon OrgImage(int index) {
  QStyle* style = QApplication::style();
  switch (index) {
    case 0: return style->standardIcon(QStyle::SP_DriveNetIcon);
    case 1: return style->standardIcon(QStyle::SP_DirIcon);
    default: return style->standardIcon(QStyle::SP_FileIcon);
  }
}

QAction* MakeAction(QObject* parent, const char* name, const QString& caption) {
  auto* a = new QAction(caption, parent);
  a->setObjectName(QString::fromLatin1(name));
  return a;
}

}  // namespace

// --- Tree widget -------------------------------------------------------------

DepartmentTreeWidget::DepartmentTreeWidget(QWidget* parent) : QTreeWidget(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(true);
}

void DepartmentTreeWidget::mousePressEvent(QMouseEvent* event) {
  QTreeWidget::mousePressEvent(event);
  emit MousePressed(itemAt(event->position().toPoint()), event->button());
}

void DepartmentTreeWidget::dragEnterEvent(QDragEnterEvent* event) {
  if (dragSource_ && event->source() == dragSource_)
    event->acceptProposedAction();
  else
    event->ignore();
}

void DepartmentTreeWidget::dragMoveEvent(QDragMoveEvent* event) {
  if (dragSource_ && event->source() == dragSource_)
    event->acceptProposedAction();
  else
    event->ignore();
}

void DepartmentTreeWidget::dropEvent(QDropEvent* event) {
  if (!dragSource_ || event->source() != dragSource_) {
    event->ignore();
    return;
  }
  // Copy, never move: the source list must not drop its rows by itself.
  event->setDropAction(Qt::CopyAction);
  event->accept();
  emit Dropped(itemAt(event->position().toPoint()));
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
    QMetaObject::invokeMethod(window_, [w = window_] { w->pageControl->setCurrentWidget(w->statusPage); },
                              Qt::QueuedConnection);
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

  pageControl = new QTabWidget(this);
  pageControl->setObjectName(QStringLiteral("Rzpagectrl"));
  pageControl->tabBar()->hide();
  usersPage = new QWidget(pageControl);
  usersPage->setObjectName(QStringLiteral("Tabmanageuser"));
  orgPage = new QWidget(pageControl);
  orgPage->setObjectName(QStringLiteral("Tabmanageorg"));
  statusPage = new QWidget(pageControl);
  statusPage->setObjectName(QStringLiteral("Tabstatus"));
  pageControl->addTab(usersPage, QStringLiteral("用户管理"));
  pageControl->addTab(orgPage, QStringLiteral("组织管理"));
  pageControl->addTab(statusPage, QStringLiteral("状态"));
  setCentralWidget(pageControl);

  // Users page.
  userList = MakeUserList("Rzlvwuserlist");
  userList->setParent(usersPage);
  userList->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* usersLayout = new QVBoxLayout(usersPage);
  usersLayout->setContentsMargins(0, 0, 0, 0);
  usersLayout->addWidget(userList);

  // Organisation page: the tree on the left, its department's accounts right.
  auto* splitter = new QSplitter(Qt::Horizontal, orgPage);
  orgTree = new DepartmentTreeWidget(splitter);
  orgTree->setObjectName(QStringLiteral("RzTvworg"));
  orgTree->setHeaderHidden(true);
  orgTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  orgTree->setContextMenuPolicy(Qt::CustomContextMenu);
  orgUserList = MakeUserList("Rzlvwuser");
  orgUserList->setParent(splitter);
  orgUserList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  orgUserList->setDragEnabled(true);
  orgUserList->setDragDropMode(QAbstractItemView::DragOnly);
  orgUserList->setDefaultDropAction(Qt::CopyAction);
  orgTree->SetDragSource(orgUserList);
  splitter->addWidget(orgTree);
  splitter->addWidget(orgUserList);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 3);
  splitter->setSizes({200, 600});
  auto* orgLayout = new QVBoxLayout(orgPage);
  orgLayout->setContentsMargins(0, 0, 0, 0);
  orgLayout->addWidget(splitter);

  // Status page.
  statusLog = new QPlainTextEdit(statusPage);
  statusLog->setObjectName(QStringLiteral("Memostatus"));
  statusLog->setReadOnly(true);
  statusLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  statusLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* statusLayout = new QVBoxLayout(statusPage);
  statusLayout->setContentsMargins(0, 0, 0, 0);
  statusLayout->addWidget(statusLog);

  BuildMenus();

  connect(orgTree, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) { OrgTreeCurrentChanged(current); });
  connect(orgTree, &DepartmentTreeWidget::MousePressed, this, &MainWindow::OrgTreePressed);
  connect(orgTree, &QTreeWidget::itemDoubleClicked, this, [this] { OrgTreeDoubleClicked(); });
  connect(orgTree, &DepartmentTreeWidget::Dropped, this, &MainWindow::DropUsersOnOrg);
  connect(orgUserList->header(), &QHeaderView::sectionClicked, this, &MainWindow::SortOrgUsersByColumn);
  connect(userList->header(), &QHeaderView::sectionClicked, this, &MainWindow::SortAllUsersByColumn);
  connect(orgUserList, &QTreeWidget::itemDoubleClicked, this, [this] { OpenUpdateUser(orgUserList); });
  connect(userList, &QTreeWidget::itemDoubleClicked, this, [this] { OpenUpdateUser(userList); });
  connect(orgTree, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateOrgMenu();
    orgMenu->popup(orgTree->viewport()->mapToGlobal(pos));
  });
  connect(orgUserList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateOrgUserMenu();
    orgUserMenu->popup(orgUserList->viewport()->mapToGlobal(pos));
  });
  connect(userList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    UpdateUserMenu();
    userMenu->popup(userList->viewport()->mapToGlobal(pos));
  });

  userEditor = new UserEditor(core_, prompter_, this);
  newOrgDialog = new NewDepartmentDialog(core_, prompter_, this);
  editOrgDialog = new EditDepartmentDialog(core_, prompter_, this);
  connect(userEditor, &UserEditor::SaveFinished, this, [this] {
    ShowAllUsers();
    if (CurrentOrgNode) ShowOrgUsers(FindOrgNode(*CurrentOrgNode));
  });
  connect(newOrgDialog, &DepartmentDialog::OrgSaved, this, [this](const QString& code) { RefreshAfterOrgChange(code.toStdString()); });
  connect(editOrgDialog, &DepartmentDialog::OrgSaved, this,
          [this](const QString& code) { RefreshAfterOrgChange(code.toStdString()); });

  directoryWatch_ = new QTimer(this);
  directoryWatch_->setInterval(1000);
  connect(directoryWatch_, &QTimer::timeout, this, &MainWindow::FollowDirectory);

  // The sort state before the first fill.
  OrgUserSort = SortState{};
  AllUserSort = SortState{};

  // Lines are queued to the window thread; the sink never waits for it.
  core_.Log().SetSink([this](const std::string& line) {
    QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(line)] { LogStatus(text); },
                              Qt::QueuedConnection);
  });
  core_.SetObserver(observer_.get());

  resize(800, 600);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  pageControl->setCurrentWidget(statusPage);
}

MainWindow::~MainWindow() {
  core_.SetObserver(nullptr);
  core_.Log().SetSink({});
}

QTreeWidget* MainWindow::MakeUserList(const char* name) {
  auto* list = new QTreeWidget(this);
  list->setObjectName(QString::fromLatin1(name));
  list->setColumnCount(4);
  list->setHeaderLabels({QStringLiteral("显示编序"), QStringLiteral("登录名"), QStringLiteral("显示名称"),
                         QStringLiteral("组织")});
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setAllColumnsShowFocus(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setSortingEnabled(false);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  list->header()->setSectionsClickable(true);
  list->header()->setSortIndicatorShown(true);
  list->header()->setSortIndicator(-1, Qt::AscendingOrder);
  list->setColumnWidth(0, 80);
  list->setColumnWidth(1, 140);
  list->setColumnWidth(2, 140);
  return list;
}

void MainWindow::BuildMenus() {
  // The page and server commands. The shell (MainShell) shows them on its
  // menu buttons and replaces this plain menu bar.
  QMenu* server = menuBar()->addMenu(QStringLiteral("服务器"));
  server->setObjectName(QStringLiteral("Nserver"));
  startServerAction = MakeAction(this, "Nserverstart", QStringLiteral("启动"));
  stopServerAction = MakeAction(this, "Nserverstop", QStringLiteral("停止"));
  statusPageAction = MakeAction(this, "Nserverstatus", QStringLiteral("状态"));
  server->addActions({startServerAction, stopServerAction, statusPageAction});
  QMenu* manage = menuBar()->addMenu(QStringLiteral("管理"));
  manage->setObjectName(QStringLiteral("Nmanage"));
  usersPageAction = MakeAction(this, "Nmanageuser", QStringLiteral("用户管理"));
  orgPageAction = MakeAction(this, "Nmanageorg", QStringLiteral("组织管理"));
  manage->addActions({usersPageAction, orgPageAction});
  connect(startServerAction, &QAction::triggered, this, &MainWindow::StartServer);
  connect(stopServerAction, &QAction::triggered, this, &MainWindow::StopServer);
  connect(statusPageAction, &QAction::triggered, this, &MainWindow::ShowStatusPage);
  connect(usersPageAction, &QAction::triggered, this, &MainWindow::ShowUsersPage);
  connect(orgPageAction, &QAction::triggered, this, &MainWindow::ShowOrgPage);

  orgMenu = new QMenu(this);
  orgMenu->setObjectName(QStringLiteral("poporg"));
  newOrgAction = MakeAction(orgMenu, "poporgnew", QStringLiteral("新建部门"));
  editOrgAction = MakeAction(orgMenu, "poporgrename", QStringLiteral("修改部门"));
  deleteOrgAction = MakeAction(orgMenu, "poporgdelete", QStringLiteral("删除部门"));
  orgNewUserAction = MakeAction(orgMenu, "poporgnewuser", QStringLiteral("新建用户"));
  orgMenu->addActions({newOrgAction, editOrgAction, deleteOrgAction});
  orgMenu->addSeparator();
  orgMenu->addAction(orgNewUserAction);
  connect(newOrgAction, &QAction::triggered, this, &MainWindow::NewDepartment);
  connect(editOrgAction, &QAction::triggered, this, &MainWindow::EditDepartment);
  connect(deleteOrgAction, &QAction::triggered, this, &MainWindow::DeleteDepartment);
  connect(orgNewUserAction, &QAction::triggered, this, &MainWindow::NewUserInOrg);

  orgUserMenu = new QMenu(this);
  orgUserMenu->setObjectName(QStringLiteral("poporguser"));
  orgUserNewAction = MakeAction(orgUserMenu, "poporgusernew", QStringLiteral("新建用户"));
  orgUserEditAction = MakeAction(orgUserMenu, "poporguserupdate", QStringLiteral("修改用户"));
  orgUserDeleteAction = MakeAction(orgUserMenu, "poporguserdelete", QStringLiteral("删除用户"));
  orgUserMenu->addActions({orgUserNewAction, orgUserEditAction, orgUserDeleteAction});
  connect(orgUserNewAction, &QAction::triggered, this, &MainWindow::NewUserInOrg);
  connect(orgUserEditAction, &QAction::triggered, this, &MainWindow::EditUserInOrg);
  connect(orgUserDeleteAction, &QAction::triggered, this, &MainWindow::DeleteUserInOrg);

  userMenu = new QMenu(this);
  userMenu->setObjectName(QStringLiteral("poplvwuser"));
  userNewAction = MakeAction(userMenu, "poplvwusernew", QStringLiteral("新建用户"));
  userEditAction = MakeAction(userMenu, "poplvwuserupdate", QStringLiteral("修改用户"));
  userDeleteAction = MakeAction(userMenu, "poplvwuserdelete", QStringLiteral("删除用户"));
  userMenu->addActions({userNewAction, userEditAction, userDeleteAction});
  connect(userNewAction, &QAction::triggered, this, &MainWindow::NewUserFromList);
  connect(userEditAction, &QAction::triggered, this, &MainWindow::EditUserFromList);
  connect(userDeleteAction, &QAction::triggered, this, &MainWindow::DeleteUserFromList);
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (firstShown_) return;
  firstShown_ = true;
  // Run after the window has appeared, once per program run.
  QMetaObject::invokeMethod(this, [this] { FirstShow(); }, Qt::QueuedConnection);
}

bool MainWindow::FirstShow(bool startServer) {
  firstShown_ = true;
  if (!core_.FirstShow(false)) return false;
  BuildOrgTree();
  directoryWatch_->start();
  pageControl->setCurrentWidget(statusPage);
  if (core_.Settings().StartMin && StartMinimized) StartMinimized();
  if (startServer) core_.StartServer();
  return true;
}

// --- Status log ---------------------------------------------------------------------

void MainWindow::LogStatus(const QString& line) {
  statusLog->appendPlainText(line);
  if (++statusLines_ > kMaxStatusLines) {
    statusLog->clear();
    statusLines_ = 0;
  }
}

void MainWindow::ClearStatusLog() {
  statusLog->clear();
  statusLines_ = 0;
}

// --- Tree ---------------------------------------------------------------------------

std::string MainWindow::NodeCode(const QTreeWidgetItem* item) {
  return item ? item->data(0, kCodeRole).toString().toStdString() : std::string();
}

QTreeWidgetItem* MainWindow::FindOrgNode(const std::string& code) const {
  QString wanted = Q(code);
  for (QTreeWidgetItemIterator it(orgTree); *it; ++it)
    if ((*it)->data(0, kCodeRole).toString() == wanted) return *it;
  return nullptr;
}

bool MainWindow::BuildOrgTree() {
  std::optional<std::string> keep;
  if (QTreeWidgetItem* current = orgTree->currentItem()) keep = NodeCode(current);
  const auto snapshot = core_.Dir().Get();
  tree_ = OrgTree(*snapshot);
  shownCompany_ = snapshot->CompanyName();
  shownOrgs_ = snapshot->Orgs();
  {
    // Rebuilding is not a change of the administrator's choice.
    QSignalBlocker block(orgTree);
    orgTree->clear();
    std::vector<QTreeWidgetItem*> items(tree_.Nodes().size(), nullptr);
    for (int n : tree_.TreeOrder()) {
      const OrgTree::Node& node = tree_.At(n);
      QTreeWidgetItem* item = node.parent < 0 ? new QTreeWidgetItem(orgTree)
                                              : new QTreeWidgetItem(items[static_cast<std::size_t>(node.parent)]);
      item->setText(0, Q(node.record->organizename));
      item->setIcon(0, OrgImage(n == OrgTree::kRoot ? 0 : 1));
      item->setData(0, kCodeRole, Q(node.record->organizeNo));
      items[static_cast<std::size_t>(n)] = item;
    }
    orgTree->expandAll();
    if (keep) orgTree->setCurrentItem(FindOrgNode(*keep));
  }
  return true;
}

void MainWindow::OrgTreeCurrentChanged(QTreeWidgetItem* item) {
  ShowOrgUsers(item);
  if (item)
    CurrentOrgNode = NodeCode(item);
  else
    CurrentOrgNode.reset();
}

void MainWindow::OrgTreePressed(QTreeWidgetItem* item, Qt::MouseButton button) {
  if (button != Qt::LeftButton && orgTree->currentItem() != item) orgTree->setCurrentItem(item);
  ShowOrgUsers(item);
}

void MainWindow::OrgTreeDoubleClicked() { OpenRename(orgTree->currentItem()); }

void MainWindow::DropUsersOnOrg(QTreeWidgetItem* item) {
  if (!item) return;
  std::string code = NodeCode(item);
  if (tree_.Find(code) < 0) return;
  std::vector<std::string> names = SelectedNames(orgUserList);
  QString question = Q(MoveUsersQuestion(names.size(), item->text(0).toStdString()));
  if (!prompter_.Question(this, question, Q(kInfoCaption))) return;
  AdminResult result = MoveUsers(core_.Dir(), core_.Db(), names, code);
  ShowAdminError(result);
  ShowOrgUsers(FindOrgNode(code));
}

void MainWindow::UpdateOrgMenu() {
  QTreeWidgetItem* current = orgTree->currentItem();
  bool notRoot = current && NodeCode(current) != kRootOrgNo;
  newOrgAction->setEnabled(current != nullptr);
  editOrgAction->setEnabled(current != nullptr);
  deleteOrgAction->setEnabled(notRoot);
  orgNewUserAction->setEnabled(notRoot);
}

// --- Lists ----------------------------------------------------------------------------

void MainWindow::ShowRows(QTreeWidget* list, std::vector<UserRow>& rows, const SortState& state) {
  std::vector<std::string> selected = SelectedNames(list);
  SortRows(rows, state);
  list->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows.size()));
  for (const UserRow& row : rows) {
    auto* item = new QTreeWidgetItem;
    for (int c = 0; c < 4; ++c) item->setText(c, Q(RowText(row, c)));
    item->setIcon(0, OrgImage(2));
    item->setData(0, kUserNameRole, Q(row.user->username));
    items.push_back(item);
  }
  list->addTopLevelItems(items);
  for (QTreeWidgetItem* item : items)
    if (std::find(selected.begin(), selected.end(), item->data(0, kUserNameRole).toString().toStdString()) !=
        selected.end())
      item->setSelected(true);
  list->header()->setSortIndicator(state.column, state.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void MainWindow::ShowOrgUsers(QTreeWidgetItem* item) {
  OrgUserSort.Reset();
  FillOrgUsers(item, *core_.Dir().Get());
}

void MainWindow::ShowAllUsers() {
  AllUserSort.Reset();
  FillAllUsers(*core_.Dir().Get());
}

void MainWindow::FillOrgUsers(QTreeWidgetItem* item, const DirectorySnapshot& snapshot) {
  shownOrgUsers_ = snapshot.Users();
  orgUserRows_.clear();
  if (item) orgUserRows_ = MakeUserRows(UsersUnder(snapshot, NodeCode(item)), tree_);
  ShowRows(orgUserList, orgUserRows_, OrgUserSort);
}

void MainWindow::FillAllUsers(const DirectorySnapshot& snapshot) {
  shownUsers_ = snapshot.Users();
  allUserRows_ = MakeUserRows(shownUsers_, tree_);
  ShowRows(userList, allUserRows_, AllUserSort);
}

void MainWindow::FollowDirectory() {
  // A dialog or menu may hold rows or nodes of the views; a held button may
  // be a drag. The next tick tries again.
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget() ||
      QGuiApplication::mouseButtons() != Qt::NoButton)
    return;
  const auto snapshot = core_.Dir().Get();
  const bool orgsChanged = snapshot->CompanyName() != shownCompany_ || snapshot->Orgs() != shownOrgs_;
  if (orgsChanged) {
    BuildOrgTree();  // keeps the current node when it still exists
    QTreeWidgetItem* current = orgTree->currentItem();
    CurrentOrgNode = current ? std::optional<std::string>(NodeCode(current)) : std::nullopt;
  }
  // Department names show in the rows, so a tree change refills both lists;
  // the administrator's sort order and selection stay.
  if (orgsChanged || snapshot->Users() != shownUsers_) FillAllUsers(*snapshot);
  if (orgsChanged || snapshot->Users() != shownOrgUsers_) FillOrgUsers(orgTree->currentItem(), *snapshot);
}

void MainWindow::SortOrgUsersByColumn(int column) {
  OrgUserSort.Click(column);
  ShowRows(orgUserList, orgUserRows_, OrgUserSort);
}

void MainWindow::SortAllUsersByColumn(int column) {
  AllUserSort.Click(column);
  ShowRows(userList, allUserRows_, AllUserSort);
}

std::vector<std::string> MainWindow::SelectedNames(const QTreeWidget* list) {
  std::vector<std::string> names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list->topLevelItem(i);
    if (item->isSelected()) names.push_back(item->data(0, kUserNameRole).toString().toStdString());
  }
  return names;
}

void MainWindow::UpdateOrgUserMenu() {
  bool selected = !orgUserList->selectedItems().isEmpty();
  orgUserNewAction->setEnabled(true);
  orgUserEditAction->setEnabled(selected);
  orgUserDeleteAction->setEnabled(selected);
}

void MainWindow::UpdateUserMenu() {
  bool selected = !userList->selectedItems().isEmpty();
  userNewAction->setEnabled(true);
  userEditAction->setEnabled(selected);
  userDeleteAction->setEnabled(selected);
}

// --- Account commands ---------------------------------------------------------------

void MainWindow::OpenNewUser(const std::optional<std::string>& preselect, bool fromOrgPage) {
  if (core_.Dir().Get()->Orgs().empty()) {
    prompter_.Information(this, Q(kNeedOrgFirstMessage), Q(kInfoCaption));
    return;
  }
  userEditor->PrepareNew(tree_, fromOrgPage ? preselect : std::nullopt);
  ExecDialog(*userEditor);
}

void MainWindow::NewUserFromList() { OpenNewUser(std::nullopt, false); }

void MainWindow::NewUserInOrg() { OpenNewUser(CurrentOrgNode, true); }

void MainWindow::OpenUpdateUser(QTreeWidget* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  // The account as it is now, not as the row saw it.
  auto snapshot = core_.Dir().Get();
  const TUserInfo* user = snapshot->FindUser(names.front());
  if (!user) {
    const auto& rows = list == orgUserList ? orgUserRows_ : allUserRows_;
    for (const UserRow& row : rows)
      if (row.user->username == names.front()) {
        user = row.user.get();
        break;
      }
  }
  if (!user) return;
  userEditor->PrepareUpdate(*user, tree_);
  ExecDialog(*userEditor);
}

void MainWindow::EditUserFromList() { OpenUpdateUser(userList); }

void MainWindow::EditUserInOrg() { OpenUpdateUser(orgUserList); }

void MainWindow::DeleteSelectedUser(QTreeWidget* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  if (!prompter_.Question(this, Q(kDeleteUserQuestion), Q(kInfoCaption))) return;
  AdminResult result = DeleteUser(core_.Dir(), core_.Db(), names.front());
  ShowAdminError(result);
  // Both lists are rebuilt, so no row shows a deleted account.
  ShowAllUsers();
  ShowOrgUsers(CurrentOrgNode ? FindOrgNode(*CurrentOrgNode) : nullptr);
}

void MainWindow::DeleteUserFromList() { DeleteSelectedUser(userList); }

void MainWindow::DeleteUserInOrg() { DeleteSelectedUser(orgUserList); }

void MainWindow::ShowAdminError(const AdminResult& result) {
  if (!result.ok && !result.message.empty()) prompter_.Information(this, Q(result.message), Q(result.caption));
}

// --- Department commands ------------------------------------------------------------

void MainWindow::NewDepartment() {
  QTreeWidgetItem* current = orgTree->currentItem();
  if (!current) return;
  newOrgDialog->Prepare(NodeCode(current));
  ExecDialog(*newOrgDialog);
}

void MainWindow::OpenRename(QTreeWidgetItem* item) {
  if (!item) return;
  int node = tree_.Find(NodeCode(item));
  if (node < 0) return;
  const TorgInfo& record = *tree_.At(node).record;
  editOrgDialog->Prepare(record.organizeNo, record.organizename, record.orgID);
  ExecDialog(*editOrgDialog);
}

void MainWindow::EditDepartment() { OpenRename(orgTree->currentItem()); }

void MainWindow::RefreshAfterOrgChange(const std::string& code) {
  BuildOrgTree();
  ShowAllUsers();
  ShowOrgUsers(FindOrgNode(code));
}

void MainWindow::DeleteDepartment() {
  QTreeWidgetItem* current = orgTree->currentItem();
  if (!current || NodeCode(current) == kRootOrgNo) return;
  if (!prompter_.Question(this, Q(kDeleteOrgQuestion), Q(kInfoCaption))) return;
  std::string parent = NodeCode(current->parent());
  AdminResult result = DeleteOrg(core_.Dir(), core_.Db(), NodeCode(current));
  ShowAdminError(result);
  if (result.ok) {
    // The deleted department's parent becomes the current node.
    BuildOrgTree();
    QSignalBlocker block(orgTree);
    orgTree->setCurrentItem(FindOrgNode(parent));
    CurrentOrgNode = parent;
  }
  ShowAllUsers();
  ShowOrgUsers(orgTree->currentItem());
}

// --- Page and server commands --------------------------------------------------------

void MainWindow::ShowUsersPage() {
  pageControl->setCurrentWidget(usersPage);
  ShowAllUsers();
}

void MainWindow::ShowOrgPage() { pageControl->setCurrentWidget(orgPage); }

void MainWindow::ShowStatusPage() { pageControl->setCurrentWidget(statusPage); }

void MainWindow::StartServer() { core_.StartServer(); }

void MainWindow::StopServer() { core_.StopServer(); }

}  // namespace corvan
