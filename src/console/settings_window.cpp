#include "console/settings_window.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QShowEvent>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "admin/operations.h"
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

// The task bar's items: flat, left-aligned, the current page's item marked.
const char* const kTaskItemStyle =
    "QPushButton { text-align: left; padding: 3px 4px 3px 12px; border: none; background: transparent; }"
    "QPushButton:hover { background: #c6d9f0; }"
    "QPushButton:checked { background: #a9c6ea; font-weight: bold; }";

// A group of the task bar: its caption, then one item per page action. Each
// item is named after its action with "button" appended.
void AddTaskGroup(QVBoxLayout* bar, QWidget* parent, QButtonGroup* items, const QString& caption,
                  std::initializer_list<QAction*> actions) {
  auto* header = new QLabel(caption, parent);
  header->setStyleSheet(QStringLiteral("font-weight: bold; color: white; background: #3a6ea5; padding: 3px;"));
  bar->addWidget(header);
  for (QAction* action : actions) {
    auto* button = new QPushButton(action->text(), parent);
    button->setObjectName(action->objectName() + QStringLiteral("button"));
    button->setCheckable(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button->setStyleSheet(QString::fromLatin1(kTaskItemStyle));
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    items->addButton(button);
    bar->addWidget(button);
  }
}

// The days box: a whole-number box that keeps what is typed. Any whole
// number stays as entered (31 keeps its "1", -5 its "-") and an empty box
// stays empty, so that "确定" saves or refuses exactly what is shown; the
// arrows step within 1 to 30.
class DaysBox : public QSpinBox {
 public:
  explicit DaysBox(QWidget* parent) : QSpinBox(parent) {
    setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  }

 protected:
  QValidator::State validate(QString& text, int& pos) const override {
    static const QRegularExpression kWholeNumber(QStringLiteral("^\\s*-?[0-9]*\\s*$"));
    if (!kWholeNumber.match(text).hasMatch()) return QValidator::Invalid;
    bool ok = false;
    text.trimmed().toInt(&ok);
    return ok ? QValidator::Acceptable : QValidator::Intermediate;
  }
  // Nothing is corrected: what does not read as a number stays as typed.
  void fixup(QString& /*text*/) const override {}
  void stepBy(int steps) override {
    bool ok = false;
    const int typed = text().trimmed().toInt(&ok);
    const int from = ok ? typed : value();
    setValue(std::clamp(from + steps, kMinOfflineInfoDay, kMaxOfflineInfoDay));
    selectAll();
  }
  StepEnabled stepEnabled() const override {
    bool ok = false;
    const int typed = text().trimmed().toInt(&ok);
    const int from = ok ? typed : value();
    StepEnabled enabled = StepNone;
    if (from < kMaxOfflineInfoDay) enabled |= StepUpEnabled;
    if (from > kMinOfflineInfoDay) enabled |= StepDownEnabled;
    return enabled;
  }
  // A box that does not read as a number keeps its text when it loses the
  // focus or Enter is pressed: the spin box would put the last number back.
  void focusOutEvent(QFocusEvent* event) override {
    if (Readable()) {
      QSpinBox::focusOutEvent(event);
      return;
    }
    // The line edit still hears it (its cursor stops); the spin box's own
    // handling is what is skipped.
    QCoreApplication::sendEvent(lineEdit(), event);
    QWidget::focusOutEvent(event);  // NOLINT(bugprone-parent-virtual-call): see above
  }
  void keyPressEvent(QKeyEvent* event) override {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !Readable()) {
      event->ignore();  // the dialog's default button takes it
      return;
    }
    QSpinBox::keyPressEvent(event);
  }

 private:
  bool Readable() const {
    bool ok = false;
    text().trimmed().toInt(&ok);
    return ok;
  }
};

}  // namespace

