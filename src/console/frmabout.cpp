#include "console/frmabout.h"

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

Tfrmabout::Tfrmabout(QWidget* parent) : Tfrmbasenosize(parent) {
  setObjectName(QStringLiteral("Tfrmabout"));
  setModal(true);
  Skin->SetTitle(QStringLiteral("关于"));

  lblname = new QLabel(QStringLiteral("Corvan服务器"), this);
  lblname->setObjectName(QStringLiteral("lblname"));
  lblname->setStyleSheet(QStringLiteral("font-size: 16pt; font-weight: bold; color: #1f4e8c;"));
  lblversion = new QLabel(QStringLiteral("版本:") + Q(kConsoleVersion), this);
  lblversion->setObjectName(QStringLiteral("lblversion"));
  lbldate = new QLabel(Q(UpdateDateText(kConsoleVersion)), this);
  lbldate->setObjectName(QStringLiteral("lbldate"));
  rzbtnok = new QPushButton(QStringLiteral("确定"), this);
  rzbtnok->setObjectName(QStringLiteral("rzbtnok"));
  rzbtnok->setDefault(true);
  connect(rzbtnok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 12, 20, 12);
  layout->addWidget(lblname);
  layout->addSpacing(8);
  layout->addWidget(lblversion);
  layout->addWidget(lbldate);
  layout->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(rzbtnok);
  layout->addLayout(buttons);
  setFixedSize(320, 190);
}

}  // namespace corvan
