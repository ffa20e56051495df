#include "console/user_editor.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "admin/operations.h"
#include "console/prompter.h"
#include "presence/presence.h"
#include "server/server_core.h"

namespace corvan {

namespace {

constexpr int kDescMaxLength = 100;

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toStdString(); }

// Adds "label [field] *" at (row, pair) of a two-pair grid.
void AddField(QGridLayout* grid, int row, int pair, const QString& label, QWidget* field, bool required,
              const QString& note = {}) {
  int col = pair * 4;
  grid->addWidget(new QLabel(label, grid->parentWidget()), row, col);
  grid->addWidget(field, row, col + 1);
  if (required) {
    auto* star = new QLabel(QStringLiteral("*"), grid->parentWidget());
    star->setStyleSheet(QStringLiteral("color: red;"));
    grid->addWidget(star, row, col + 2);
  } else if (!note.isEmpty()) {
    grid->addWidget(new QLabel(note, grid->parentWidget()), row, col + 2);
  }
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int maxLength) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setMaxLength(maxLength);
  return e;
}

}  // namespace

UserEditor::UserEditor(ServerCore& core, Prompter& prompter, QWidget* parent)
    : QDialog(parent), core_(core), prompter_(prompter) {
  setObjectName(QStringLiteral("Tfrmuser"));
  setModal(true);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("Pgcuser"));
  basicPage_ = new QWidget(tabs_);
  basicPage_->setObjectName(QStringLiteral("Tabbasic"));
  otherPage_ = new QWidget(tabs_);
  otherPage_->setObjectName(QStringLiteral("Tabotherinfo"));
  tabs_->addTab(basicPage_, QStringLiteral("基本信息"));
  tabs_->addTab(otherPage_, QStringLiteral("其它信息"));
  BuildBasicPage();
  BuildOtherPage();
  BuildButtons();
  resize(620, 380);
}

void UserEditor::BuildBasicPage() {
  auto* basic = new QGridLayout(basicPage_);
  loginNameEdit_ = MakeEdit(basicPage_, "edtloginname", 30);
  passwordEdit_ = MakeEdit(basicPage_, "edtloginpwd", 30);
  passwordEdit_->setEchoMode(QLineEdit::Password);
  passwordEdit_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // one "*" per character
  displayNameEdit_ = MakeEdit(basicPage_, "edtnickname", 30);
  familyNameEdit_ = MakeEdit(basicPage_, "edtfamily", 30);
  givenNameEdit_ = MakeEdit(basicPage_, "edtgivename", 30);
  emailEdit_ = MakeEdit(basicPage_, "edtemail", 30);
  orgChoice_ = new QComboBox(basicPage_);
  orgChoice_->setObjectName(QStringLiteral("cmborg"));
  orgChoice_->setEditable(false);
  orgChoice_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  orgChoice_->setMinimumContentsLength(12);
  companyEdit_ = MakeEdit(basicPage_, "edtcompany", 50);
  orgUnitEdit_ = MakeEdit(basicPage_, "edtorgunit", 30);
  jobTitleEdit_ = MakeEdit(basicPage_, "edttitle", 30);
  workPhoneEdit_ = MakeEdit(basicPage_, "edtwork_tel", 30);
  mobilePhoneEdit_ = MakeEdit(basicPage_, "edtmobilephone", 30);
  workAddressEdit_ = MakeEdit(basicPage_, "edtwork_adr", 50);
  workFaxEdit_ = MakeEdit(basicPage_, "edtwork_fax", 30);
  orderEdit_ = MakeEdit(basicPage_, "edtid", 30);

  AddField(basic, 0, 0, QStringLiteral("登录名"), loginNameEdit_, true);
  AddField(basic, 0, 1, QStringLiteral("密码"), passwordEdit_, true);
  AddField(basic, 1, 0, QStringLiteral("显示名称"), displayNameEdit_, true);
  AddField(basic, 1, 1, QStringLiteral("组织"), orgChoice_, true);
  AddField(basic, 2, 0, QStringLiteral("姓"), familyNameEdit_, false);
  AddField(basic, 2, 1, QStringLiteral("名"), givenNameEdit_, false);
  AddField(basic, 3, 0, QStringLiteral("Email"), emailEdit_, false);
  AddField(basic, 3, 1, QStringLiteral("公司"), companyEdit_, false);
  AddField(basic, 4, 0, QStringLiteral("部门"), orgUnitEdit_, false);
  AddField(basic, 4, 1, QStringLiteral("职位"), jobTitleEdit_, false);
  AddField(basic, 5, 0, QStringLiteral("办公电话"), workPhoneEdit_, false);
  AddField(basic, 5, 1, QStringLiteral("手机"), mobilePhoneEdit_, false);
  AddField(basic, 6, 0, QStringLiteral("办公地址"), workAddressEdit_, false);
  AddField(basic, 6, 1, QStringLiteral("传真"), workFaxEdit_, false);
  AddField(basic, 7, 0, QStringLiteral("显示编序"), orderEdit_, false, QStringLiteral("(0-10000)"));
  basic->setRowStretch(8, 1);
}

