// The libftdi1 driver's view of the bus and of its own handles: every FT2232H that
// libftdi1 finds, listed as D2XX lists it (two records per chip, an interface another
// program holds told from a free one), the list FT_CreateDeviceInfoList made last, and
// the handles open now. One mutex guards both the list and the handles.
#pragma once

#include <mutex>
#include <set>
#include <vector>

#include "link/ftd2xx_abi.h"
#include "link/libftdi_rules.h"

namespace nexir::libftdi {

class Channel;

struct Listed {
    UsbChip chip;
    int interface = 0;
    FT_DEVICE_LIST_INFO_NODE node{};
};

extern std::mutex stateMutex;
extern std::vector<Listed> listed;       // the last FT_CreateDeviceInfoList
extern std::set<Channel*> openChannels;  // every handle FT_Open gave and FT_Close has not taken back

// The open channel a handle stands for; null for one FT_Open did not give or FT_Close
// has taken back.
Channel* channelOf(FT_HANDLE handle);

// Every FT2232H on the bus, through a libftdi1 context of its own (a fresh look at the
// bus, so a chip that has gone is no longer there): their records into `into`, or, with
// `chipsOnly`, only their bus and address there. -1 when libusb cannot look.
int scanChips(std::vector<Listed>& into, std::vector<UsbChip>* chipsOnly);

// Whether the chip is still on the bus.
bool onTheBus(const UsbChip& chip);

}  // namespace nexir::libftdi
