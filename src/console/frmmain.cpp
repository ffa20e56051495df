#include "console/frmmain.h"

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

#include "console/frmorg.h"
#include "console/frmuser.h"
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

OrgTreeWidget::OrgTreeWidget(QWidget* parent) : QTreeWidget(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(true);
}

void OrgTreeWidget::mousePressEvent(QMouseEvent* event) {
  QTreeWidget::mousePressEvent(event);
  emit MousePressed(itemAt(event->position().toPoint()), event->button());
}

void OrgTreeWidget::dragEnterEvent(QDragEnterEvent* event) {
  if (dragSource_ && event->source() == dragSource_)
    event->acceptProposedAction();
  else
    event->ignore();
}

void OrgTreeWidget::dragMoveEvent(QDragMoveEvent* event) {
  if (dragSource_ && event->source() == dragSource_)
    event->acceptProposedAction();
  else
    event->ignore();
}

void OrgTreeWidget::dropEvent(QDropEvent* event) {
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

class Tfrmmain::Observer : public CoreObserver {
 public:
  explicit Observer(Tfrmmain* window) : window_(window) {}
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
    QMetaObject::invokeMethod(window_, [w = window_] { w->Rzpagectrl->setCurrentWidget(w->Tabstatus); },
                              Qt::QueuedConnection);
  }

 private:
  Tfrmmain* window_;
};

// --- Window ---------------------------------------------------------------------