void UserEditor::BuildOtherPage() {
  auto* other = new QGridLayout(otherPage_);
  countryEdit_ = MakeEdit(otherPage_, "edtcountry", 30);
  homeAddressEdit_ = MakeEdit(otherPage_, "edtaddress", 50);
  homePageEdit_ = MakeEdit(otherPage_, "edturl", 30);
  birthdayEdit_ = MakeEdit(otherPage_, "edtbrd", 30);
  homePhoneEdit_ = MakeEdit(otherPage_, "edttel", 30);
  sexEdit_ = MakeEdit(otherPage_, "edtsex", 30);
  descriptionEdit_ = new QPlainTextEdit(otherPage_);
  descriptionEdit_->setObjectName(QStringLiteral("Memodesc"));
  // A plain text box has no length limit of its own: cut what goes beyond.
  connect(descriptionEdit_, &QPlainTextEdit::textChanged, this, [this] {
    QString text = descriptionEdit_->toPlainText();
    if (text.size() <= kDescMaxLength) return;
    QSignalBlocker block(descriptionEdit_);
    descriptionEdit_->setPlainText(text.left(kDescMaxLength));
    descriptionEdit_->moveCursor(QTextCursor::End);
  });
  AddField(other, 0, 0, QStringLiteral("国家"), countryEdit_, false);
  AddField(other, 0, 1, QStringLiteral("家庭地址"), homeAddressEdit_, false);
  AddField(other, 1, 0, QStringLiteral("个人主页"), homePageEdit_, false);
  AddField(other, 1, 1, QStringLiteral("生日"), birthdayEdit_, false);
  AddField(other, 2, 0, QStringLiteral("家庭电话"), homePhoneEdit_, false);
  AddField(other, 2, 1, QStringLiteral("性别"), sexEdit_, false);
  other->addWidget(new QLabel(QStringLiteral("个人说明"), otherPage_), 3, 0, Qt::AlignTop);
  other->addWidget(descriptionEdit_, 3, 1, 1, 6);
  other->setRowStretch(3, 1);
}

void UserEditor::BuildButtons() {
  okButton_ = new QPushButton(QStringLiteral("确定"), this);
  okButton_->setObjectName(QStringLiteral("Rzbtnok"));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("取消"), this);
  cancelButton_->setObjectName(QStringLiteral("Rzbtncancel"));
  connect(okButton_, &QPushButton::clicked, this, &UserEditor::Confirm);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  lockedNote_ = new QLabel(Q(kLockedAccountState), this);
  lockedNote_->setObjectName(QStringLiteral("lblLocked"));
  lockedNote_->setStyleSheet(QStringLiteral("color: #b00000;"));
  lockedNote_->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(lockedNote_);
  layout->addLayout(buttons);
}

void UserEditor::ClearFields() {
  for (QLineEdit* e : findChildren<QLineEdit*>()) e->clear();
  descriptionEdit_->clear();
}

void UserEditor::FillOrgCombo(const OrgTree& tree) {
  orgChoice_->clear();
  for (const OrgChoice& choice : OrgChoices(tree)) orgChoice_->addItem(Q(choice.path), Q(choice.code));
}

