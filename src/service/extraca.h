#pragma once

// Development builds may trust extra CA certificates (KORVINA_EXTRA_CA_FILE), so that the real
// launcher can talk HTTPS to a service on loopback. A normal build carries none.

#include <QByteArray>

QByteArray extraCaCertificatesPem();

// Adds the compiled-in certificates to the default TLS configuration; returns how many.
int installExtraCaCertificates();
