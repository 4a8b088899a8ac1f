// The frame around every exported D2XX function: it finds the world and the handle,
// consults the fault plan, and writes the call's log line with the final status.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "call_log.h"
#include "fault_plan.h"
#include "world.h"

namespace cardbench {

class D2xxCall {
public:
    // A call made on a handle.
    D2xxCall(const char* function, FT_HANDLE handle);
    // A call that names a device by index (-1: none).
    D2xxCall(const char* function, int device);

    World& world() { return *world_; }
    OpenHandle* handle() { return handle_.get(); }
    int device() const { return device_; }

    template <typename T>
    void arg(const char* name, const T& value) {
        line_[name] = value;
    }

    // The status to answer without doing the work: an injected fault that replaces
    // the call, or, for a handle call, FT_INVALID_HANDLE.
    std::optional<FT_STATUS> refusal() const;
    std::optional<FT_STATUS> faultOnly() const;
    FT_STATUS finish(FT_STATUS status);
    // FT_GetStatus: empty polls are counted instead of logged one by one.
    FT_STATUS finishPoll(FT_STATUS status, DWORD waiting);

private:
    void start(const char* function);

    std::shared_ptr<World> world_;
    std::shared_ptr<OpenHandle> handle_;
    int device_ = -1;
    bool handleCall_ = false;
    bool staleHandle_ = false;
    std::optional<InjectedFault> fault_;
    LogLine line_;
};

}  // namespace cardbench
