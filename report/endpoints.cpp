#include "report/endpoints.h"

#include "deploy/deployment_config.h"

namespace report {
namespace {

struct Overrides {
    std::wstring statisticsHost;
    std::wstring webServiceUrl;
    std::wstring reportUrl;
};

Overrides& TestOverrides() {
    static Overrides* overrides = new Overrides();  // leaked: detached jobs may read it at exit
    return *overrides;
}

std::wstring Pick(const std::wstring& override, const wchar_t* deployed) {
    std::wstring value = override.empty() ? std::wstring(deployed) : override;
    while (!value.empty() && value.back() == L'/')
        value.pop_back();
    return value;
}

}  // namespace

std::wstring StatisticsHost() {
    return Pick(TestOverrides().statisticsHost, deploy::kStatisticsHost);
}

std::wstring WebServiceUrl() {
    return Pick(TestOverrides().webServiceUrl, deploy::kWebServiceUrl);
}

std::wstring ReportUrl() {
    return Pick(TestOverrides().reportUrl, deploy::kReportUrl);
}

void SetEndpointsForTesting(const std::wstring& statisticsHost, const std::wstring& webServiceUrl,
                            const std::wstring& reportUrl) {
    Overrides& overrides = TestOverrides();
    overrides.statisticsHost = statisticsHost;
    overrides.webServiceUrl = webServiceUrl;
    overrides.reportUrl = reportUrl;
}

}  // namespace report