SettingsWindow::SettingsWindow(ServerCore& core, Prompter& prompter, QWidget* parent)
    : FixedSkinnedDialog(parent), core_(core), prompter_(prompter) {
  setObjectName(QStringLiteral("Tfrmset"));
  setModal(true);
  // FormCreate: the title after the frame's own creation.
  Skin()->SetTitle(QStringLiteral("设置"));

  QWidget* taskbar = BuildTaskBar();
  pageControl_ = new QTabWidget(this);
  pageControl_->setObjectName(QStringLiteral("Pgcset"));
  pageControl_->tabBar()->hide();

  BuildNetworkPage();
  BuildStartPage();
  BuildRegistrationPage();
  BuildOfflinePage();
  BuildButtons(taskbar);
  setFixedSize(470, 300);
  MarkCurrentPage();
}

QWidget* SettingsWindow::BuildTaskBar() {
  startPageAction_ = MakeAction(this, "actoristart", QStringLiteral("启动设置"));
  networkPageAction_ = MakeAction(this, "actorinetwork", QStringLiteral("网络设置"));
  registrationPageAction_ = MakeAction(this, "actadvreg", QStringLiteral("注册设置"));
  offlinePageAction_ = MakeAction(this, "actadvoffline", QStringLiteral("离线信息设置"));
  connect(startPageAction_, &QAction::triggered, this, &SettingsWindow::ShowStartPage);
  connect(networkPageAction_, &QAction::triggered, this, &SettingsWindow::ShowNetworkPage);
  connect(registrationPageAction_, &QAction::triggered, this, &SettingsWindow::ShowRegistrationPage);
  connect(offlinePageAction_, &QAction::triggered, this, &SettingsWindow::ShowOfflinePage);

  auto* taskbar = new QWidget(this);
  taskbar->setObjectName(QStringLiteral("Rzgrpbarset"));
  taskbar->setFixedWidth(120);
  taskbar->setAutoFillBackground(true);
  taskbar->setStyleSheet(QStringLiteral("#Rzgrpbarset { background: #dde8f4; }"));
  auto* bar = new QVBoxLayout(taskbar);
  bar->setContentsMargins(4, 4, 4, 4);
  bar->setSpacing(2);
  taskItems_ = new QButtonGroup(this);
  taskItems_->setExclusive(true);
  AddTaskGroup(bar, taskbar, taskItems_, QStringLiteral("普通设置"), {startPageAction_, networkPageAction_});
  bar->addSpacing(8);
  AddTaskGroup(bar, taskbar, taskItems_, QStringLiteral("高级设置"), {registrationPageAction_, offlinePageAction_});
  bar->addStretch(1);
  return taskbar;
}

void SettingsWindow::BuildNetworkPage() {
  networkPage_ =
      MakePage("Tabsheetnetwork", QStringLiteral("网络设置"),
               {QStringLiteral("设置服务器的通讯端口。"), QStringLiteral("端口改变后，服务器需要重新启动后生效。")});
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("服务器监听端口"), networkPage_));
  portEdit_ = new QLineEdit(networkPage_);
  portEdit_->setObjectName(QStringLiteral("edtServerPort"));
  portEdit_->setMaxLength(10);
  portEdit_->setFixedWidth(100);
  row->addWidget(portEdit_);
  row->addStretch(1);
  static_cast<QVBoxLayout*>(networkPage_->layout())->insertLayout(0, row);
}

void SettingsWindow::BuildStartPage() {
  startPage_ = MakePage("Tabsheetstart", QStringLiteral("启动设置"),
                        {QStringLiteral("设置是否开机启动及最小化设置。"),
                         QStringLiteral("启动时最小化即第一次程序打开时最小化到任务栏。")});
  autoStartBox_ = new QCheckBox(QStringLiteral("开机启动"), startPage_);
  autoStartBox_->setObjectName(QStringLiteral("chkautostart"));
  startMinimizedBox_ = new QCheckBox(QStringLiteral("启动时最小化"), startPage_);
  startMinimizedBox_->setObjectName(QStringLiteral("chkstartmin"));
  auto* page = static_cast<QVBoxLayout*>(startPage_->layout());
  page->insertWidget(0, autoStartBox_);
  page->insertWidget(1, startMinimizedBox_);
}

