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

class Tfrmuser : public QDialog {
  Q_OBJECT

 public:
  Tfrmuser(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);

  // New mode: fields emptied, order 100, caption "添加用户". `preselect`
  // picks the department of that code (no item when none has it); without
  // it the first department is chosen.
  void PrepareNew(const OrgTree& tree, const std::optional<std::string>& preselect);
  // Update mode for `user`: its fields, its department, caption "修改用户信息".
  void PrepareUpdate(const TUserInfo& user, const OrgTree& tree);
  // The department choice: every department but the root, in tree order,
  // shown by its path, standing for its code.
  void FillOrgCombo(const OrgTree& tree);
  // The texts as typed.
  UserForm Form() const;

  QString EditMode;            // "New" or "Update"
  std::string OrigLoginName;  // the edited account's name (Update mode)

  QTabWidget* Pgcuser;
  QWidget* Tabbasic;
  QWidget* Tabotherinfo;
  QLineEdit* edtloginname;
  QLineEdit* edtloginpwd;
  QLineEdit* edtnickname;
  QLineEdit* edtfamily;
  QLineEdit* edtgivename;
  QLineEdit* edtemail;
  QComboBox* cmborg;
  QLineEdit* edtcompany;
  QLineEdit* edtorgunit;
  QLineEdit* edttitle;
  QLineEdit* edtwork_tel;
  QLineEdit* edtmobilephone;
  QLineEdit* edtwork_adr;
  QLineEdit* edtwork_fax;
  QLineEdit* edtid;
  QLineEdit* edtcountry;
  QLineEdit* edtaddress;
  QLineEdit* edturl;
  QLineEdit* edtbrd;
  QLineEdit* edttel;
  QLineEdit* edtsex;
  QPlainTextEdit* Memodesc;
  QPushButton* Rzbtnok;
  QPushButton* Rzbtncancel;

 public slots:
  void RzbtnokClick();

 signals:
  void SaveFinished();

 private:
  void ClearFields();

  ServerCore& core_;
  Prompter& prompter_;
};

}  // namespace corvan
