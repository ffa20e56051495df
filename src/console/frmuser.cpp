#include "console/frmuser.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
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

Tfrmuser::Tfrmuser(ServerCore& core, Prompter& prompter, QWidget* parent)
    : QDialog(parent), core_(core), prompter_(prompter) {
  setObjectName(QStringLiteral("Tfrmuser"));
  setModal(true);

  Pgcuser = new QTabWidget(this);
  Pgcuser->setObjectName(QStringLiteral("Pgcuser"));
  Tabbasic = new QWidget(Pgcuser);
  Tabbasic->setObjectName(QStringLiteral("Tabbasic"));
  Tabotherinfo = new QWidget(Pgcuser);
  Tabotherinfo->setObjectName(QStringLiteral("Tabotherinfo"));
  Pgcuser->addTab(Tabbasic, QStringLiteral("基本信息"));
  Pgcuser->addTab(Tabotherinfo, QStringLiteral("其它信息"));

  auto* basic = new QGridLayout(Tabbasic);
  edtloginname = MakeEdit(Tabbasic, "edtloginname", 30);
  edtloginpwd = MakeEdit(Tabbasic, "edtloginpwd", 30);
  edtloginpwd->setEchoMode(QLineEdit::Password);
  edtloginpwd->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // one "*" per character
  edtnickname = MakeEdit(Tabbasic, "edtnickname", 30);
  edtfamily = MakeEdit(Tabbasic, "edtfamily", 30);
  edtgivename = MakeEdit(Tabbasic, "edtgivename", 30);
  edtemail = MakeEdit(Tabbasic, "edtemail", 30);
  cmborg = new QComboBox(Tabbasic);
  cmborg->setObjectName(QStringLiteral("cmborg"));
  cmborg->setEditable(false);
  cmborg->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cmborg->setMinimumContentsLength(12);
  edtcompany = MakeEdit(Tabbasic, "edtcompany", 50);
  edtorgunit = MakeEdit(Tabbasic, "edtorgunit", 30);
  edttitle = MakeEdit(Tabbasic, "edttitle", 30);
  edtwork_tel = MakeEdit(Tabbasic, "edtwork_tel", 30);
  edtmobilephone = MakeEdit(Tabbasic, "edtmobilephone", 30);
  edtwork_adr = MakeEdit(Tabbasic, "edtwork_adr", 50);
  edtwork_fax = MakeEdit(Tabbasic, "edtwork_fax", 30);
  edtid = MakeEdit(Tabbasic, "edtid", 30);

  AddField(basic, 0, 0, QStringLiteral("登录名"), edtloginname, true);
  AddField(basic, 0, 1, QStringLiteral("密码"), edtloginpwd, true);
  AddField(basic, 1, 0, QStringLiteral("显示名称"), edtnickname, true);
  AddField(basic, 1, 1, QStringLiteral("组织"), cmborg, true);
  AddField(basic, 2, 0, QStringLiteral("姓"), edtfamily, false);
  AddField(basic, 2, 1, QStringLiteral("名"), edtgivename, false);
  AddField(basic, 3, 0, QStringLiteral("Email"), edtemail, false);
  AddField(basic, 3, 1, QStringLiteral("公司"), edtcompany, false);
  AddField(basic, 4, 0, QStringLiteral("部门"), edtorgunit, false);
  AddField(basic, 4, 1, QStringLiteral("职位"), edttitle, false);
  AddField(basic, 5, 0, QStringLiteral("办公电话"), edtwork_tel, false);
  AddField(basic, 5, 1, QStringLiteral("手机"), edtmobilephone, false);
  AddField(basic, 6, 0, QStringLiteral("办公地址"), edtwork_adr, false);
  AddField(basic, 6, 1, QStringLiteral("传真"), edtwork_fax, false);
  AddField(basic, 7, 0, QStringLiteral("显示编序"), edtid, false, QStringLiteral("(0-10000)"));
  basic->setRowStretch(8, 1);

  auto* other = new QGridLayout(Tabotherinfo);
  edtcountry = MakeEdit(Tabotherinfo, "edtcountry", 30);
  edtaddress = MakeEdit(Tabotherinfo, "edtaddress", 50);
  edturl = MakeEdit(Tabotherinfo, "edturl", 30);
  edtbrd = MakeEdit(Tabotherinfo, "edtbrd", 30);
  edttel = MakeEdit(Tabotherinfo, "edttel", 30);
  edtsex = MakeEdit(Tabotherinfo, "edtsex", 30);
  Memodesc = new QPlainTextEdit(Tabotherinfo);
  Memodesc->setObjectName(QStringLiteral("Memodesc"));
  // A plain text box has no length limit of its own: cut what goes beyond.
  connect(Memodesc, &QPlainTextEdit::textChanged, this, [this] {
    QString text = Memodesc->toPlainText();
    if (text.size() <= kDescMaxLength) return;
    QSignalBlocker block(Memodesc);
    Memodesc->setPlainText(text.left(kDescMaxLength));
    Memodesc->moveCursor(QTextCursor::End);
  });
  AddField(other, 0, 0, QStringLiteral("国家"), edtcountry, false);
  AddField(other, 0, 1, QStringLiteral("家庭地址"), edtaddress, false);
  AddField(other, 1, 0, QStringLiteral("个人主页"), edturl, false);
  AddField(other, 1, 1, QStringLiteral("生日"), edtbrd, false);
  AddField(other, 2, 0, QStringLiteral("家庭电话"), edttel, false);
  AddField(other, 2, 1, QStringLiteral("性别"), edtsex, false);
  other->addWidget(new QLabel(QStringLiteral("个人说明"), Tabotherinfo), 3, 0, Qt::AlignTop);
  other->addWidget(Memodesc, 3, 1, 1, 6);
  other->setRowStretch(3, 1);

  Rzbtnok = new QPushButton(QStringLiteral("确定"), this);
  Rzbtnok->setObjectName(QStringLiteral("Rzbtnok"));
  Rzbtnok->setDefault(true);
  Rzbtncancel = new QPushButton(QStringLiteral("取消"), this);
  Rzbtncancel->setObjectName(QStringLiteral("Rzbtncancel"));
  connect(Rzbtnok, &QPushButton::clicked, this, &Tfrmuser::RzbtnokClick);
  connect(Rzbtncancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(Rzbtnok);
  buttons->addWidget(Rzbtncancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Pgcuser);
  layout->addLayout(buttons);
  resize(620, 380);
}

void Tfrmuser::ClearFields() {
  for (QLineEdit* e : findChildren<QLineEdit*>()) e->clear();
  Memodesc->clear();
}

void Tfrmuser::FillOrgCombo(const OrgTree& tree) {
  cmborg->clear();
  for (const OrgChoice& choice : OrgChoices(tree)) cmborg->addItem(Q(choice.path), Q(choice.code));
}

void Tfrmuser::PrepareNew(const OrgTree& tree, const std::optional<std::string>& preselect) {
  EditMode = QStringLiteral("New");
  OrigLoginName.clear();
  FillOrgCombo(tree);
  cmborg->setCurrentIndex(preselect ? cmborg->findData(Q(*preselect)) : (cmborg->count() > 0 ? 0 : -1));
  ClearFields();
  edtid->setText(QStringLiteral("100"));
  Pgcuser->setCurrentWidget(Tabbasic);
  setWindowTitle(QStringLiteral("添加用户"));
}

void Tfrmuser::PrepareUpdate(const TUserInfo& u, const OrgTree& tree) {
  edtloginname->setText(Q(u.username));
  edtloginpwd->setText(Q(u.pwd));
  edtnickname->setText(Q(u.nickname));
  edtfamily->setText(Q(u.n_family));
  edtgivename->setText(Q(u.n_given));
  edtemail->setText(Q(u.email));
  edtcompany->setText(Q(u.org_orgname));
  edtorgunit->setText(Q(u.org_orgunit));
  edttitle->setText(Q(u.title));
  edtwork_tel->setText(Q(u.work_tel));
  edtmobilephone->setText(Q(u.mobilephone));
  edtwork_adr->setText(Q(u.work_adr));
  edtwork_fax->setText(Q(u.work_fax));
  edtid->setText(QString::number(u.USERID));
  edtcountry->setText(Q(u.adr_country));
  edtaddress->setText(Q(u.adr_street));
  edturl->setText(Q(u.url));
  edtbrd->setText(Q(u.bday));
  edttel->setText(Q(u.tel));
  edtsex->setText(Q(u.sex));
  Memodesc->clear();
  Memodesc->setPlainText(Q(u.self_desc));
  FillOrgCombo(tree);
  cmborg->setCurrentIndex(cmborg->findData(Q(u.organizeNo)));
  EditMode = QStringLiteral("Update");
  OrigLoginName = u.username;
  Pgcuser->setCurrentWidget(Tabbasic);
  setWindowTitle(QStringLiteral("修改用户信息"));
}

UserForm Tfrmuser::Form() const {
  UserForm f;
  f.username = S(edtloginname->text());
  f.pwd = S(edtloginpwd->text());
  f.nickname = S(edtnickname->text());
  f.n_family = S(edtfamily->text());
  f.n_given = S(edtgivename->text());
  f.email = S(edtemail->text());
  f.orgShown = S(cmborg->currentText());
  f.orgNo = cmborg->currentIndex() >= 0 ? S(cmborg->currentData().toString()) : std::string();
  f.org_orgname = S(edtcompany->text());
  f.org_orgunit = S(edtorgunit->text());
  f.title = S(edttitle->text());
  f.work_tel = S(edtwork_tel->text());
  f.mobilephone = S(edtmobilephone->text());
  f.work_adr = S(edtwork_adr->text());
  f.work_fax = S(edtwork_fax->text());
  f.userId = S(edtid->text());
  f.adr_country = S(edtcountry->text());
  f.adr_street = S(edtaddress->text());
  f.url = S(edturl->text());
  f.bday = S(edtbrd->text());
  f.tel = S(edttel->text());
  f.sex = S(edtsex->text());
  f.self_desc = S(Memodesc->toPlainText());
  return f;
}

void Tfrmuser::RzbtnokClick() {
  TUserInfo saved;
  AdminResult result;
  if (EditMode != QStringLiteral("Update")) {
    result = SaveNewUser(core_.Dir(), core_.Db(), Form(), &saved);
    if (result.ok) StartNewUserRegNotice(core_, saved.username, saved.nickname, saved.organizeNo);
  } else {
    result = SaveUser(core_.Dir(), core_.Db(), Form(), OrigLoginName, &saved);
    if (result.ok) StartUpdateOnlineInfo(core_, OrigLoginName, saved.username, saved.nickname);
  }
  if (!result.ok && !result.message.empty()) prompter_.Information(this, Q(result.message), Q(result.caption));
  if (result.ok) accept();
  emit SaveFinished();
}

}  // namespace corvan
