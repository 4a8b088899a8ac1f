// The one world the exported functions act on. Without an explicit load, the first call
// loads the scenario named by CARDBENCH_SCENARIO; with no such variable the bench shows
// no devices.
#pragma once

#include <memory>
#include <string>

#include "world.h"

namespace cardbench {

std::shared_ptr<World> currentWorld();
// Both return false and leave the previous world in place when the scenario is unusable.
bool loadScenarioText(const std::string& jsonText, const std::string& baseDir);
bool loadScenarioFile(const std::string& path);
void resetWorld();
std::string lastLoadError();

}  // namespace cardbench
