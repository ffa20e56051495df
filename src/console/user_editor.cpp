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

  tabs = new QTabWidget(this);
  tabs->setObjectName(QStringLiteral("Pgcuser"));
  basicPage = new QWidget(tabs);
  basicPage->setObjectName(QStringLiteral("Tabbasic"));
  otherPage = new QWidget(tabs);
  otherPage->setObjectName(QStringLiteral("Tabotherinfo"));
  tabs->addTab(basicPage, QStringLiteral("基本信息"));
  tabs->addTab(otherPage, QStringLiteral("其它信息"));
  BuildBasicPage();
  BuildOtherPage();
  BuildButtons();
  resize(620, 380);
}

void UserEditor::BuildBasicPage() {
  auto* basic = new QGridLayout(basicPage);
  loginNameEdit = MakeEdit(basicPage, "edtloginname", 30);
  passwordEdit = MakeEdit(basicPage, "edtloginpwd", 30);
  passwordEdit->setEchoMode(QLineEdit::Password);
  passwordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // one "*" per character
  displayNameEdit = MakeEdit(basicPage, "edtnickname", 30);
  familyNameEdit = MakeEdit(basicPage, "edtfamily", 30);
  givenNameEdit = MakeEdit(basicPage, "edtgivename", 30);
  emailEdit = MakeEdit(basicPage, "edtemail", 30);
  orgChoice = new QComboBox(basicPage);
  orgChoice->setObjectName(QStringLiteral("cmborg"));
  orgChoice->setEditable(false);
  orgChoice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  orgChoice->setMinimumContentsLength(12);
  companyEdit = MakeEdit(basicPage, "edtcompany", 50);
  orgUnitEdit = MakeEdit(basicPage, "edtorgunit", 30);
  jobTitleEdit = MakeEdit(basicPage, "edttitle", 30);
  workPhoneEdit = MakeEdit(basicPage, "edtwork_tel", 30);
  mobilePhoneEdit = MakeEdit(basicPage, "edtmobilephone", 30);
  workAddressEdit = MakeEdit(basicPage, "edtwork_adr", 50);
  workFaxEdit = MakeEdit(basicPage, "edtwork_fax", 30);
  orderEdit = MakeEdit(basicPage, "edtid", 30);

  AddField(basic, 0, 0, QStringLiteral("登录名"), loginNameEdit, true);
  AddField(basic, 0, 1, QStringLiteral("密码"), passwordEdit, true);
  AddField(basic, 1, 0, QStringLiteral("显示名称"), displayNameEdit, true);
  AddField(basic, 1, 1, QStringLiteral("组织"), orgChoice, true);
  AddField(basic, 2, 0, QStringLiteral("姓"), familyNameEdit, false);
  AddField(basic, 2, 1, QStringLiteral("名"), givenNameEdit, false);
  AddField(basic, 3, 0, QStringLiteral("Email"), emailEdit, false);
  AddField(basic, 3, 1, QStringLiteral("公司"), companyEdit, false);
  AddField(basic, 4, 0, QStringLiteral("部门"), orgUnitEdit, false);
  AddField(basic, 4, 1, QStringLiteral("职位"), jobTitleEdit, false);
  AddField(basic, 5, 0, QStringLiteral("办公电话"), workPhoneEdit, false);
  AddField(basic, 5, 1, QStringLiteral("手机"), mobilePhoneEdit, false);
  AddField(basic, 6, 0, QStringLiteral("办公地址"), workAddressEdit, false);
  AddField(basic, 6, 1, QStringLiteral("传真"), workFaxEdit, false);
  AddField(basic, 7, 0, QStringLiteral("显示编序"), orderEdit, false, QStringLiteral("(0-10000)"));
  basic->setRowStretch(8, 1);
}

void UserEditor::BuildOtherPage() {
  auto* other = new QGridLayout(otherPage);
  countryEdit = MakeEdit(otherPage, "edtcountry", 30);
  homeAddressEdit = MakeEdit(otherPage, "edtaddress", 50);
  homePageEdit = MakeEdit(otherPage, "edturl", 30);
  birthdayEdit = MakeEdit(otherPage, "edtbrd", 30);
  homePhoneEdit = MakeEdit(otherPage, "edttel", 30);
  sexEdit = MakeEdit(otherPage, "edtsex", 30);
  descriptionEdit = new QPlainTextEdit(otherPage);
  descriptionEdit->setObjectName(QStringLiteral("Memodesc"));
  // A plain text box has no length limit of its own: cut what goes beyond.
  connect(descriptionEdit, &QPlainTextEdit::textChanged, this, [this] {
    QString text = descriptionEdit->toPlainText();
    if (text.size() <= kDescMaxLength) return;
    QSignalBlocker block(descriptionEdit);
    descriptionEdit->setPlainText(text.left(kDescMaxLength));
    descriptionEdit->moveCursor(QTextCursor::End);
  });
  AddField(other, 0, 0, QStringLiteral("国家"), countryEdit, false);
  AddField(other, 0, 1, QStringLiteral("家庭地址"), homeAddressEdit, false);
  AddField(other, 1, 0, QStringLiteral("个人主页"), homePageEdit, false);
  AddField(other, 1, 1, QStringLiteral("生日"), birthdayEdit, false);
  AddField(other, 2, 0, QStringLiteral("家庭电话"), homePhoneEdit, false);
  AddField(other, 2, 1, QStringLiteral("性别"), sexEdit, false);
  other->addWidget(new QLabel(QStringLiteral("个人说明"), otherPage), 3, 0, Qt::AlignTop);
  other->addWidget(descriptionEdit, 3, 1, 1, 6);
  other->setRowStretch(3, 1);
}

