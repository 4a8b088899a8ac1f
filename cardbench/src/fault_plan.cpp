#include "fault_plan.h"

namespace cardbench {

FaultPlan::FaultPlan(std::vector<FaultConfig> faults) {
    for (auto& fault : faults) {
        faults_.push_back({std::move(fault)});
    }
}

std::optional<InjectedFault> FaultPlan::match(const std::string& function, int device) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<InjectedFault> result;
    for (auto& fault : faults_) {
        if (fault.config.function != function || (fault.config.device && *fault.config.device != device)) {
            continue;
        }
        const long seen = fault.seen++;
        if (!result && seen >= fault.config.skip && fault.fired < fault.config.times) {
            ++fault.fired;
            result = InjectedFault{fault.config.status, fault.config.perform};
        }
    }
    return result;
}

}  // namespace cardbench
