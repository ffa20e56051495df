#include "console/frmset.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "console/prompter.h"
#include "server/server_core.h"
#include "storage/config.h"

namespace corvan {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QAction* MakeAction(QObject* parent, const char* name, const QString& caption) {
  auto* a = new QAction(caption, parent);
  a->setObjectName(QString::fromLatin1(name));
  return a;
}

// A group of the task bar: its caption, then one flat button per item.
void AddTaskGroup(QVBoxLayout* bar, QWidget* parent, const QString& caption, std::initializer_list<QAction*> items) {
  auto* header = new QLabel(caption, parent);
  header->setStyleSheet(
      QStringLiteral("font-weight: bold; color: white; background: #3a6ea5; padding: 3px;"));
  bar->addWidget(header);
  for (QAction* action : items) {
    auto* button = new QToolButton(parent);
    button->setDefaultAction(action);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setStyleSheet(QStringLiteral("text-align: left; padding-left: 12px;"));
    bar->addWidget(button);
  }
}

}  // namespace

Tfrmset::Tfrmset(ServerCore& core, Prompter& prompter, QWidget* parent)
    : Tfrmbasenosize(parent), core_(core), prompter_(prompter) {
  setObjectName(QStringLiteral("Tfrmset"));
  setModal(true);
  // FormCreate: the title after the frame's own creation.
  Skin->SetTitle(QStringLiteral("设置"));

  actoristart = MakeAction(this, "actoristart", QStringLiteral("启动设置"));
  actorinetwork = MakeAction(this, "actorinetwork", QStringLiteral("网络设置"));
  actadvreg = MakeAction(this, "actadvreg", QStringLiteral("注册设置"));
  actadvoffline = MakeAction(this, "actadvoffline", QStringLiteral("离线信息设置"));
  connect(actoristart, &QAction::triggered, this, &Tfrmset::actoristartExecute);
  connect(actorinetwork, &QAction::triggered, this, &Tfrmset::actorinetworkExecute);
  connect(actadvreg, &QAction::triggered, this, &Tfrmset::actadvregExecute);
  connect(actadvoffline, &QAction::triggered, this, &Tfrmset::actadvofflineExecute);

  auto* taskbar = new QWidget(this);
  taskbar->setObjectName(QStringLiteral("Rzgrpbarset"));
  taskbar->setFixedWidth(120);
  taskbar->setAutoFillBackground(true);
  taskbar->setStyleSheet(QStringLiteral("#Rzgrpbarset { background: #dde8f4; }"));
  auto* bar = new QVBoxLayout(taskbar);
  bar->setContentsMargins(4, 4, 4, 4);
  bar->setSpacing(2);
  AddTaskGroup(bar, taskbar, QStringLiteral("普通设置"), {actoristart, actorinetwork});
  bar->addSpacing(8);
  AddTaskGroup(bar, taskbar, QStringLiteral("高级设置"), {actadvreg, actadvoffline});
  bar->addStretch(1);

  Pgcset = new QTabWidget(this);
  Pgcset->setObjectName(QStringLiteral("Pgcset"));
  Pgcset->tabBar()->hide();

  Tabsheetnetwork = MakePage("Tabsheetnetwork", QStringLiteral("网络设置"),
                             {QStringLiteral("设置服务器的通讯端口。"), QStringLiteral("端口改变后，服务器需要重新启动后生效。")});
  {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("服务器监听端口"), Tabsheetnetwork));
    edtServerPort = new QLineEdit(Tabsheetnetwork);
    edtServerPort->setObjectName(QStringLiteral("edtServerPort"));
    edtServerPort->setMaxLength(10);
    edtServerPort->setFixedWidth(100);
    row->addWidget(edtServerPort);
    row->addStretch(1);
    static_cast<QVBoxLayout*>(Tabsheetnetwork->layout())->insertLayout(0, row);
  }

  Tabsheetstart = MakePage("Tabsheetstart", QStringLiteral("启动设置"),
                           {QStringLiteral("设置是否开机启动及最小化设置。"),
                            QStringLiteral("启动时最小化即第一次程序打开时最小化到任务栏。")});
  {
    chkautostart = new QCheckBox(QStringLiteral("开机启动"), Tabsheetstart);
    chkautostart->setObjectName(QStringLiteral("chkautostart"));
    chkstartmin = new QCheckBox(QStringLiteral("启动时最小化"), Tabsheetstart);
    chkstartmin->setObjectName(QStringLiteral("chkstartmin"));
    auto* page = static_cast<QVBoxLayout*>(Tabsheetstart->layout());
    page->insertWidget(0, chkautostart);
    page->insertWidget(1, chkstartmin);
  }

  Tabsheetreg = MakePage("Tabsheetreg", QStringLiteral("注册设置"),
                         {QStringLiteral("设置是否允许直接从客户端注册。"),
                          QStringLiteral("如果不允许则只能从服务器上注册用户。")});
  {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("用户注册"), Tabsheetreg));
    Rzrdiogbxreg = new QWidget(Tabsheetreg);
    Rzrdiogbxreg->setObjectName(QStringLiteral("Rzrdiogbxreg"));
    auto* columns = new QHBoxLayout(Rzrdiogbxreg);
    columns->setContentsMargins(0, 0, 0, 0);
    rdoallow = new QRadioButton(QStringLiteral("允许"), Rzrdiogbxreg);
    rdoallow->setObjectName(QStringLiteral("rdoallow"));
    rdodeny = new QRadioButton(QStringLiteral("不允许"), Rzrdiogbxreg);
    rdodeny->setObjectName(QStringLiteral("rdodeny"));
    columns->addWidget(rdoallow);
    columns->addWidget(rdodeny);
    rdoallow->setChecked(true);
    row->addWidget(Rzrdiogbxreg);
    row->addStretch(1);
    static_cast<QVBoxLayout*>(Tabsheetreg->layout())->insertLayout(0, row);
  }

  TabsheetOffline = MakePage("TabsheetOffline", QStringLiteral("离线信息设置"),
                             {QStringLiteral("设置服务器保存离线信息的期限。(1-30天)")});
  {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("离线信息保存天数"), TabsheetOffline));
    RzedtOfflineday = new QSpinBox(TabsheetOffline);
    RzedtOfflineday->setObjectName(QStringLiteral("RzedtOfflineday"));
    RzedtOfflineday->setRange(1, 30);
    RzedtOfflineday->setFixedWidth(70);
    row->addWidget(RzedtOfflineday);
    row->addWidget(new QLabel(QStringLiteral("(1-30天)"), TabsheetOffline));
    row->addStretch(1);
    static_cast<QVBoxLayout*>(TabsheetOffline->layout())->insertLayout(0, row);
  }

  rzbtnok = new QPushButton(QStringLiteral("确定"), this);
  rzbtnok->setObjectName(QStringLiteral("rzbtnok"));
  rzbtnok->setDefault(true);
  rzbtncancel = new QPushButton(QStringLiteral("取消"), this);
  rzbtncancel->setObjectName(QStringLiteral("rzbtncancel"));
  connect(rzbtnok, &QPushButton::clicked, this, &Tfrmset::rzbtnokClick);
  connect(rzbtncancel, &QPushButton::clicked, this, &Tfrmset::rzbtncancelClick);

  auto* body = new QHBoxLayout;
  body->addWidget(taskbar);
  body->addWidget(Pgcset, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(rzbtnok);
  buttons->addWidget(rzbtncancel);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(6, 6, 6, 6);
  outer->addLayout(body, 1);
  outer->addLayout(buttons);

  setFixedSize(470, 300);
}