void SettingsWindow::BuildRegistrationPage() {
  registrationPage_ = MakePage(
      "Tabsheetreg", QStringLiteral("注册设置"),
      {QStringLiteral("设置是否允许直接从客户端注册。"), QStringLiteral("如果不允许则只能从服务器上注册用户。")});
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("用户注册"), registrationPage_));
  registrationChoice_ = new QWidget(registrationPage_);
  registrationChoice_->setObjectName(QStringLiteral("Rzrdiogbxreg"));
  auto* columns = new QHBoxLayout(registrationChoice_);
  columns->setContentsMargins(0, 0, 0, 0);
  allowRegistration_ = new QRadioButton(QStringLiteral("允许"), registrationChoice_);
  allowRegistration_->setObjectName(QStringLiteral("rdoallow"));
  denyRegistration_ = new QRadioButton(QStringLiteral("不允许"), registrationChoice_);
  denyRegistration_->setObjectName(QStringLiteral("rdodeny"));
  columns->addWidget(allowRegistration_);
  columns->addWidget(denyRegistration_);
  allowRegistration_->setChecked(true);
  row->addWidget(registrationChoice_);
  row->addStretch(1);
  static_cast<QVBoxLayout*>(registrationPage_->layout())->insertLayout(0, row);
}

void SettingsWindow::BuildOfflinePage() {
  offlinePage_ = MakePage("TabsheetOffline", QStringLiteral("离线信息设置"),
                          {QStringLiteral("设置服务器保存离线信息的期限。(1-30天)")});
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("离线信息保存天数"), offlinePage_));
  offlineDaysBox_ = new DaysBox(offlinePage_);
  offlineDaysBox_->setObjectName(QStringLiteral("RzedtOfflineday"));
  offlineDaysBox_->setFixedWidth(70);
  row->addWidget(offlineDaysBox_);
  row->addWidget(new QLabel(QStringLiteral("(1-30天)"), offlinePage_));
  row->addStretch(1);
  auto* page = static_cast<QVBoxLayout*>(offlinePage_->layout());
  page->insertLayout(0, row);
  // Shown while the box holds something outside 1 to 30 (a stored 0, 31 or
  // -5 is shown as it stands).
  offlineDaysNote_ = new QLabel(Q(kOfflineDayRange), offlinePage_);
  offlineDaysNote_->setObjectName(QStringLiteral("offlineDayRangeNote"));
  offlineDaysNote_->setStyleSheet(QStringLiteral("color: #c00000;"));
  offlineDaysNote_->hide();
  page->insertWidget(1, offlineDaysNote_);
  connect(offlineDaysBox_, &QSpinBox::textChanged, this, &SettingsWindow::NoteOfflineDays);
}

void SettingsWindow::NoteOfflineDays() {
  offlineDaysNote_->setVisible(!ParseOfflineDays(offlineDaysBox_->text().toStdString()));
}

void SettingsWindow::BuildButtons(QWidget* taskbar) {
  // The task bar marks the page in front, however it came forward.
  connect(pageControl_, &QTabWidget::currentChanged, this, &SettingsWindow::MarkCurrentPage);

  okButton_ = new QPushButton(QStringLiteral("确定"), this);
  okButton_->setObjectName(QStringLiteral("rzbtnok"));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("取消"), this);
  cancelButton_->setObjectName(QStringLiteral("rzbtncancel"));
  connect(okButton_, &QPushButton::clicked, this, &SettingsWindow::Confirm);
  connect(cancelButton_, &QPushButton::clicked, this, &SettingsWindow::Cancel);

  auto* body = new QHBoxLayout;
  body->addWidget(taskbar);
  body->addWidget(pageControl_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(6, 6, 6, 6);
  outer->addLayout(body, 1);
  outer->addLayout(buttons);
}

