#include "usbfs_node.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace cardbench::usb {
namespace {

// What the node's usbfs can do, as an xHCI host's: libusb then sends each bulk transfer
// as one URB, whatever its length.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kSpeedHigh = 3;  // USB_SPEED_HIGH
// A reap that finds nothing is answered EAGAIN only after this long: the node's poll()
// always reports it ready, so libusb's event loop would otherwise spin.
constexpr auto kReapHold = std::chrono::microseconds(100);
// umockdev does not tell when a process closes its file; one that made no ioctl for this
// long counts as closed when another wants its interface (libusb reaps every few
// milliseconds while a transfer is in flight).
constexpr auto kIdleFileGone = std::chrono::seconds(2);

constexpr std::size_t kSetupSize = 8;

template <typename T>
T* fields(UMockdevIoctlData* data) {
    return reinterpret_cast<T*>(data->data);
}

void update32(UMockdevIoctlData* data, std::size_t offset, std::int32_t value) {
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8*>(&value), sizeof value);
}

UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error != nullptr) g_error_free(error);
    return child;
}

// Answers an ioctl by writing `size` bytes where its argument points.
void answerWith(UMockdevIoctlClient* client, UMockdevIoctlData* arg, const void* value, std::size_t size) {
    UMockdevIoctlData* target = resolve(arg, 0, size);
    umockdev_ioctl_data_update(target, 0, static_cast<guint8*>(const_cast<void*>(value)), gint(size));
    g_object_unref(target);
    umockdev_ioctl_client_complete(client, 0, 0);
}

SetupPacket setupOf(const std::uint8_t* bytes) {
    return {bytes[0], bytes[1], std::uint16_t(bytes[2] | bytes[3] << 8), std::uint16_t(bytes[4] | bytes[5] << 8),
            std::uint16_t(bytes[6] | bytes[7] << 8)};
}

}  // namespace

struct UsbfsNode::Urb {
    UMockdevIoctlData* data = nullptr;    // struct usbdevfs_urb, its buffer pointer resolved
    UMockdevIoctlData* buffer = nullptr;  // null for a URB without data
    Clock::time_point submitted;
    std::shared_ptr<OpenHandle> transfer;  // a FIFO write: the model's view of it
    bool discarded = false;

    ~Urb() {
        if (buffer != nullptr) g_object_unref(buffer);
        if (data != nullptr) g_object_unref(data);
    }
    const usbdevfs_urb& urb() const { return *fields<usbdevfs_urb>(data); }
    bool isIn() const { return (urb().endpoint & 0x80) != 0; }
    int channel() const { return channelOfEndpoint(urb().endpoint); }
    std::uint8_t* bytes() const { return buffer ? static_cast<std::uint8_t*>(buffer->data) : nullptr; }
    void finish(int status, std::size_t actual) {
        update32(data, offsetof(usbdevfs_urb, status), status);
        update32(data, offsetof(usbdevfs_urb, actual_length), std::int32_t(actual));
    }
};

struct UsbfsNode::File {
    std::vector<std::shared_ptr<Urb>> inFlight;
    std::deque<std::shared_ptr<Urb>> completed;
    Clock::time_point lastIoctl;
};

struct UsbfsNode::HeldReap {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* pointer;  // the caller's URB pointer
    Clock::time_point until;     // time_point::max(): a blocking reap
};

UsbfsNode::UsbfsNode(Ft2232hChip& chip, int devnum, std::function<void()> removal)
    : chip_(chip), devnum_(devnum), removal_(std::move(removal)), handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    fifoThread_ = std::thread([this] { fifoLoop(); });
}

UsbfsNode::~UsbfsNode() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [client, file] : files_) {
            for (auto& urb : file.inFlight) {
                if (urb->transfer) chip_.release(*urb->transfer, false);
            }
        }
    }
    fifoChanged_.notify_all();
    fifoThread_.join();
    g_object_unref(handler_);
}

gboolean UsbfsNode::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbfsNode*>(self)->serve(client);
    return TRUE;
}

UsbfsNode::File& UsbfsNode::fileOf(UMockdevIoctlClient* client) {
    auto [at, added] = files_.try_emplace(client);
    if (added) g_object_ref(client);
    at->second.lastIoctl = Clock::now();
    return at->second;
}

void UsbfsNode::serve(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(client, arg, request == USBDEVFS_REAPURB);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fileOf(client);
        if (unplugged_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        case USBDEVFS_CONTROL:
            return syncControl(client, arg);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            return claim(client, arg, request == USBDEVFS_RELEASEINTERFACE);
        default:
            return describe(client, arg, request);
    }
}

