#include "d2xx_call.h"

#include "bench_instance.h"

namespace cardbench {

D2xxCall::D2xxCall(const char* function, FT_HANDLE handle) : world_(currentWorld()), handleCall_(true) {
    const HandleLookup found = world_->devices().find(handle);
    handle_ = found.handle;
    device_ = found.device;
    staleHandle_ = !found.handle && found.device >= 0;
    start(function);
}

D2xxCall::D2xxCall(const char* function, int device) : world_(currentWorld()), device_(device) { start(function); }

void D2xxCall::start(const char* function) {
    line_["fn"] = function;
    line_["dev"] = device_;
    fault_ = world_->faults().match(function, device_);
}

std::optional<FT_STATUS> D2xxCall::faultOnly() const {
    if (fault_ && !fault_->perform) {
        return fault_->status;
    }
    return std::nullopt;
}

std::optional<FT_STATUS> D2xxCall::refusal() const {
    if (auto fault = faultOnly()) {
        return fault;
    }
    if (handleCall_ && !handle_) {
        return FT_INVALID_HANDLE;
    }
    return std::nullopt;
}

FT_STATUS D2xxCall::finish(FT_STATUS status) {
    if (fault_) {
        status = fault_->status;
        line_["fault"] = true;
    }
    if (staleHandle_) {
        line_["stale"] = true;
    }
    line_["status"] = status;
    world_->log().write(line_);
    return status;
}

FT_STATUS D2xxCall::finishPoll(FT_STATUS status, DWORD waiting) {
    if (waiting == 0 && !fault_ && !staleHandle_) {
        world_->log().emptyPoll(device_, status);
        return status;
    }
    return finish(status);
}

}  // namespace cardbench
