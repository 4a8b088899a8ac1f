// One D2XX call on its way into the recording: its start time taken when it is made,
// its end time when the vendor library returns, and its arguments and results added
// in between as members of its line.
#pragma once

#include <cstdint>

#include "json_object.h"
#include "link/ftd2xx_abi.h"
#include "session.h"

namespace recorder {
class CallRecord {
public:
    CallRecord(Session& session, const char* function);
    // A call on a handle: its number ("h") and its device's list index ("dev").
    CallRecord(Session& session, const char* function, FT_HANDLE handle);

    JsonObject& arguments() { return arguments_; }
    JsonObject& results() { return results_; }
    // Takes the end time; the status follows the arguments in the line.
    void returned(FT_STATUS status);
    // Hands the line to the recording and gives the status back for the caller.
    FT_STATUS finish() { return submit(false); }
    // The same for a poll, which the recording may fold into a run of identical ones.
    FT_STATUS finishPoll() { return submit(true); }

private:
    FT_STATUS submit(bool poll);

    Session& session_;
    const char* function_;
    std::int64_t start_;
    std::int64_t end_ = 0;
    FT_STATUS status_ = FT_OK;
    JsonObject arguments_;
    JsonObject results_;
};

}  // namespace recorder
