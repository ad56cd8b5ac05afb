// karst_health: the health check of a server on this machine, for container
// runtimes and Kubernetes exec probes (see health_check.h for what it reads).
// Exit codes: 0 healthy, 1 unhealthy, 2 bad options.
#include "health/health_check.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const karst::health::HealthOptionsOutcome parsed = karst::health::parseHealthOptions(args);
    if (parsed.helpRequested) {
        std::cout << karst::health::healthUsage();
        return 0;
    }
    if (!parsed.options) {
        std::cerr << "karst_health: " << parsed.error << '\n';
        return 2;
    }
    const karst::health::HealthVerdict verdict = karst::health::checkHealth(*parsed.options);
    (verdict.healthy ? std::cout : std::cerr) << verdict.line << '\n';
    return verdict.healthy ? 0 : 1;
}