void UserEditor::PrepareNew(const OrgTree& tree, const std::optional<std::string>& preselect) {
  EditMode = QStringLiteral("New");
  OrigLoginName.clear();
  FillOrgCombo(tree);
  orgChoice_->setCurrentIndex(preselect ? orgChoice_->findData(Q(*preselect)) : (orgChoice_->count() > 0 ? 0 : -1));
  ClearFields();
  orderEdit_->setText(QStringLiteral("100"));
  lockedNote_->hide();
  tabs_->setCurrentWidget(basicPage_);
  setWindowTitle(QStringLiteral("添加用户"));
}

void UserEditor::PrepareUpdate(const TUserInfo& u, const OrgTree& tree) {
  loginNameEdit_->setText(Q(u.username));
  passwordEdit_->setText(Q(u.pwd));
  displayNameEdit_->setText(Q(u.nickname));
  familyNameEdit_->setText(Q(u.n_family));
  givenNameEdit_->setText(Q(u.n_given));
  emailEdit_->setText(Q(u.email));
  companyEdit_->setText(Q(u.org_orgname));
  orgUnitEdit_->setText(Q(u.org_orgunit));
  jobTitleEdit_->setText(Q(u.title));
  workPhoneEdit_->setText(Q(u.work_tel));
  mobilePhoneEdit_->setText(Q(u.mobilephone));
  workAddressEdit_->setText(Q(u.work_adr));
  workFaxEdit_->setText(Q(u.work_fax));
  orderEdit_->setText(QString::number(u.USERID));
  countryEdit_->setText(Q(u.adr_country));
  homeAddressEdit_->setText(Q(u.adr_street));
  homePageEdit_->setText(Q(u.url));
  birthdayEdit_->setText(Q(u.bday));
  homePhoneEdit_->setText(Q(u.tel));
  sexEdit_->setText(Q(u.sex));
  descriptionEdit_->clear();
  descriptionEdit_->setPlainText(Q(u.self_desc));
  FillOrgCombo(tree);
  orgChoice_->setCurrentIndex(orgChoice_->findData(Q(u.organizeNo)));
  EditMode = QStringLiteral("Update");
  OrigLoginName = u.username;
  const CoreModules& modules = core_.Modules();
  lockedNote_->setVisible(modules.AccountLocked && modules.AccountLocked(core_, u.username));
  tabs_->setCurrentWidget(basicPage_);
  setWindowTitle(QStringLiteral("修改用户信息"));
}

void UserEditor::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) loginNameEdit_->setFocus(Qt::OtherFocusReason);
}

UserForm UserEditor::Form() const {
  UserForm f;
  f.username = S(loginNameEdit_->text());
  f.pwd = S(passwordEdit_->text());
  f.nickname = S(displayNameEdit_->text());
  f.n_family = S(familyNameEdit_->text());
  f.n_given = S(givenNameEdit_->text());
  f.email = S(emailEdit_->text());
  f.orgShown = S(orgChoice_->currentText());
  f.organizeNo = orgChoice_->currentIndex() >= 0 ? S(orgChoice_->currentData().toString()) : std::string();
  f.org_orgname = S(companyEdit_->text());
  f.org_orgunit = S(orgUnitEdit_->text());
  f.title = S(jobTitleEdit_->text());
  f.work_tel = S(workPhoneEdit_->text());
  f.mobilephone = S(mobilePhoneEdit_->text());
  f.work_adr = S(workAddressEdit_->text());
  f.work_fax = S(workFaxEdit_->text());
  f.userId = S(orderEdit_->text());
  f.adr_country = S(countryEdit_->text());
  f.adr_street = S(homeAddressEdit_->text());
  f.url = S(homePageEdit_->text());
  f.bday = S(birthdayEdit_->text());
  f.tel = S(homePhoneEdit_->text());
  f.sex = S(sexEdit_->text());
  f.self_desc = S(descriptionEdit_->toPlainText());
  return f;
}

void UserEditor::Confirm() {
  OpsContext ops = MakeOpsContext(core_, true);
  Status result = EditMode != QStringLiteral("Update")
                      ? AddAccount(ops, Actor::Console(), Form()).GetStatus()
                      : ChangeAccount(ops, Actor::Console(), OrigLoginName, Form()).GetStatus();
  if (!result.IsOk() && !result.Message().empty())
    prompter_.Information(this, Q(result.Message()), Q(MessageCaption(result)));
  if (result.IsOk()) accept();
  emit SaveFinished();
}

}  // namespace corvan
