// Where the reporting subsystem sends its requests. The values are the deployment's
// (deploy/deployment.json); tests point them at a private service double instead.
#pragma once

#include <string>

namespace report {

// "host[:port]" of the statistics endpoint (scheme http).
std::wstring StatisticsHost();
// Base URLs (scheme and host, no trailing slash) of the product's web service and of the report
// host.
std::wstring WebServiceUrl();
std::wstring ReportUrl();

// Test seam: replaces the three values for the rest of the process (empty texts restore the
// deployment's). Call before any request is made; not synchronised with running requests.
void SetEndpointsForTesting(const std::wstring& statisticsHost, const std::wstring& webServiceUrl,
                            const std::wstring& reportUrl);

}  // namespace report
