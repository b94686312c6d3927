#include "win/res/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside of any namespace.
static void InitPallorwindWinResources() {
    Q_INIT_RESOURCE(pallorwind_win);
}

namespace pallorwind::win {

void InitResources() {
    static const bool done = [] {
        InitPallorwindWinResources();
        return true;
    }();
    (void)done;
}

} // namespace pallorwind::win
