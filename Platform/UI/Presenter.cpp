#include "Platform/UI/Presenter.h"

#include "Platform/UI/ScriptedResponder.h"

namespace ui {

namespace {
Presenter* g_presenter = nullptr;
}

Presenter* Presenter::installed()
{
    return g_presenter;
}

void Presenter::install(Presenter* presenter)
{
    g_presenter = presenter;
}

bool isInteractive()
{
    return g_presenter && !ScriptedResponder::installed();
}

} // namespace ui
