// Everything one loaded scenario brings to life: devices, cards, faults and the call
// log. Loading a new scenario replaces the whole world; calls still running keep the
// old one alive through their shared reference until they return.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "call_log.h"
#include "card.h"
#include "device_table.h"
#include "fault_plan.h"
#include "scenario.h"

namespace cardbench {

class World {
public:
    explicit World(const Scenario& scenario);

    DeviceTable& devices() { return devices_; }
    CallLog& log() { return log_; }
    FaultPlan& faults() { return faults_; }
    const std::string& fifoDumpDir() const { return fifoDumpDir_; }
    const std::string& setupProblem() const { return setupProblem_; }

private:
    std::map<std::string, std::shared_ptr<Card>> cards_;
    DeviceTable devices_;
    CallLog log_;
    FaultPlan faults_;
    std::string fifoDumpDir_;
    std::string setupProblem_;
};

}  // namespace cardbench