void SettingsWindow::MarkCurrentPage() {
  const std::pair<QWidget*, QAction*> pages[] = {{startPage_, startPageAction_},
                                                 {networkPage_, networkPageAction_},
                                                 {registrationPage_, registrationPageAction_},
                                                 {offlinePage_, offlinePageAction_}};
  for (const auto& [page, action] : pages) {
    if (page != pageControl_->currentWidget()) continue;
    for (QAbstractButton* item : taskItems_->buttons())
      if (item->objectName() == action->objectName() + QStringLiteral("button")) item->setChecked(true);
  }
}

QWidget* SettingsWindow::MakePage(const char* name, const QString& title, const QStringList& hint) {
  auto* page = new QWidget(pageControl_);
  page->setObjectName(QString::fromLatin1(name));
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->addStretch(1);
  auto* note = new QLabel(hint.join(QLatin1Char('\n')), page);
  note->setObjectName(QString::fromLatin1(name) + QStringLiteral("hint"));
  note->setStyleSheet(QStringLiteral("color: gray;"));
  note->setWordWrap(true);
  layout->addWidget(note);
  pageControl_->addTab(page, title);
  return page;
}

void SettingsWindow::FillStartupControls(const ServerSettings& settings) {
  if (controlsFilled_) return;
  controlsFilled_ = true;
  portEdit_->setText(QString::number(settings.ServerPort));
  startMinimizedBox_->setChecked(settings.StartMin);
  (settings.AllowReg ? allowRegistration_ : denyRegistration_)->setChecked(true);
}

SettingsForm SettingsWindow::Form() const {
  SettingsForm form;
  form.serverPort = portEdit_->text().toStdString();
  form.startMin = startMinimizedBox_->isChecked();
  form.autoStart = autoStartBox_->isChecked();
  form.autoStartWasOn = AutoStartWasOn;
  form.allowReg = allowRegistration_->isChecked();
  form.offlineInfoDay = offlineDaysBox_->text().toStdString();
  return form;
}

void SettingsWindow::showEvent(QShowEvent* event) {
  FixedSkinnedDialog::showEvent(event);
  if (!event->spontaneous()) FillOnShow();
}

void SettingsWindow::FillOnShow() {
  // The controls the start read fills, for a window shown before that.
  FillStartupControls(core_.Settings().Current());
  AutoStartWasOn = AutoStartEnabled();
  autoStartBox_->setChecked(AutoStartWasOn);
  // The number as stored, also outside 1 to 30 (the note says so); saving
  // it asks for one inside.
  offlineDaysBox_->setValue(Q(CurrentSettingsForm(core_).offlineInfoDay).toInt());
  NoteOfflineDays();
  ShowNetworkPage();
}

bool SettingsWindow::SaveAll() {
  OpsContext ops = MakeOpsContext(core_, true);
  SettingsSaveResult result = SaveSettings(ops, Actor::Console(), Form());
  for (const std::string& message : result.Messages()) prompter_.Information(this, Q(message), Q(kSettingsCaption));
  if (!result.status.IsOk()) {
    if (!ParseOfflineDays(offlineDaysBox_->text().toStdString())) {
      ShowOfflinePage();
      offlineDaysBox_->setFocus(Qt::OtherFocusReason);
      offlineDaysBox_->selectAll();
    }
    return false;
  }
  // Saved: the entry now is as the box says.
  AutoStartWasOn = autoStartBox_->isChecked();
  accept();
  return true;
}

void SettingsWindow::ShowStartPage() { pageControl_->setCurrentWidget(startPage_); }
void SettingsWindow::ShowNetworkPage() { pageControl_->setCurrentWidget(networkPage_); }
void SettingsWindow::ShowRegistrationPage() { pageControl_->setCurrentWidget(registrationPage_); }
void SettingsWindow::ShowOfflinePage() { pageControl_->setCurrentWidget(offlinePage_); }

}  // namespace corvan