QWidget* Tfrmset::MakePage(const char* name, const QString& title, const QStringList& hint) {
  auto* page = new QWidget(Pgcset);
  page->setObjectName(QString::fromLatin1(name));
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addStretch(1);
  auto* note = new QLabel(hint.join(QLatin1Char('\n')), page);
  note->setObjectName(QString::fromLatin1(name) + QStringLiteral("hint"));
  note->setStyleSheet(QStringLiteral("color: gray;"));
  note->setWordWrap(true);
  layout->addWidget(note);
  Pgcset->addTab(page, title);
  return page;
}

void Tfrmset::ReadConfigurationControls(const ServerSettings& settings) {
  if (controlsFilled_) return;
  controlsFilled_ = true;
  edtServerPort->setText(QString::number(settings.ServerPort));
  chkstartmin->setChecked(settings.StartMin);
  (settings.AllowReg ? rdoallow : rdodeny)->setChecked(true);
}

SettingsForm Tfrmset::Form() const {
  SettingsForm form;
  form.serverPort = edtServerPort->text().toStdString();
  form.startMin = chkstartmin->isChecked();
  form.autoStart = chkautostart->isChecked();
  form.autoStartWasOn = AutoStartWasOn;
  form.allowReg = rdoallow->isChecked();
  form.offlineInfoDay = RzedtOfflineday->value();
  return form;
}

void Tfrmset::showEvent(QShowEvent* event) {
  Tfrmbasenosize::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void Tfrmset::FormShow() {
  // The controls the start read fills, for a window shown before that.
  ReadConfigurationControls(core_.Settings());
  AutoStartWasOn = AutoStartEnabled();
  chkautostart->setChecked(AutoStartWasOn);
  const int days = core_.OfflineInfoDay();
  // A number outside 1 to 30 is shown as it stands; saving it is refused.
  RzedtOfflineday->setRange(std::min(1, days), std::max(30, days));
  RzedtOfflineday->setValue(days);
  actorinetworkExecute();
}

bool Tfrmset::SaveAll() {
  SettingsSaveResult result = corvan::SaveAll(core_, Form());
  for (const std::string& message : result.messages) prompter_.Information(this, Q(message), Q(result.caption));
  if (!result.ok) return false;
  // Saved: the entry now is as the box says.
  AutoStartWasOn = chkautostart->isChecked();
  RzedtOfflineday->setRange(1, 30);
  accept();
  return true;
}

void Tfrmset::actoristartExecute() { Pgcset->setCurrentWidget(Tabsheetstart); }
void Tfrmset::actorinetworkExecute() { Pgcset->setCurrentWidget(Tabsheetnetwork); }
void Tfrmset::actadvregExecute() { Pgcset->setCurrentWidget(Tabsheetreg); }
void Tfrmset::actadvofflineExecute() { Pgcset->setCurrentWidget(TabsheetOffline); }

}  // namespace corvan
