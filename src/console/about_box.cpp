#include "console/about_box.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvan {

namespace {

QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

std::string UpdateDateText(std::string_view version) {
  if (version.size() < 6) return {};
  std::string_view digits = version.substr(version.size() - 6);
  return "更新日期：20" + std::string(digits.substr(0, 2)) + "年" + std::string(digits.substr(2, 2)) + "月" +
         std::string(digits.substr(4, 2)) + "日";
}

AboutBox::AboutBox(QWidget* parent) : FixedSkinnedDialog(parent) {
  setObjectName(QStringLiteral("Tfrmabout"));
  setModal(true);
  Skin()->SetTitle(QStringLiteral("关于"));

  nameLabel_ = new QLabel(QStringLiteral("Corvan服务器"), this);
  nameLabel_->setObjectName(QStringLiteral("lblname"));
  nameLabel_->setStyleSheet(QStringLiteral("font-size: 16pt; font-weight: bold; color: #1f4e8c;"));
  versionLabel_ = new QLabel(QStringLiteral("版本:") + Q(kConsoleVersion), this);
  versionLabel_->setObjectName(QStringLiteral("lblversion"));
  dateLabel_ = new QLabel(Q(UpdateDateText(kConsoleVersion)), this);
  dateLabel_->setObjectName(QStringLiteral("lbldate"));
  okButton_ = new QPushButton(QStringLiteral("确定"), this);
  okButton_->setObjectName(QStringLiteral("rzbtnok"));
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 12, 20, 12);
  layout->addWidget(nameLabel_);
  layout->addSpacing(8);
  layout->addWidget(versionLabel_);
  layout->addWidget(dateLabel_);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  layout->addLayout(buttons);
  setFixedSize(320, 190);
}

}  // namespace corvan
