#include "ui/resources.h"

#include <QtGlobal>

void initLauncherResources()
{
    Q_INIT_RESOURCE(resources);
}