Tfrmmain::Tfrmmain(ServerCore& core, Prompter& prompter, QWidget* parent)
    : QMainWindow(parent), core_(core), prompter_(prompter), observer_(std::make_unique<Observer>(this)) {
  setObjectName(QStringLiteral("Tfrmmain"));
  setWindowTitle(QStringLiteral("Corvan服务器"));
  ExecDialog = [](QDialog& dialog) { return dialog.exec(); };

  Rzpagectrl = new QTabWidget(this);
  Rzpagectrl->setObjectName(QStringLiteral("Rzpagectrl"));
  Rzpagectrl->tabBar()->hide();
  Tabmanageuser = new QWidget(Rzpagectrl);
  Tabmanageuser->setObjectName(QStringLiteral("Tabmanageuser"));
  Tabmanageorg = new QWidget(Rzpagectrl);
  Tabmanageorg->setObjectName(QStringLiteral("Tabmanageorg"));
  Tabstatus = new QWidget(Rzpagectrl);
  Tabstatus->setObjectName(QStringLiteral("Tabstatus"));
  Rzpagectrl->addTab(Tabmanageuser, QStringLiteral("用户管理"));
  Rzpagectrl->addTab(Tabmanageorg, QStringLiteral("组织管理"));
  Rzpagectrl->addTab(Tabstatus, QStringLiteral("状态"));
  setCentralWidget(Rzpagectrl);

  // Users page.
  Rzlvwuserlist = MakeUserList("Rzlvwuserlist");
  Rzlvwuserlist->setParent(Tabmanageuser);
  Rzlvwuserlist->setSelectionMode(QAbstractItemView::SingleSelection);
  auto* usersLayout = new QVBoxLayout(Tabmanageuser);
  usersLayout->setContentsMargins(0, 0, 0, 0);
  usersLayout->addWidget(Rzlvwuserlist);

  // Organisation page: the tree on the left, its department's accounts right.
  auto* splitter = new QSplitter(Qt::Horizontal, Tabmanageorg);
  RzTvworg = new OrgTreeWidget(splitter);
  RzTvworg->setObjectName(QStringLiteral("RzTvworg"));
  RzTvworg->setHeaderHidden(true);
  RzTvworg->setEditTriggers(QAbstractItemView::NoEditTriggers);
  RzTvworg->setContextMenuPolicy(Qt::CustomContextMenu);
  Rzlvwuser = MakeUserList("Rzlvwuser");
  Rzlvwuser->setParent(splitter);
  Rzlvwuser->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Rzlvwuser->setDragEnabled(true);
  Rzlvwuser->setDragDropMode(QAbstractItemView::DragOnly);
  Rzlvwuser->setDefaultDropAction(Qt::CopyAction);
  RzTvworg->SetDragSource(Rzlvwuser);
  splitter->addWidget(RzTvworg);
  splitter->addWidget(Rzlvwuser);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 3);
  splitter->setSizes({200, 600});
  auto* orgLayout = new QVBoxLayout(Tabmanageorg);
  orgLayout->setContentsMargins(0, 0, 0, 0);
  orgLayout->addWidget(splitter);

  // Status page.
  Memostatus = new QPlainTextEdit(Tabstatus);
  Memostatus->setObjectName(QStringLiteral("Memostatus"));
  Memostatus->setReadOnly(true);
  Memostatus->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memostatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* statusLayout = new QVBoxLayout(Tabstatus);
  statusLayout->setContentsMargins(0, 0, 0, 0);
  statusLayout->addWidget(Memostatus);

  BuildMenus();

  connect(RzTvworg, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) { RzTvworgChange(current); });
  connect(RzTvworg, &OrgTreeWidget::MousePressed, this, &Tfrmmain::RzTvworgMouseDown);
  connect(RzTvworg, &QTreeWidget::itemDoubleClicked, this, [this] { RzTvworgDblClick(); });
  connect(RzTvworg, &OrgTreeWidget::Dropped, this, &Tfrmmain::RzTvworgDragDrop);
  connect(Rzlvwuser->header(), &QHeaderView::sectionClicked, this, &Tfrmmain::RzlvwuserColumnClick);
  connect(Rzlvwuserlist->header(), &QHeaderView::sectionClicked, this, &Tfrmmain::RzlvwuserlistColumnClick);
  connect(Rzlvwuser, &QTreeWidget::itemDoubleClicked, this, [this] { OpenUpdateUser(Rzlvwuser); });
  connect(Rzlvwuserlist, &QTreeWidget::itemDoubleClicked, this, [this] { OpenUpdateUser(Rzlvwuserlist); });
  connect(RzTvworg, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    poporgPopup();
    poporg->popup(RzTvworg->viewport()->mapToGlobal(pos));
  });
  connect(Rzlvwuser, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    poporguserPopup();
    poporguser->popup(Rzlvwuser->viewport()->mapToGlobal(pos));
  });
  connect(Rzlvwuserlist, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    poplvwuserPopup();
    poplvwuser->popup(Rzlvwuserlist->viewport()->mapToGlobal(pos));
  });

  frmuser = new Tfrmuser(core_, prompter_, this);
  frmneworg = new Tfrmneworg(core_, prompter_, this);
  frmorgrename = new Tfrmorgrename(core_, prompter_, this);
  connect(frmuser, &Tfrmuser::SaveFinished, this, [this] {
    ShowAllUsers();
    if (CurrentOrgNode) ShowOrgUsers(FindOrgNode(*CurrentOrgNode));
  });
  connect(frmneworg, &TfrmorgBase::OrgSaved, this, [this](const QString& code) { RefreshAfterOrgChange(code.toStdString()); });
  connect(frmorgrename, &TfrmorgBase::OrgSaved, this,
          [this](const QString& code) { RefreshAfterOrgChange(code.toStdString()); });

  directoryWatch_ = new QTimer(this);
  directoryWatch_->setInterval(1000);
  connect(directoryWatch_, &QTimer::timeout, this, &Tfrmmain::FollowDirectory);

  // The sort state before the first fill.
  UserSort = SortState{};
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
  Rzpagectrl->setCurrentWidget(Tabstatus);
}

Tfrmmain::~Tfrmmain() {
  core_.SetObserver(nullptr);
  core_.Log().SetSink({});
}

