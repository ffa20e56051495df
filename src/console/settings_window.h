// The settings window: the listening port, the start options, the
// registration switch and the days offline items are kept. "确定" saves the
// four groups in order through the core's SaveAll and shows its messages;
// the window closes only when all four succeeded.
//
// The port box, the start-minimised box and the registration choice are
// filled once per program run, from the settings read at start; showing the
// window again keeps what was last entered. The auto-start box and the days
// are filled at every show, the days as Configure.xml stores them. What the
// days box holds when "确定" is pressed is saved, or refused with the range
// message.
#pragma once

#include "admin/settings_ops.h"
#include "console/skin_frame.h"
#include "storage/config.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class QPushButton;
class QTabWidget;

namespace corvan {

class Prompter;
class ServerCore;

class SettingsWindow : public FixedSkinnedDialog {
  Q_OBJECT

 public:
  SettingsWindow(ServerCore& core, Prompter& prompter, QWidget* parent = nullptr);

  // Fills the port box, the start-minimised box and the registration choice
  // (once per program run; later calls do nothing).
  void FillStartupControls(const ServerSettings& settings);
  // What the window holds now.
  SettingsForm Form() const;

  void FillOnShow();
  // "确定": true when everything was saved and the window closed.
  bool SaveAll();
  void Confirm() { SaveAll(); }
  void Cancel() { reject(); }
  void ShowStartPage();
  void ShowNetworkPage();
  void ShowRegistrationPage();
  void ShowOfflinePage();

  // Whether the autostart entry existed when the window was last shown.
  bool AutoStartWasOn = false;

  // The task bar's items, the current page's checked.
  QButtonGroup* TaskItems() const { return taskItems_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The task bar on the left: its items switch the pages.
  QWidget* BuildTaskBar();
  void BuildNetworkPage();
  void BuildStartPage();
  void BuildRegistrationPage();
  void BuildOfflinePage();
  // OK and cancel, below the task bar and the pages.
  void BuildButtons(QWidget* taskbar);
  QWidget* MakePage(const char* name, const QString& title, const QStringList& hint);
  void MarkCurrentPage();
  // Shows the range note while the days box holds no number from 1 to 30.
  void NoteOfflineDays();

  ServerCore& core_;
  Prompter& prompter_;
  bool controlsFilled_ = false;
  QButtonGroup* taskItems_ = nullptr;
  QTabWidget* pageControl_ = nullptr;
  QWidget* networkPage_ = nullptr;
  QWidget* startPage_ = nullptr;
  QWidget* registrationPage_ = nullptr;
  QWidget* offlinePage_ = nullptr;
  QLineEdit* portEdit_ = nullptr;
  QCheckBox* autoStartBox_ = nullptr;
  QCheckBox* startMinimizedBox_ = nullptr;
  QRadioButton* allowRegistration_ = nullptr;
  QRadioButton* denyRegistration_ = nullptr;
  QWidget* registrationChoice_ = nullptr;
  QSpinBox* offlineDaysBox_ = nullptr;
  QLabel* offlineDaysNote_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QAction* startPageAction_ = nullptr;
  QAction* networkPageAction_ = nullptr;
  QAction* registrationPageAction_ = nullptr;
  QAction* offlinePageAction_ = nullptr;
};

}  // namespace corvan
