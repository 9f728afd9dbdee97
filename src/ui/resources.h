#pragma once

// Makes the compiled-in images and fonts (":/images/", ":/fonts/") available; the resources live
// in a static library, so the linker would otherwise drop them.
void initLauncherResources();