// The requests about the device and the file that need nothing of the chip.
void UsbfsNode::describe(UMockdevIoctlClient* client, UMockdevIoctlData* arg, gulong request) const {
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            std::uint32_t capabilities = kCapabilities;
            return answerWith(client, arg, &capabilities, sizeof capabilities);
        }
        case USBDEVFS_CONNECTINFO: {
            usbdevfs_connectinfo info{unsigned(devnum_), 0};
            return answerWith(client, arg, &info, sizeof info);
        }
        case USBDEVFS_GET_SPEED:
            return umockdev_ioctl_client_complete(client, kSpeedHigh, 0);
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:  // no kernel driver (ftdi_sio) is bound: nothing to detach
            return umockdev_ioctl_client_complete(client, -1, ENODATA);
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_RESET:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_DROP_PRIVILEGES:
        case USBDEVFS_DISCSIGNAL:
            return umockdev_ioctl_client_complete(client, 0, 0);
        default:
            return umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
}

// A holder whose process has gone frees its interfaces, as the kernel frees them when
// the file closes.
bool UsbfsNode::holderGone(UMockdevIoctlClient* holder) const {
    const auto file = files_.find(holder);
    return !umockdev_ioctl_client_get_connected(holder) || file == files_.end() ||
           Clock::now() - file->second.lastIoctl > kIdleFileGone;
}

void UsbfsNode::forget(UMockdevIoctlClient* client) {
    auto file = files_.find(client);
    if (file == files_.end()) return;
    for (auto& urb : file->second.inFlight) {
        if (urb->transfer) chip_.release(*urb->transfer, false);
    }
    for (auto*& holder : claims_) {
        if (holder == client) holder = nullptr;
    }
    files_.erase(file);
    auto held = std::remove_if(heldReaps_.begin(), heldReaps_.end(), [client](const HeldReap& reap) {
        if (reap.client == client) g_object_unref(reap.pointer);
        return reap.client == client;
    });
    heldReaps_.erase(held, heldReaps_.end());
    g_object_unref(client);
}

void UsbfsNode::claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool release) {
    UMockdevIoctlData* number = resolve(arg, 0, sizeof(unsigned));
    const unsigned interface = *fields<unsigned>(number);
    g_object_unref(number);
    if (interface > 1) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    bool busy = false;
    bool claimed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        UMockdevIoctlClient*& holder = claims_[interface];
        if (holder != nullptr && holder != client && holderGone(holder)) forget(holder);
        if (release) {
            if (holder == client) holder = nullptr;
        } else if (heldElsewhere_ || (holder != nullptr && holder != client)) {
            busy = true;
        } else {
            claimed = holder == nullptr;
            holder = client;
        }
    }
    if (claimed) chip_.interfaceClaimed(int(interface));
    busy ? umockdev_ioctl_client_complete(client, -1, EBUSY) : umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsNode::syncControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* transfer = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    const auto& fieldsOf = *fields<usbdevfs_ctrltransfer>(transfer);
    const SetupPacket setup{fieldsOf.bRequestType, fieldsOf.bRequest, fieldsOf.wValue, fieldsOf.wIndex,
                            fieldsOf.wLength};
    UMockdevIoctlData* data =
        setup.length ? resolve(transfer, offsetof(usbdevfs_ctrltransfer, data), setup.length) : nullptr;
    const ControlReply reply = chip_.control(setup);
    if (data && !reply.data.empty()) {
        umockdev_ioctl_data_update(data, 0, const_cast<guint8*>(reply.data.data()), gint(reply.data.size()));
    }
    if (data) g_object_unref(data);
    g_object_unref(transfer);
    if (reply.status < 0) {
        umockdev_ioctl_client_complete(client, -1, -reply.status);
    } else {
        umockdev_ioctl_client_complete(client, (setup.requestType & 0x80) ? glong(reply.data.size()) : setup.length, 0);
    }
}

void UsbfsNode::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto urb = std::make_shared<Urb>();
    urb->data = resolve(arg, 0, sizeof(usbdevfs_urb));
    const usbdevfs_urb fieldsOf = urb->urb();
    if (fieldsOf.buffer_length > 0) {
        urb->buffer = resolve(urb->data, offsetof(usbdevfs_urb, buffer), std::size_t(fieldsOf.buffer_length));
    }
    urb->submitted = Clock::now();
    const bool control = fieldsOf.type == USBDEVFS_URB_TYPE_CONTROL;
    if ((!control && fieldsOf.type != USBDEVFS_URB_TYPE_BULK) ||
        (control && fieldsOf.buffer_length < int(kSetupSize))) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    File& file = fileOf(client);
    if (control) {
        const SetupPacket setup = setupOf(urb->bytes());
        lock.unlock();
        const ControlReply reply = chip_.control(setup);
        if (!reply.data.empty()) {
            umockdev_ioctl_data_update(urb->buffer, kSetupSize, const_cast<guint8*>(reply.data.data()),
                                       gint(reply.data.size()));
        }
        urb->finish(std::min(reply.status, 0),
                    (setup.requestType & 0x80) ? reply.data.size() : (reply.status < 0 ? 0 : setup.length));
        lock.lock();
        file.completed.push_back(urb);
    } else if (urb->isIn()) {
        file.inFlight.push_back(urb);
    } else if (urb->channel() == 0) {
        urb->transfer = std::make_shared<OpenHandle>(chip_.device(0));
        file.inFlight.push_back(urb);
        fifoQueue_.push_back(urb);
        fifoChanged_.notify_all();
    } else {
        lock.unlock();
        OpenHandle line(chip_.device(1));
        const WriteOutcome outcome = chip_.write(1, line, urb->bytes(), std::size_t(fieldsOf.buffer_length));
        urb->finish(0, outcome.written);
        lock.lock();
        file.completed.push_back(urb);
    }
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
    noticeUnplug();
}

