// The account editor: a modal dialog with the basic and the other
// information tabs. It opens in New or Update mode; OK hands the typed
// texts to the directory operations, shows their message on refusal and
// stays open, and closes on success. Every OK, accepted or not, emits
// `SaveFinished` so the window refreshes its lists.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "accounts/directory_admin.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWidget;

namespace corvan {

class Prompter;
class ServerCore;

class UserEditor : public QDialog {
  Q_OBJECT

 public:
  UserEditor(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);

  // New mode: fields emptied, order 100, caption "添加用户". `preselect`
  // picks the department of that code (no item when none has it); without
  // it the first department is chosen.
  void PrepareNew(const OrgTree& tree, const std::optional<std::string>& preselect);
  // Update mode for `user`: its fields, its department, caption "修改用户信息",
  // and the lock note when the directory sync locked the account.
  void PrepareUpdate(const TUserInfo& user, const OrgTree& tree);
  // The department choice: every department but the root, in tree order,
  // shown by its path, standing for its code.
  void FillOrgCombo(const OrgTree& tree);
  // The texts as typed.
  UserForm Form() const;

  QString EditMode;           // "New" or "Update"
  std::string OrigLoginName;  // the edited account's name (Update mode)

 public slots:
  void Confirm();

 signals:
  void SaveFinished();

 protected:
  // Every opening starts at "登录名", not at the button last pressed.
  void showEvent(QShowEvent* event) override;

 private:
  void BuildBasicPage();
  void BuildOtherPage();
  // OK and cancel below the tabs.
  void BuildButtons();
  void ClearFields();

  ServerCore& core_;
  Prompter& prompter_;
  QTabWidget* tabs_ = nullptr;
  QWidget* basicPage_ = nullptr;
  QWidget* otherPage_ = nullptr;
  QLineEdit* loginNameEdit_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  QLineEdit* displayNameEdit_ = nullptr;
  QLineEdit* familyNameEdit_ = nullptr;
  QLineEdit* givenNameEdit_ = nullptr;
  QLineEdit* emailEdit_ = nullptr;
  QComboBox* orgChoice_ = nullptr;
  QLineEdit* companyEdit_ = nullptr;
  QLineEdit* orgUnitEdit_ = nullptr;
  QLineEdit* jobTitleEdit_ = nullptr;
  QLineEdit* workPhoneEdit_ = nullptr;
  QLineEdit* mobilePhoneEdit_ = nullptr;
  QLineEdit* workAddressEdit_ = nullptr;
  QLineEdit* workFaxEdit_ = nullptr;
  QLineEdit* orderEdit_ = nullptr;
  QLineEdit* countryEdit_ = nullptr;
  QLineEdit* homeAddressEdit_ = nullptr;
  QLineEdit* homePageEdit_ = nullptr;
  QLineEdit* birthdayEdit_ = nullptr;
  QLineEdit* homePhoneEdit_ = nullptr;
  QLineEdit* sexEdit_ = nullptr;
  QPlainTextEdit* descriptionEdit_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  // Shown in Update mode for an account locked by the directory sync.
  QLabel* lockedNote_ = nullptr;
};

}  // namespace corvan