void UserEditor::BuildButtons() {
  okButton = new QPushButton(QStringLiteral("确定"), this);
  okButton->setObjectName(QStringLiteral("Rzbtnok"));
  okButton->setDefault(true);
  cancelButton = new QPushButton(QStringLiteral("取消"), this);
  cancelButton->setObjectName(QStringLiteral("Rzbtncancel"));
  connect(okButton, &QPushButton::clicked, this, &UserEditor::Confirm);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  buttons->addWidget(cancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addLayout(buttons);
}

void UserEditor::ClearFields() {
  for (QLineEdit* e : findChildren<QLineEdit*>()) e->clear();
  descriptionEdit->clear();
}

void UserEditor::FillOrgCombo(const OrgTree& tree) {
  orgChoice->clear();
  for (const OrgChoice& choice : OrgChoices(tree)) orgChoice->addItem(Q(choice.path), Q(choice.code));
}

void UserEditor::PrepareNew(const OrgTree& tree, const std::optional<std::string>& preselect) {
  EditMode = QStringLiteral("New");
  OrigLoginName.clear();
  FillOrgCombo(tree);
  orgChoice->setCurrentIndex(preselect ? orgChoice->findData(Q(*preselect)) : (orgChoice->count() > 0 ? 0 : -1));
  ClearFields();
  orderEdit->setText(QStringLiteral("100"));
  tabs->setCurrentWidget(basicPage);
  setWindowTitle(QStringLiteral("添加用户"));
}

void UserEditor::PrepareUpdate(const TUserInfo& u, const OrgTree& tree) {
  loginNameEdit->setText(Q(u.username));
  passwordEdit->setText(Q(u.pwd));
  displayNameEdit->setText(Q(u.nickname));
  familyNameEdit->setText(Q(u.n_family));
  givenNameEdit->setText(Q(u.n_given));
  emailEdit->setText(Q(u.email));
  companyEdit->setText(Q(u.org_orgname));
  orgUnitEdit->setText(Q(u.org_orgunit));
  jobTitleEdit->setText(Q(u.title));
  workPhoneEdit->setText(Q(u.work_tel));
  mobilePhoneEdit->setText(Q(u.mobilephone));
  workAddressEdit->setText(Q(u.work_adr));
  workFaxEdit->setText(Q(u.work_fax));
  orderEdit->setText(QString::number(u.USERID));
  countryEdit->setText(Q(u.adr_country));
  homeAddressEdit->setText(Q(u.adr_street));
  homePageEdit->setText(Q(u.url));
  birthdayEdit->setText(Q(u.bday));
  homePhoneEdit->setText(Q(u.tel));
  sexEdit->setText(Q(u.sex));
  descriptionEdit->clear();
  descriptionEdit->setPlainText(Q(u.self_desc));
  FillOrgCombo(tree);
  orgChoice->setCurrentIndex(orgChoice->findData(Q(u.organizeNo)));
  EditMode = QStringLiteral("Update");
  OrigLoginName = u.username;
  tabs->setCurrentWidget(basicPage);
  setWindowTitle(QStringLiteral("修改用户信息"));
}

void UserEditor::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) loginNameEdit->setFocus(Qt::OtherFocusReason);
}

UserForm UserEditor::Form() const {
  UserForm f;
  f.username = S(loginNameEdit->text());
  f.pwd = S(passwordEdit->text());
  f.nickname = S(displayNameEdit->text());
  f.n_family = S(familyNameEdit->text());
  f.n_given = S(givenNameEdit->text());
  f.email = S(emailEdit->text());
  f.orgShown = S(orgChoice->currentText());
  f.orgNo = orgChoice->currentIndex() >= 0 ? S(orgChoice->currentData().toString()) : std::string();
  f.org_orgname = S(companyEdit->text());
  f.org_orgunit = S(orgUnitEdit->text());
  f.title = S(jobTitleEdit->text());
  f.work_tel = S(workPhoneEdit->text());
  f.mobilephone = S(mobilePhoneEdit->text());
  f.work_adr = S(workAddressEdit->text());
  f.work_fax = S(workFaxEdit->text());
  f.userId = S(orderEdit->text());
  f.adr_country = S(countryEdit->text());
  f.adr_street = S(homeAddressEdit->text());
  f.url = S(homePageEdit->text());
  f.bday = S(birthdayEdit->text());
  f.tel = S(homePhoneEdit->text());
  f.sex = S(sexEdit->text());
  f.self_desc = S(descriptionEdit->toPlainText());
  return f;
}

void UserEditor::Confirm() {
  TUserInfo saved;
  Status result;
  if (EditMode != QStringLiteral("Update")) {
    result = SaveNewUser(core_.Dir(), core_.Db(), Form(), &saved);
    if (result.IsOk()) StartNewUserRegNotice(core_, saved.username, saved.nickname, saved.organizeNo);
  } else {
    result = SaveUser(core_.Dir(), core_.Db(), Form(), OrigLoginName, &saved);
    if (result.IsOk()) StartUpdateOnlineInfo(core_, OrigLoginName, saved.username, saved.nickname);
  }
  if (!result.IsOk() && !result.Message().empty())
    prompter_.Information(this, Q(result.Message()), Q(MessageCaption(result)));
  if (result.IsOk()) accept();
  emit SaveFinished();
}

}  // namespace corvan
