#pragma once
// Qt's own texts (standard dialogs, the text boxes' menus) in the window's language.

namespace kova::gui {

// Installs Qt's Chinese translation into the running application. A missing file is no error:
// the standard texts then stay in English. True when installed.
bool InstallQtTranslations();

}  // namespace kova::gui
