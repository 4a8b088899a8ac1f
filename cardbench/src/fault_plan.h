// Injected failures: a D2XX function on a device answers a given status, once, always or
// a number of times, optionally after letting some matching calls pass. Thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace cardbench {

struct InjectedFault {
    FT_STATUS status;
    bool perform;
};

class FaultPlan {
public:
    explicit FaultPlan(std::vector<FaultConfig> faults);
    // Counts the call against every matching fault; the first one still armed fires.
    std::optional<InjectedFault> match(const std::string& function, int device);

private:
    struct Armed {
        FaultConfig config;
        long seen = 0;
        long fired = 0;
    };
    std::mutex mutex_;
    std::vector<Armed> faults_;
};

}  // namespace cardbench
