#include "res/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside of any namespace.
static void InitPallorwindResources() {
    Q_INIT_RESOURCE(pallorwind); // pallorwind.qrc
}

namespace pallorwind::res {

void InitResources() {
    static const bool done = [] {
        InitPallorwindResources();
        return true;
    }();
    (void)done;
}

} // namespace pallorwind::res