// A discarded URB is reaped with -ENOENT; an OUT one keeps the count the chip took.
void UsbfsNode::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const gulong address = *fields<gulong>(arg);
    std::lock_guard<std::mutex> lock(mutex_);
    File& file = fileOf(client);
    for (auto at = file.inFlight.begin(); at != file.inFlight.end(); ++at) {
        const std::shared_ptr<Urb> urb = *at;
        if (urb->data->client_addr != address) continue;
        urb->discarded = true;
        if (urb->transfer) {
            chip_.release(*urb->transfer, false);  // the FIFO thread completes it with the count taken
        } else {
            urb->finish(-ENOENT, 0);
            file.inFlight.erase(at);
            file.completed.push_back(urb);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void UsbfsNode::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool wait) {
    UMockdevIoctlData* pointer = resolve(arg, 0, sizeof(void*));
    std::lock_guard<std::mutex> lock(mutex_);
    File& file = fileOf(client);
    if (!answerReap(file, client, pointer, false)) {
        const auto until = wait ? Clock::time_point::max() : Clock::now() + kReapHold;
        heldReaps_.push_back({client, pointer, until});
    }
}

// Answers a reap with the first completed URB, or ENODEV once an unplugged chip has none
// left, or (`final`) EAGAIN. Returns whether it answered.
bool UsbfsNode::answerReap(File& file, UMockdevIoctlClient* client, UMockdevIoctlData* pointer, bool final) {
    if (auto urb = completedUrb(file, Clock::now())) {
        umockdev_ioctl_data_set_ptr(pointer, 0, urb->data);
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (unplugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else if (final) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
    } else {
        return false;
    }
    g_object_unref(pointer);
    return true;
}

std::shared_ptr<UsbfsNode::Urb> UsbfsNode::completedUrb(File& file, Clock::time_point now) {
    if (!file.completed.empty()) {
        auto urb = file.completed.front();
        file.completed.pop_front();
        return urb;
    }
    for (auto at = file.inFlight.begin(); at != file.inFlight.end(); ++at) {
        const std::shared_ptr<Urb> urb = *at;
        if (!urb->isIn()) continue;
        const std::size_t capacity = std::size_t(urb->urb().buffer_length);
        if (auto payload = chip_.bulkIn(urb->channel(), capacity, urb->submitted, now)) {
            if (!payload->empty()) umockdev_ioctl_data_update(urb->buffer, 0, payload->data(), gint(payload->size()));
            urb->finish(0, payload->size());
            file.inFlight.erase(at);
            return urb;
        }
    }
    return nullptr;
}

void UsbfsNode::pump() {
    noticeUnplug();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    std::vector<HeldReap> still;
    for (const HeldReap& held : heldReaps_) {
        if (!answerReap(fileOf(held.client), held.client, held.pointer, now >= held.until)) still.push_back(held);
    }
    heldReaps_ = std::move(still);
}

void UsbfsNode::fifoLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        fifoChanged_.wait(lock, [this] { return stopping_ || !fifoQueue_.empty(); });
        if (stopping_) return;
        const std::shared_ptr<Urb> urb = fifoQueue_.front();
        fifoQueue_.pop_front();
        lock.unlock();
        const std::size_t length = std::size_t(urb->urb().buffer_length);
        const WriteOutcome outcome = chip_.write(0, *urb->transfer, urb->bytes(), length);
        const bool gone = urb->transfer->gone() || chip_.gone();
        lock.lock();
        urb->finish(urb->discarded ? -ENOENT : gone && outcome.written < length ? -ESHUTDOWN : 0, outcome.written);
        for (auto& [client, file] : files_) {
            auto at = std::find(file.inFlight.begin(), file.inFlight.end(), urb);
            if (at == file.inFlight.end()) continue;
            file.inFlight.erase(at);
            file.completed.push_back(urb);
        }
        lock.unlock();
        noticeUnplug();
        lock.lock();
    }
}

void UsbfsNode::noticeUnplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) return;
    }
    if (chip_.gone()) unplug();
}

// As usbfs on a disconnect: the URBs in flight come back with -ESHUTDOWN, after those
// already complete; a FIFO write the card is taking ends with what it took.
void UsbfsNode::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) return;
        unplugged_ = true;
        for (auto*& holder : claims_) holder = nullptr;
        for (auto& [client, file] : files_) {
            std::vector<std::shared_ptr<Urb>> running;
            for (auto& urb : file.inFlight) {
                if (urb->transfer) {
                    chip_.release(*urb->transfer, true);
                    running.push_back(urb);
                } else {
                    urb->finish(-ESHUTDOWN, 0);
                    file.completed.push_back(urb);
                }
            }
            file.inFlight = std::move(running);
        }
    }
    if (removal_) removal_();
}

}  // namespace cardbench::usb