QTreeWidget* Tfrmmain::MakeUserList(const char* name) {
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

void Tfrmmain::BuildMenus() {
  // The page and server commands. The shell (MainShell) shows them on its
  // menu buttons and replaces this plain menu bar.
  QMenu* server = menuBar()->addMenu(QStringLiteral("服务器"));
  server->setObjectName(QStringLiteral("Nserver"));
  Nserverstart = MakeAction(this, "Nserverstart", QStringLiteral("启动"));
  Nserverstop = MakeAction(this, "Nserverstop", QStringLiteral("停止"));
  Nserverstatus = MakeAction(this, "Nserverstatus", QStringLiteral("状态"));
  server->addActions({Nserverstart, Nserverstop, Nserverstatus});
  QMenu* manage = menuBar()->addMenu(QStringLiteral("管理"));
  manage->setObjectName(QStringLiteral("Nmanage"));
  Nmanageuser = MakeAction(this, "Nmanageuser", QStringLiteral("用户管理"));
  Nmanageorg = MakeAction(this, "Nmanageorg", QStringLiteral("组织管理"));
  manage->addActions({Nmanageuser, Nmanageorg});
  connect(Nserverstart, &QAction::triggered, this, &Tfrmmain::NserverstartClick);
  connect(Nserverstop, &QAction::triggered, this, &Tfrmmain::NserverstopClick);
  connect(Nserverstatus, &QAction::triggered, this, &Tfrmmain::NserverstatusClick);
  connect(Nmanageuser, &QAction::triggered, this, &Tfrmmain::NmanageuserClick);
  connect(Nmanageorg, &QAction::triggered, this, &Tfrmmain::NmanageorgClick);

  poporg = new QMenu(this);
  poporg->setObjectName(QStringLiteral("poporg"));
  poporgnew = MakeAction(poporg, "poporgnew", QStringLiteral("新建部门"));
  poporgrename = MakeAction(poporg, "poporgrename", QStringLiteral("修改部门"));
  poporgdelete = MakeAction(poporg, "poporgdelete", QStringLiteral("删除部门"));
  poporgnewuser = MakeAction(poporg, "poporgnewuser", QStringLiteral("新建用户"));
  poporg->addActions({poporgnew, poporgrename, poporgdelete});
  poporg->addSeparator();
  poporg->addAction(poporgnewuser);
  connect(poporgnew, &QAction::triggered, this, &Tfrmmain::poporgnewClick);
  connect(poporgrename, &QAction::triggered, this, &Tfrmmain::poporgrenameClick);
  connect(poporgdelete, &QAction::triggered, this, &Tfrmmain::poporgdeleteClick);
  connect(poporgnewuser, &QAction::triggered, this, &Tfrmmain::poporgusernewClick);

  poporguser = new QMenu(this);
  poporguser->setObjectName(QStringLiteral("poporguser"));
  poporgusernew = MakeAction(poporguser, "poporgusernew", QStringLiteral("新建用户"));
  poporguserupdate = MakeAction(poporguser, "poporguserupdate", QStringLiteral("修改用户"));
  poporguserdelete = MakeAction(poporguser, "poporguserdelete", QStringLiteral("删除用户"));
  poporguser->addActions({poporgusernew, poporguserupdate, poporguserdelete});
  connect(poporgusernew, &QAction::triggered, this, &Tfrmmain::poporgusernewClick);
  connect(poporguserupdate, &QAction::triggered, this, &Tfrmmain::poporguserupdateClick);
  connect(poporguserdelete, &QAction::triggered, this, &Tfrmmain::poporguserdeleteClick);

  poplvwuser = new QMenu(this);
  poplvwuser->setObjectName(QStringLiteral("poplvwuser"));
  poplvwusernew = MakeAction(poplvwuser, "poplvwusernew", QStringLiteral("新建用户"));
  poplvwuserupdate = MakeAction(poplvwuser, "poplvwuserupdate", QStringLiteral("修改用户"));
  poplvwuserdelete = MakeAction(poplvwuser, "poplvwuserdelete", QStringLiteral("删除用户"));
  poplvwuser->addActions({poplvwusernew, poplvwuserupdate, poplvwuserdelete});
  connect(poplvwusernew, &QAction::triggered, this, &Tfrmmain::poplvwusernewClick);
  connect(poplvwuserupdate, &QAction::triggered, this, &Tfrmmain::poplvwuserupdateClick);
  connect(poplvwuserdelete, &QAction::triggered, this, &Tfrmmain::poplvwuserdeleteClick);
}

void Tfrmmain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (firstShown_) return;
  firstShown_ = true;
  // Run after the window has appeared, once per program run.
  QMetaObject::invokeMethod(this, [this] { FirstShow(); }, Qt::QueuedConnection);
}

