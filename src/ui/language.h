// ui: Qt's own texts (file dialogs, a text field's menu) in the program's language.
#pragma once

namespace ui {

// Installs Qt's Spanish translations on the running application; false, with
// a log line, when they are not installed (Qt's dialogs then stay in English).
// Main thread, after the application object exists.
bool install_qt_translations();

} // namespace ui
