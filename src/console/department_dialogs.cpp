#include "console/department_dialogs.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "accounts/directory_admin.h"
#include "admin/operations.h"
#include "console/prompter.h"
#include "server/server_core.h"

namespace corvan {

namespace {
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

DepartmentDialog::DepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent, const QString& title)
    : QDialog(parent), core_(core), prompter_(prompter) {
  setModal(true);
  setWindowTitle(title);
  nameEdit_ = new QLineEdit(this);
  nameEdit_->setObjectName(QStringLiteral("edtneworgname"));
  nameEdit_->setMaxLength(30);
  orderEdit_ = new QLineEdit(this);
  orderEdit_->setObjectName(QStringLiteral("edtid"));
  orderEdit_->setMaxLength(30);
  okButton_ = new QPushButton(QStringLiteral("确定"), this);
  okButton_->setObjectName(QStringLiteral("Rzbtnok"));
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(QStringLiteral("取消"), this);
  cancelButton_->setObjectName(QStringLiteral("Rzbtncancel"));
  connect(okButton_, &QPushButton::clicked, this, &DepartmentDialog::Confirm);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("请输入新部门名："), this), 0, 0);
  grid->addWidget(nameEdit_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("显示编序"), this), 1, 0);
  grid->addWidget(orderEdit_, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("(0-10000)"), this), 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  resize(340, 130);
}

void DepartmentDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  nameEdit_->setFocus();
}

std::string DepartmentDialog::NameText() const { return nameEdit_->text().toStdString(); }

std::string DepartmentDialog::OrderText() const { return orderEdit_->text().toStdString(); }

void DepartmentDialog::SetFields(const QString& name, const QString& order) {
  nameEdit_->setText(name);
  orderEdit_->setText(order);
}

void DepartmentDialog::Confirm() {
  std::string name = NameText();
  Result<std::int64_t> check = CheckOrgForm(name, OrderText());
  if (!check.IsOk()) {
    prompter_.Information(this, Q(check.GetStatus().Message()), Q(MessageCaption(check.GetStatus())));
    return;
  }
  std::string question = SameNameQuestion(name);
  if (!question.empty() && !prompter_.Question(this, Q(question), Q(kInfoCaption))) return;
  if (!Save()) return;
  emit OrgSaved(Q(TargetOrgCode));
  accept();
}

// --- New department --------------------------------------------------------------

NewDepartmentDialog::NewDepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent)
    : DepartmentDialog(core, prompter, parent, QStringLiteral("新建部门")) {
  setObjectName(QStringLiteral("Tfrmneworg"));
}

void NewDepartmentDialog::Prepare(const std::string& parentCode) {
  TargetOrgCode = parentCode;
  SetFields(QString(), QStringLiteral("100"));
}

std::string NewDepartmentDialog::SameNameQuestion(const std::string& name) const {
  OrgTree tree(*core_.Dir().Get());
  return NewOrgSameNameQuestion(tree, TargetOrgCode, name).value_or(std::string());
}

bool NewDepartmentDialog::Save() {
  OpsContext ops = MakeOpsContext(core_, true);
  Status r = AddDepartment(ops, Actor::Console(), TargetOrgCode, NameText(), OrderText()).GetStatus();
  if (!r.IsOk() && !r.Message().empty()) prompter_.Information(this, Q(r.Message()), Q(MessageCaption(r)));
  return r.IsOk();
}

// --- Change department ---------------------------------------------------------------

EditDepartmentDialog::EditDepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent)
    : DepartmentDialog(core, prompter, parent, QStringLiteral("修改部门")) {
  setObjectName(QStringLiteral("Tfrmorgrename"));
}

void EditDepartmentDialog::Prepare(const std::string& code, const std::string& name, std::int64_t order) {
  TargetOrgCode = code;
  SetFields(Q(name), QString::number(order));
}

std::string EditDepartmentDialog::SameNameQuestion(const std::string& name) const {
  OrgTree tree(*core_.Dir().Get());
  return RenameOrgSameNameQuestion(tree, TargetOrgCode, name).value_or(std::string());
}

bool EditDepartmentDialog::Save() {
  OpsContext ops = MakeOpsContext(core_, true);
  Status r = RenameDepartment(ops, Actor::Console(), TargetOrgCode, NameText(), OrderText());
  if (!r.IsOk() && !r.Message().empty()) prompter_.Information(this, Q(r.Message()), Q(MessageCaption(r)));
  return r.IsOk();
}

}  // namespace corvan
