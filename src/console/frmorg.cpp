#include "console/frmorg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "accounts/directory_admin.h"
#include "console/prompter.h"
#include "server/server_core.h"

namespace corvan {

namespace {
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

TfrmorgBase::TfrmorgBase(ServerCore& core, Prompter& prompter, QWidget* parent, const QString& title)
    : QDialog(parent), core_(core), prompter_(prompter) {
  setModal(true);
  setWindowTitle(title);
  edtneworgname = new QLineEdit(this);
  edtneworgname->setObjectName(QStringLiteral("edtneworgname"));
  edtneworgname->setMaxLength(30);
  edtid = new QLineEdit(this);
  edtid->setObjectName(QStringLiteral("edtid"));
  edtid->setMaxLength(30);
  Rzbtnok = new QPushButton(QStringLiteral("确定"), this);
  Rzbtnok->setObjectName(QStringLiteral("Rzbtnok"));
  Rzbtnok->setDefault(true);
  Rzbtncancel = new QPushButton(QStringLiteral("取消"), this);
  Rzbtncancel->setObjectName(QStringLiteral("Rzbtncancel"));
  connect(Rzbtnok, &QPushButton::clicked, this, &TfrmorgBase::RzbtnokClick);
  connect(Rzbtncancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("请输入新部门名："), this), 0, 0);
  grid->addWidget(edtneworgname, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("显示编序"), this), 1, 0);
  grid->addWidget(edtid, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("(0-10000)"), this), 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(Rzbtnok);
  buttons->addWidget(Rzbtncancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  resize(340, 130);
}

void TfrmorgBase::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  edtneworgname->setFocus();
}

void TfrmorgBase::RzbtnokClick() {
  std::string name = edtneworgname->text().toStdString();
  AdminResult check = CheckOrgForm(name, edtid->text().toStdString());
  if (!check.ok) {
    prompter_.Information(this, Q(check.message), Q(check.caption));
    return;
  }
  std::string question = SameNameQuestion(name);
  if (!question.empty() && !prompter_.Question(this, Q(question), Q(kInfoCaption))) return;
  if (!Save()) return;
  emit OrgSaved(Q(TargetOrgNo));
  accept();
}

// --- New department --------------------------------------------------------------

Tfrmneworg::Tfrmneworg(ServerCore& core, Prompter& prompter, QWidget* parent)
    : TfrmorgBase(core, prompter, parent, QStringLiteral("新建部门")) {
  setObjectName(QStringLiteral("Tfrmneworg"));
}

void Tfrmneworg::Prepare(const std::string& parentCode) {
  TargetOrgNo = parentCode;
  edtneworgname->clear();
  edtid->setText(QStringLiteral("100"));
}

std::string Tfrmneworg::SameNameQuestion(const std::string& name) const {
  OrgTree tree(*core_.Dir().Get());
  return NewOrgSameNameQuestion(tree, TargetOrgNo, name).value_or(std::string());
}

bool Tfrmneworg::Save() {
  AdminResult r = NewOrg(core_.Dir(), core_.Db(), TargetOrgNo, edtneworgname->text().toStdString(),
                         edtid->text().toStdString());
  if (!r.ok && !r.message.empty()) prompter_.Information(this, Q(r.message), Q(r.caption));
  return r.ok;
}

// --- Change department ---------------------------------------------------------------

Tfrmorgrename::Tfrmorgrename(ServerCore& core, Prompter& prompter, QWidget* parent)
    : TfrmorgBase(core, prompter, parent, QStringLiteral("修改部门")) {
  setObjectName(QStringLiteral("Tfrmorgrename"));
}

void Tfrmorgrename::Prepare(const std::string& code, const std::string& name, std::int64_t order) {
  TargetOrgNo = code;
  edtneworgname->setText(Q(name));
  edtid->setText(QString::number(order));
}

std::string Tfrmorgrename::SameNameQuestion(const std::string& name) const {
  OrgTree tree(*core_.Dir().Get());
  return RenameOrgSameNameQuestion(tree, TargetOrgNo, name).value_or(std::string());
}

bool Tfrmorgrename::Save() {
  AdminResult r = RenameOrg(core_.Dir(), core_.Db(), TargetOrgNo, edtneworgname->text().toStdString(),
                            edtid->text().toStdString());
  if (!r.ok && !r.message.empty()) prompter_.Information(this, Q(r.message), Q(r.caption));
  return r.ok;
}

}  // namespace corvan
