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
  Skin->SetTitle(QStringLiteral("关于"));

  nameLabel = new QLabel(QStringLiteral("Corvan服务器"), this);
  nameLabel->setObjectName(QStringLiteral("lblname"));
  nameLabel->setStyleSheet(QStringLiteral("font-size: 16pt; font-weight: bold; color: #1f4e8c;"));
  versionLabel = new QLabel(QStringLiteral("版本:") + Q(kConsoleVersion), this);
  versionLabel->setObjectName(QStringLiteral("lblversion"));
  dateLabel = new QLabel(Q(UpdateDateText(kConsoleVersion)), this);
  dateLabel->setObjectName(QStringLiteral("lbldate"));
  okButton = new QPushButton(QStringLiteral("确定"), this);
  okButton->setObjectName(QStringLiteral("rzbtnok"));
  okButton->setDefault(true);
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 12, 20, 12);
  layout->addWidget(nameLabel);
  layout->addSpacing(8);
  layout->addWidget(versionLabel);
  layout->addWidget(dateLabel);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton);
  layout->addLayout(buttons);
  setFixedSize(320, 190);
}

}  // namespace corvan
