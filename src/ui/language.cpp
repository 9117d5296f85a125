#include "ui/language.h"

#include "base/util.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace ui {

bool install_qt_translations()
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QLocale(QLocale::Spanish), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        && QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    util::log("no encontré las traducciones de Qt (qtbase_es); sus diálogos saldrán en inglés");
    return false;
}

} // namespace ui
