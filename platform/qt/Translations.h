#pragma once

#include <QLocale>

namespace platform::qt {

// Loads Qt's own translations for `locale` (its dialogs and boxes: the save
// dialog's buttons, "OK"), where the system has them. True when loaded.
bool installQtTranslations(const QLocale &locale);

} // namespace platform::qt
