// The two department dialogs: a new department under a given one
// (NewDepartmentDialog) and the name and display order of a department
// (EditDepartmentDialog). Both run their checks on OK, ask the same-name question,
// and close on success after emitting `OrgSaved` with the department the
// dialog was opened on.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QLineEdit;
class QPushButton;

namespace corvan {

class Prompter;
class ServerCore;

class DepartmentDialog : public QDialog {
  Q_OBJECT

 public:
  // The code of the department the dialog was opened on (the parent-to-be
  // for a new department; the department itself for a change).
  std::string TargetOrgCode;

 public slots:
  void Confirm();

 signals:
  void OrgSaved(const QString& targetOrgNo);

 protected:
  DepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent, const QString& title);
  void showEvent(QShowEvent* event) override;
  // The same-name question for this dialog, or empty.
  virtual std::string SameNameQuestion(const std::string& name) const = 0;
  // Runs the change; true when the dialog may close.
  virtual bool Save() = 0;
  // The name and the display order as typed.
  std::string NameText() const;
  std::string OrderText() const;
  void SetFields(const QString& name, const QString& order);

  ServerCore& core_;
  Prompter& prompter_;

 private:
  QLineEdit* nameEdit_ = nullptr;
  QLineEdit* orderEdit_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

class NewDepartmentDialog : public DepartmentDialog {
  Q_OBJECT

 public:
  NewDepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);
  // Empty name, order 100, under `parentCode`.
  void Prepare(const std::string& parentCode);

 protected:
  std::string SameNameQuestion(const std::string& name) const override;
  bool Save() override;
};

class EditDepartmentDialog : public DepartmentDialog {
  Q_OBJECT

 public:
  EditDepartmentDialog(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);
  // The department's name and order.
  void Prepare(const std::string& code, const std::string& name, std::int64_t order);

 protected:
  std::string SameNameQuestion(const std::string& name) const override;
  bool Save() override;
};

}  // namespace corvan