bool Tfrmmain::FirstShow(bool startServer) {
  firstShown_ = true;
  if (!core_.FirstShow(false)) return false;
  BuildOrgTree();
  directoryWatch_->start();
  Rzpagectrl->setCurrentWidget(Tabstatus);
  if (core_.Settings().StartMin && StartMinimized) StartMinimized();
  if (startServer) core_.StartServer();
  return true;
}

// --- Status log ---------------------------------------------------------------------

void Tfrmmain::LogStatus(const QString& line) {
  Memostatus->appendPlainText(line);
  if (++statusLines_ > kMaxStatusLines) {
    Memostatus->clear();
    statusLines_ = 0;
  }
}

void Tfrmmain::ClearStatusLog() {
  Memostatus->clear();
  statusLines_ = 0;
}

// --- Tree ---------------------------------------------------------------------------

std::string Tfrmmain::NodeCode(const QTreeWidgetItem* item) {
  return item ? item->data(0, kCodeRole).toString().toStdString() : std::string();
}

QTreeWidgetItem* Tfrmmain::FindOrgNode(const std::string& code) const {
  QString wanted = Q(code);
  for (QTreeWidgetItemIterator it(RzTvworg); *it; ++it)
    if ((*it)->data(0, kCodeRole).toString() == wanted) return *it;
  return nullptr;
}

bool Tfrmmain::BuildOrgTree() {
  std::optional<std::string> keep;
  if (QTreeWidgetItem* current = RzTvworg->currentItem()) keep = NodeCode(current);
  const auto snapshot = core_.Dir().Get();
  tree_ = OrgTree(*snapshot);
  shownCompany_ = snapshot->CompanyName();
  shownOrgs_ = snapshot->Orgs();
  {
    // Rebuilding is not a change of the administrator's choice.
    QSignalBlocker block(RzTvworg);
    RzTvworg->clear();
    std::vector<QTreeWidgetItem*> items(tree_.Nodes().size(), nullptr);
    for (int n : tree_.TreeOrder()) {
      const OrgTree::Node& node = tree_.At(n);
      QTreeWidgetItem* item = node.parent < 0 ? new QTreeWidgetItem(RzTvworg)
                                              : new QTreeWidgetItem(items[static_cast<std::size_t>(node.parent)]);
      item->setText(0, Q(node.record->organizename));
      item->setIcon(0, OrgImage(n == OrgTree::kRoot ? 0 : 1));
      item->setData(0, kCodeRole, Q(node.record->organizeNo));
      items[static_cast<std::size_t>(n)] = item;
    }
    RzTvworg->expandAll();
    if (keep) RzTvworg->setCurrentItem(FindOrgNode(*keep));
  }
  return true;
}

void Tfrmmain::RzTvworgChange(QTreeWidgetItem* item) {
  ShowOrgUsers(item);
  if (item)
    CurrentOrgNode = NodeCode(item);
  else
    CurrentOrgNode.reset();
}

void Tfrmmain::RzTvworgMouseDown(QTreeWidgetItem* item, Qt::MouseButton button) {
  if (button != Qt::LeftButton && RzTvworg->currentItem() != item) RzTvworg->setCurrentItem(item);
  ShowOrgUsers(item);
}

void Tfrmmain::RzTvworgDblClick() { OpenRename(RzTvworg->currentItem()); }

void Tfrmmain::RzTvworgDragDrop(QTreeWidgetItem* item) {
  if (!item) return;
  std::string code = NodeCode(item);
  if (tree_.Find(code) < 0) return;
  std::vector<std::string> names = SelectedNames(Rzlvwuser);
  QString question = Q(MoveUsersQuestion(names.size(), item->text(0).toStdString()));
  if (!prompter_.Question(this, question, Q(kInfoCaption))) return;
  AdminResult result = MoveUsers(core_.Dir(), core_.Db(), names, code);
  ShowAdminError(result);
  ShowOrgUsers(FindOrgNode(code));
}

void Tfrmmain::poporgPopup() {
  QTreeWidgetItem* current = RzTvworg->currentItem();
  bool notRoot = current && NodeCode(current) != kRootOrgNo;
  poporgnew->setEnabled(current != nullptr);
  poporgrename->setEnabled(current != nullptr);
  poporgdelete->setEnabled(notRoot);
  poporgnewuser->setEnabled(notRoot);
}

