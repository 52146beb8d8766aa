#include "gui/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kova::gui {

bool InstallQtTranslations() {
  auto* translator = new QTranslator(QCoreApplication::instance());
  // The window speaks Chinese whatever the desktop's language, so its standard parts do too.
  if (translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
      QCoreApplication::installTranslator(translator))
    return true;
  delete translator;
  return false;
}

}  // namespace kova::gui
