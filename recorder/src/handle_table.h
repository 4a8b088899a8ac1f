// What the recorder knows of the handles the program holds: a small number for each
// (a pointer means nothing to whoever reads the recording), the device-list index it
// was opened from, and which channel of the card it is.
//
// Which handle is the FIFO channel decides what the recording may hold: bytes written
// on the UART channel are commands and are kept whole, bytes written on the FIFO
// channel are the image and are never kept. A handle counts as the UART channel only
// with two signs of it: the program set a baud rate on it (which it does on the UART
// channel alone), and its device is not marked as channel A, whose description ends in
// " A" or whose serial number ends in "A" in the device list. Every other handle, an
// unknown one included, counts as the FIFO channel, so that a wrong guess can cost the
// text of a command but never leak image bytes.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "link/ftd2xx_abi.h"

namespace recorder {
class HandleTable {
public:
    struct Entry {
        int id = 0;       // 0 for the null handle; numbered from 1 in the order first seen
        int device = -1;  // the device-list index it was opened from; -1 when not known
    };

    // Takes note of the channel letters of the list the program has just received.
    void deviceList(const FT_DEVICE_LIST_INFO_NODE* nodes, std::size_t count);
    // A handle FT_Open gave for device `index`; returns its entry.
    Entry opened(FT_HANDLE handle, int index);
    // Forgets a closed handle; the library may give the same pointer again later.
    void closed(FT_HANDLE handle);
    void baudRateSet(FT_HANDLE handle);

    // The handle's entry; a handle FT_Open did not give gets a number of its own.
    Entry find(FT_HANDLE handle);
    // The entry's number for a handle named in a device-list node: 0 for none, -1 for a
    // handle this process did not open here.
    int known(FT_HANDLE handle);
    bool isUart(FT_HANDLE handle);

private:
    struct Handle {
        Entry entry;
        char channel = 0;  // its device's letter in the list it was opened from
        bool baudRateSet = false;
    };
    Handle& lookUp(FT_HANDLE handle);

    std::mutex mutex_;
    std::unordered_map<FT_HANDLE, Handle> handles_;
    std::vector<char> channelLetters_;  // per device index: 'A', 'B' or 0
    int nextId_ = 1;
};

}  // namespace recorder
