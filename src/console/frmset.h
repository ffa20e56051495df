// The settings window: the listening port, the start options, the
// registration switch and the days offline items are kept. "确定" saves the
// four groups in order through the core's SaveAll and shows its messages;
// the window closes only when all four succeeded.
//
// The port box, the start-minimised box and the registration choice are
// filled once per program run, from the settings read at start; showing the
// window again keeps what was last entered. The auto-start box and the days
// are filled at every show.
#pragma once

#include "console/frmbase.h"
#include "storage/config.h"
#include "admin/settings_ops.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QPushButton;
class QTabWidget;

namespace corvan {

class Prompter;
class ServerCore;

class Tfrmset : public Tfrmbasenosize {
  Q_OBJECT

 public:
  Tfrmset(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);

  // Fills the port box, the start-minimised box and the registration choice
  // (once per program run; later calls do nothing).
  void ReadConfigurationControls(const ServerSettings& settings);
  // What the window holds now.
  SettingsForm Form() const;

  void FormShow();
  // "确定": true when everything was saved and the window closed.
  bool SaveAll();
  void rzbtnokClick() { SaveAll(); }
  void rzbtncancelClick() { reject(); }
  void actoristartExecute();
  void actorinetworkExecute();
  void actadvregExecute();
  void actadvofflineExecute();

  // Whether the autostart entry existed when the window was last shown.
  bool AutoStartWasOn = false;

  QTabWidget* Pgcset;
  QWidget* Tabsheetnetwork;
  QWidget* Tabsheetstart;
  QWidget* Tabsheetreg;
  QWidget* TabsheetOffline;
  QLineEdit* edtServerPort;
  QCheckBox* chkautostart;
  QCheckBox* chkstartmin;
  QRadioButton* rdoallow;
  QRadioButton* rdodeny;
  QWidget* Rzrdiogbxreg;
  QSpinBox* RzedtOfflineday;
  QPushButton* rzbtnok;
  QPushButton* rzbtncancel;
  QAction* actoristart;
  QAction* actorinetwork;
  QAction* actadvreg;
  QAction* actadvoffline;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* MakePage(const char* name, const QString& title, const QStringList& hint);

  ServerCore& core_;
  Prompter& prompter_;
  bool controlsFilled_ = false;
};

}  // namespace corvan
