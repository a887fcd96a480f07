#include "engine/foundation/settings.h"

#include "engine/foundation/errors.h"
#include "platform/os/system.h"

namespace vx {

int EffectiveDateStyle() { return DateStyle >= 0 && DateStyle <= 8 ? DateStyle : 0; }

int DateStyleForLanguage(int primary, int sub) {
  switch (primary) {
    case 7: return 5;                    // German
    case 9: return sub == 1 ? 0 : 2;     // English: US month first, others day first
    case 10: return 6;                   // Spanish
    case 12: return sub == 3 ? 7 : 4;    // French, Canadian French
    case 16: return 3;                   // Italian
    case 25: return 8;                   // Russian
    default: return 0;
  }
}

void SetDateStyle(int style) {
  DateStyle = style;
  const int effective = EffectiveDateStyle();
  if (effective >= 3 && effective <= 6) {
    DecimalSeparator = ',';
    ThousandsSeparator = '.';
  } else if (effective == 8) {
    DecimalSeparator = '.';
    ThousandsSeparator = ' ';
  } else {
    DecimalSeparator = '.';
    ThousandsSeparator = ',';
  }
}

std::uint64_t PhysicalMemory(int unit) {
  const std::uint64_t bytes = os::PhysicalMemoryBytes();
  switch (unit) {
    case 1: return bytes / 1024;
    case 2: return bytes / (1024 * 1024);
    default: return bytes;
  }
}

void InitFoundation() {
  RaiseOnError = true;
  UseExceptions = true;
  const int lang = os::UserDefaultLangId();
  SetDateStyle(DateStyleForLanguage(os::PrimaryLanguage(lang), os::SubLanguage(lang)));
  CenturyBase = os::Now().year - 70;
  RemovableDrives = 0;
  PhysicalMemoryKb = static_cast<std::uint32_t>(PhysicalMemory(1));
  OsVersion = os::OsVersionText();
}

}  // namespace vx
