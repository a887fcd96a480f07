// The browser window's settings dialog: the date style and century, whether records marked
// deleted show, the code page of tables without a mark, and the font size, kept per user.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSettings>
#include <QSpinBox>
#include <algorithm>
#include <iterator>

#include "browser/browser_form.h"
#include "browser/record_form.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/settings.h"
#include "platform/widgets/graphics.h"
#include "platform/dataset/sys_utils.h"
#include "platform/os/codepage.h"

namespace vx::browser {

namespace {

// The date styles offered, by the engine's numbers, with the name a user knows them by.
struct DateStyleChoice {
  int style;
  const char* name;
};
constexpr DateStyleChoice kDateStyles[] = {
    {0, "American"}, {1, "ANSI"},   {2, "British"}, {3, "Italian"}, {4, "French"},
    {5, "German"},   {6, "Spanish"}, {8, "Russian"},
};

constexpr int kSmallestFont = 6;
constexpr int kLargestFont = 24;

// The framework's short date format of an engine date style: the grid and the record form
// show dates in it, the engine's DTOC in the style itself.
void ApplyDateStyle(int style, bool century) {
  DateStyle = style;
  CenturyOn = century;
  TFormatSettings& format = FormatSettings();
  const std::string year = century ? "yyyy" : "yy";
  const std::string shown = DateTextIn(style, century, DayNumber(1999, 12, 25));
  // The separator is the first character that is not a digit.
  const auto mark =
      std::find_if(shown.begin(), shown.end(), [](char c) { return c < '0' || c > '9'; });
  format.DateSeparator = mark != shown.end() ? *mark : '/';
  if (style == 0) {
    format.ShortDateFormat = "mm/dd/" + year;
  } else if (style == 1) {
    format.ShortDateFormat = year + "/mm/dd";
  } else {
    format.ShortDateFormat = "dd/mm/" + year;
  }
}

}  // namespace

UserSettings TBrowserForm::LoadUserSettings() {
  QSettings settings;
  UserSettings user;
  // Until the user chooses, dates show as the start-up chose from the locale.
  user.date_style = std::clamp(settings.value("settings/date_style", EffectiveDateStyle()).toInt(), 0, 8);
  user.century = settings.value("settings/century", static_cast<bool>(CenturyOn)).toBool();
  user.show_deleted = settings.value("settings/show_deleted", true).toBool();
  user.unmarked_page = settings.value("settings/unmarked_page", 0).toInt();
  if (user.unmarked_page != 0 && !os::CodePageAvailable(user.unmarked_page)) user.unmarked_page = 0;
  user.font_size = settings.value("settings/font_size", 0).toInt();
  if (user.font_size != 0) user.font_size = std::clamp(user.font_size, kSmallestFont, kLargestFont);
  return user;
}

void TBrowserForm::SetUserSettings(const UserSettings& user) {
  user_ = user;
  QSettings settings;
  settings.setValue("settings/date_style", user.date_style);
  settings.setValue("settings/century", user.century);
  settings.setValue("settings/show_deleted", user.show_deleted);
  settings.setValue("settings/unmarked_page", user.unmarked_page);
  settings.setValue("settings/font_size", user.font_size);
  ApplyUserSettings();
}

void TBrowserForm::ApplyUserSettings() {
  ApplyDateStyle(user_.date_style, user_.century);
  const int size = user_.font_size != 0 ? user_.font_size : default_font_size_;
  const bool resized = Grid->Font().Size() != size;
  if (resized) {
    TFont font = Grid->Font();
    font.SetSize(size);
    Grid->SetFont(font);
    QFont form_font = RecordForm->Widget()->font();
    form_font.setPointSize(size);
    RecordForm->Widget()->setFont(form_font);
  }
  SetShowDeleted(user_.show_deleted);
  if (Table->Active()) {
    // A table without a mark is read in the page now chosen for such tables.
    if (page_source_ != PageSource::kMark && chosen_page_ == 0) ChooseTablePage();
    // Columns as wide as their values in the new size.
    if (resized) FitColumns();
  }
  RecordForm->Rebuild();
  Grid->Invalidate();
  UpdateStatus();
}

QDialog* TBrowserForm::ShowSettings() {
  auto* dialog = new QDialog(Widget());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setObjectName("SettingsDialog");
  dialog->setWindowTitle("Settings");
  auto* layout = new QFormLayout(dialog);

  auto* style = new QComboBox(dialog);
  style->setObjectName("DateStyle");
  for (const DateStyleChoice& choice : kDateStyles) {
    const std::string example = DateTextIn(choice.style, true, DayNumber(1999, 12, 25));
    style->addItem(QString::fromStdString(std::string(choice.name) + "  " + example),
                   choice.style);
  }
  style->setCurrentIndex(std::max(0, style->findData(user_.date_style)));
  layout->addRow("Date style:", style);

  auto* century = new QCheckBox("Four-digit years", dialog);
  century->setObjectName("Century");
  century->setChecked(user_.century);
  layout->addRow("Century:", century);

  auto* deleted = new QCheckBox("Show records marked deleted", dialog);
  deleted->setObjectName("ShowDeleted");
  deleted->setChecked(user_.show_deleted);
  layout->addRow("Deleted records:", deleted);

  auto* page = new QComboBox(dialog);
  page->setObjectName("UnmarkedPage");
  page->addItem(QString("The DOS page of the locale (%1)").arg(os::OemCodePage()), 0);
  for (const int offered : kOfferedPages) {
    if (os::CodePageAvailable(offered)) page->addItem(QString::number(offered), offered);
  }
  page->setCurrentIndex(std::max(0, page->findData(user_.unmarked_page)));
  layout->addRow("Tables without a code page mark:", page);

  auto* size = new QSpinBox(dialog);
  size->setObjectName("FontSize");
  size->setRange(kSmallestFont, kLargestFont);
  size->setSuffix(" pt");
  size->setValue(user_.font_size != 0 ? user_.font_size : default_font_size_);
  layout->addRow("Font size:", size);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  layout->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  QObject::connect(dialog, &QDialog::accepted, [=, this] {
    UserSettings chosen;
    chosen.date_style = style->currentData().toInt();
    chosen.century = century->isChecked();
    chosen.show_deleted = deleted->isChecked();
    chosen.unmarked_page = page->currentData().toInt();
    chosen.font_size = size->value() == default_font_size_ && user_.font_size == 0 ? 0 : size->value();
    SetUserSettings(chosen);
  });
  dialog->show();
  return dialog;
}

}  // namespace vx::browser
