#include "editor/toolbar.h"

#include "base/util.h"

namespace toolbar {

// FIXME: the rows' controls; until they land both rows are empty.
Toolbar build(editor::VistropeEditorController&, std::weak_ptr<editor::Editor>, double width)
{
    Toolbar t;
    t.top = new QWidget;
    t.bottom = new QWidget;
    t.top->resize(int(width), 48);
    t.bottom->resize(int(width), 48);
    return t;
}

} // namespace toolbar

namespace editor {

// FIXME: the save panel; until it lands the request is only logged.
void save_as(const std::shared_ptr<Editor>&)
{
    util::log("editor: guardar como… todavía no disponible");
}

} // namespace editor