// --- Lists ----------------------------------------------------------------------------

void Tfrmmain::ShowRows(QTreeWidget* list, std::vector<UserRow>& rows, const SortState& state) {
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

void Tfrmmain::ShowOrgUsers(QTreeWidgetItem* item) {
  UserSort.Reset();
  FillOrgUsers(item, *core_.Dir().Get());
}

void Tfrmmain::ShowAllUsers() {
  AllUserSort.Reset();
  FillAllUsers(*core_.Dir().Get());
}

void Tfrmmain::FillOrgUsers(QTreeWidgetItem* item, const DirectorySnapshot& snapshot) {
  shownOrgUsers_ = snapshot.Users();
  userRows_.clear();
  if (item) userRows_ = MakeUserRows(UsersUnder(snapshot, NodeCode(item)), tree_);
  ShowRows(Rzlvwuser, userRows_, UserSort);
}

void Tfrmmain::FillAllUsers(const DirectorySnapshot& snapshot) {
  shownUsers_ = snapshot.Users();
  allUserRows_ = MakeUserRows(shownUsers_, tree_);
  ShowRows(Rzlvwuserlist, allUserRows_, AllUserSort);
}

void Tfrmmain::FollowDirectory() {
  // A dialog or menu may hold rows or nodes of the views; a held button may
  // be a drag. The next tick tries again.
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget() ||
      QGuiApplication::mouseButtons() != Qt::NoButton)
    return;
  const auto snapshot = core_.Dir().Get();
  const bool orgsChanged = snapshot->CompanyName() != shownCompany_ || snapshot->Orgs() != shownOrgs_;
  if (orgsChanged) {
    BuildOrgTree();  // keeps the current node when it still exists
    QTreeWidgetItem* current = RzTvworg->currentItem();
    CurrentOrgNode = current ? std::optional<std::string>(NodeCode(current)) : std::nullopt;
  }
  // Department names show in the rows, so a tree change refills both lists;
  // the administrator's sort order and selection stay.
  if (orgsChanged || snapshot->Users() != shownUsers_) FillAllUsers(*snapshot);
  if (orgsChanged || snapshot->Users() != shownOrgUsers_) FillOrgUsers(RzTvworg->currentItem(), *snapshot);
}

void Tfrmmain::RzlvwuserColumnClick(int column) {
  UserSort.Click(column);
  ShowRows(Rzlvwuser, userRows_, UserSort);
}

void Tfrmmain::RzlvwuserlistColumnClick(int column) {
  AllUserSort.Click(column);
  ShowRows(Rzlvwuserlist, allUserRows_, AllUserSort);
}

std::vector<std::string> Tfrmmain::SelectedNames(const QTreeWidget* list) {
  std::vector<std::string> names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list->topLevelItem(i);
    if (item->isSelected()) names.push_back(item->data(0, kUserNameRole).toString().toStdString());
  }
  return names;
}

void Tfrmmain::poporguserPopup() {
  bool selected = !Rzlvwuser->selectedItems().isEmpty();
  poporgusernew->setEnabled(true);
  poporguserupdate->setEnabled(selected);
  poporguserdelete->setEnabled(selected);
}

void Tfrmmain::poplvwuserPopup() {
  bool selected = !Rzlvwuserlist->selectedItems().isEmpty();
  poplvwusernew->setEnabled(true);
  poplvwuserupdate->setEnabled(selected);
  poplvwuserdelete->setEnabled(selected);
}

// --- Account commands ---------------------------------------------------------------

void Tfrmmain::OpenNewUser(const std::optional<std::string>& preselect, bool fromOrgPage) {
  if (core_.Dir().Get()->Orgs().empty()) {
    prompter_.Information(this, Q(kNeedOrgFirstMessage), Q(kInfoCaption));
    return;
  }
  frmuser->PrepareNew(tree_, fromOrgPage ? preselect : std::nullopt);
  ExecDialog(*frmuser);
}

void Tfrmmain::poplvwusernewClick() { OpenNewUser(std::nullopt, false); }

void Tfrmmain::poporgusernewClick() { OpenNewUser(CurrentOrgNode, true); }

