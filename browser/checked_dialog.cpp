#include "browser/checked_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vx::browser {

void TCheckedDialog::Recheck() {
  const std::string problem = Problem();
  ShowText(problem, !problem.empty());
  if (OkButton != nullptr) OkButton->setEnabled(problem.empty());
}

QDialogButtonBox* TCheckedDialog::AddMessageAndButtons(QVBoxLayout* layout) {
  Message = new QLabel(this);
  Message->setObjectName("Message");
  Message->setWordWrap(true);
  layout->addWidget(Message);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  OkButton = buttons->button(QDialogButtonBox::Ok);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  QObject::connect(OkButton, &QPushButton::clicked, [this] {
    Recheck();
    if (!OkButton->isEnabled()) return;
    if (!OnApply || OnApply()) accept();
  });
  return buttons;
}

void TCheckedDialog::ShowText(const std::string& text, bool problem) {
  Message->setStyleSheet(problem ? "color: #a00000" : "");
  Message->setText(QString::fromStdString(text));
}

}  // namespace vx::browser
