// The about box: the version and the update date derived from it.
#pragma once

#include <string>
#include <string_view>

#include "console/skin_frame.h"

class QLabel;
class QPushButton;

namespace corvan {

inline constexpr std::string_view kConsoleVersion = "2.4.081226";

// "更新日期：20" + YY + "年" + MM + "月" + DD + "日", from the last six
// characters of the version; empty when the version is shorter than that.
std::string UpdateDateText(std::string_view version);

class AboutBox : public FixedSkinnedDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);

 private:
  QLabel* nameLabel_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  QLabel* dateLabel_ = nullptr;
  QPushButton* okButton_ = nullptr;
};

}  // namespace corvan