void Tfrmmain::OpenUpdateUser(QTreeWidget* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  // The account as it is now, not as the row saw it.
  auto snapshot = core_.Dir().Get();
  const TUserInfo* user = snapshot->FindUser(names.front());
  if (!user) {
    const auto& rows = list == Rzlvwuser ? userRows_ : allUserRows_;
    for (const UserRow& row : rows)
      if (row.user->username == names.front()) {
        user = row.user.get();
        break;
      }
  }
  if (!user) return;
  frmuser->PrepareUpdate(*user, tree_);
  ExecDialog(*frmuser);
}

void Tfrmmain::poplvwuserupdateClick() { OpenUpdateUser(Rzlvwuserlist); }

void Tfrmmain::poporguserupdateClick() { OpenUpdateUser(Rzlvwuser); }

void Tfrmmain::DeleteSelectedUser(QTreeWidget* list) {
  std::vector<std::string> names = SelectedNames(list);
  if (names.empty()) return;
  if (!prompter_.Question(this, Q(kDeleteUserQuestion), Q(kInfoCaption))) return;
  AdminResult result = DeleteUser(core_.Dir(), core_.Db(), names.front());
  ShowAdminError(result);
  // Both lists are rebuilt, so no row shows a deleted account.
  ShowAllUsers();
  ShowOrgUsers(CurrentOrgNode ? FindOrgNode(*CurrentOrgNode) : nullptr);
}

void Tfrmmain::poplvwuserdeleteClick() { DeleteSelectedUser(Rzlvwuserlist); }

void Tfrmmain::poporguserdeleteClick() { DeleteSelectedUser(Rzlvwuser); }

void Tfrmmain::ShowAdminError(const AdminResult& result) {
  if (!result.ok && !result.message.empty()) prompter_.Information(this, Q(result.message), Q(result.caption));
}

// --- Department commands ------------------------------------------------------------

void Tfrmmain::poporgnewClick() {
  QTreeWidgetItem* current = RzTvworg->currentItem();
  if (!current) return;
  frmneworg->Prepare(NodeCode(current));
  ExecDialog(*frmneworg);
}

void Tfrmmain::OpenRename(QTreeWidgetItem* item) {
  if (!item) return;
  int node = tree_.Find(NodeCode(item));
  if (node < 0) return;
  const TorgInfo& record = *tree_.At(node).record;
  frmorgrename->Prepare(record.organizeNo, record.organizename, record.orgID);
  ExecDialog(*frmorgrename);
}

void Tfrmmain::poporgrenameClick() { OpenRename(RzTvworg->currentItem()); }

void Tfrmmain::RefreshAfterOrgChange(const std::string& code) {
  BuildOrgTree();
  ShowAllUsers();
  ShowOrgUsers(FindOrgNode(code));
}

void Tfrmmain::poporgdeleteClick() {
  QTreeWidgetItem* current = RzTvworg->currentItem();
  if (!current || NodeCode(current) == kRootOrgNo) return;
  if (!prompter_.Question(this, Q(kDeleteOrgQuestion), Q(kInfoCaption))) return;
  std::string parent = NodeCode(current->parent());
  AdminResult result = DeleteOrg(core_.Dir(), core_.Db(), NodeCode(current));
  ShowAdminError(result);
  if (result.ok) {
    // The deleted department's parent becomes the current node.
    BuildOrgTree();
    QSignalBlocker block(RzTvworg);
    RzTvworg->setCurrentItem(FindOrgNode(parent));
    CurrentOrgNode = parent;
  }
  ShowAllUsers();
  ShowOrgUsers(RzTvworg->currentItem());
}

// --- Page and server commands --------------------------------------------------------

void Tfrmmain::NmanageuserClick() {
  Rzpagectrl->setCurrentWidget(Tabmanageuser);
  ShowAllUsers();
}

void Tfrmmain::NmanageorgClick() { Rzpagectrl->setCurrentWidget(Tabmanageorg); }

void Tfrmmain::NserverstatusClick() { Rzpagectrl->setCurrentWidget(Tabstatus); }

void Tfrmmain::NserverstartClick() { core_.StartServer(); }

void Tfrmmain::NserverstopClick() { core_.StopServer(); }

}  // namespace corvan
