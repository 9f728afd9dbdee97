#pragma once

#include <QString>

// Where the service client talks to: base addresses "scheme://host[:port]" without a trailing
// slash. The build's hosts in the launcher; loopback servers in the tests.
struct ServiceEndpoints
{
    QString primaryService;
    QString fallbackService; // also the file host and the fallback status endpoint
    QString site; // the web site host, which answers the status requests

    // "https://" and the host names of BuildConfig.
    static ServiceEndpoints fromBuild();
};

// Chooses the service host with a signed ping and returns its base address: the primary host
// when it answers, otherwise the fallback host, which then stays chosen whether or not it
// answers. Sets usingFallbackHost accordingly. timeoutMs limits each ping attempt.
QString selectHost(const ServiceEndpoints &endpoints, int timeoutMs = 3000);
