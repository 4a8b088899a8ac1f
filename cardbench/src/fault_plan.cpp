#include "fault_plan.h"

namespace cardbench {

FaultPlan::FaultPlan(std::vector<FaultSpec> faults) {
    for (auto& fault : faults) {
        faults_.push_back({std::move(fault)});
    }
}

std::optional<InjectedFault> FaultPlan::match(const std::string& function, int device) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<InjectedFault> result;
    for (auto& fault : faults_) {
        if (fault.spec.function != function || (fault.spec.device && *fault.spec.device != device)) {
            continue;
        }
        const long seen = fault.seen++;
        if (!result && seen >= fault.spec.skip && fault.fired < fault.spec.times) {
            ++fault.fired;
            result = InjectedFault{fault.spec.status, fault.spec.perform};
        }
    }
    return result;
}

}  // namespace cardbench
