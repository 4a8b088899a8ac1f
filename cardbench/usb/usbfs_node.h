// One chip's /dev/bus/usb node as usbfs serves it to the processes under the testbed:
// each open file may claim interfaces (EBUSY while another open file holds one), make
// control transfers, and submit, reap and discard URBs. umockdev hands every ioctl on the
// node to onIoctl, on its own worker thread; URBs that complete later (a FIFO write
// paced by the card, a bulk IN waiting for the latency timer) are found by the reaps
// that pump() holds for a moment, as usbfs would wake a poll. An unplug is served as
// usbfs serves a disconnect: URBs in flight come back with -ESHUTDOWN, every later ioctl
// but a reap fails with ENODEV, and the node leaves the bus.
#pragma once

#include <umockdev.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "chip.h"

namespace cardbench::usb {

class UsbfsNode {
public:
    // `devnum`: the chip's device number on bus 1. `removal` takes the chip off the bus.
    UsbfsNode(Ft2232hChip& chip, int devnum, std::function<void()> removal);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    // The handler to attach to the node in the testbed.
    UMockdevIoctlBase* handler() const { return handler_; }
    // Another program holds both interfaces for good: every claim is busy.
    void holdElsewhere() { heldElsewhere_ = true; }
    // Answers the reaps held since their URB completed or their moment passed, and notices
    // an unplug that came with time. Called every fraction of a millisecond.
    void pump();

private:
    struct Urb;
    struct File;
    struct HeldReap;

    static gboolean onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    void serve(UMockdevIoctlClient* client);
    void describe(UMockdevIoctlClient* client, UMockdevIoctlData* arg, gulong request) const;
    File& fileOf(UMockdevIoctlClient* client);
    bool holderGone(UMockdevIoctlClient* holder) const;
    void forget(UMockdevIoctlClient* client);

    void claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool release);
    void syncControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool wait);
    bool answerReap(File& file, UMockdevIoctlClient* client, UMockdevIoctlData* pointer, bool final);
    std::shared_ptr<Urb> completedUrb(File& file, Clock::time_point now);

    void fifoLoop();
    void noticeUnplug();
    void unplug();

    Ft2232hChip& chip_;
    const int devnum_;
    const std::function<void()> removal_;
    UMockdevIoctlBase* handler_;
    std::mutex mutex_;
    std::map<UMockdevIoctlClient*, File> files_;
    UMockdevIoctlClient* claims_[2] = {nullptr, nullptr};
    bool heldElsewhere_ = false;
    std::vector<HeldReap> heldReaps_;
    bool unplugged_ = false;
    bool removed_ = false;

    // Bulk OUT on channel A goes to the card's FIFO one URB after the other, on a thread
    // of its own, as the FIFO takes it at its pace.
    std::deque<std::shared_ptr<Urb>> fifoQueue_;
    std::condition_variable fifoChanged_;
    bool stopping_ = false;
    std::thread fifoThread_;
};

}  // namespace cardbench::usb
