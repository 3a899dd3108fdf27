#pragma once

#include <chrono>

// Time-outs of the cloud service requests; tests shrink them.
struct HttpTiming
{
    // Recognition and polishing requests.
    std::chrono::milliseconds serviceRequestTimeout = std::chrono::seconds(60);
    // The probes of the service test.
    std::chrono::milliseconds serviceTestTimeout = std::chrono::seconds(30);
};
