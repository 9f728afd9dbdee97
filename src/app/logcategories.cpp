#include "app/logcategories.h"

// Info and above: what a supporter reads. Debug stays off unless QT_LOGGING_RULES asks for it.
Q_LOGGING_CATEGORY(lcService, "korvina.service", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpdate, "korvina.update", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSync, "korvina.sync", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "korvina.app", QtInfoMsg)
