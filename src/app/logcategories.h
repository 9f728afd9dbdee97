#pragma once

#include <QLoggingCategory>

// What the launcher writes to its log for support, by subsystem: the service calls and hosts,
// the self-update, the synchronisation, and the window's flow.
Q_DECLARE_LOGGING_CATEGORY(lcService)
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
Q_DECLARE_LOGGING_CATEGORY(lcSync)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
