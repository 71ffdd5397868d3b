#include "emu/UrbEngine.hpp"

#include <libusb.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "emu/ReapWait.hpp"
#include "emu/SetupPacket.hpp"
#include "emu/StandardRequests.hpp"
#include "usb/USBIds.hpp"

namespace quenfold::orvalis::emu {
namespace {

constexpr long FullSpeed = 2;  // enum usb_device_speed

constexpr std::uint32_t Capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// The client memory an ioctl argument points at, as a local copy.
GObjectRef<UMockdevIoctlData> resolve(UMockdevIoctlData* data, std::size_t offset,
                                      std::size_t length) {
    return GObjectRef<UMockdevIoctlData>::adopt(
        umockdev_ioctl_data_resolve(data, offset, length, nullptr));
}

template <typename T>
bool readArgument(UMockdevIoctlData* arg, T& value) {
    auto target = resolve(arg, 0, sizeof(T));
    if (!target) {
        return false;
    }
    std::memcpy(&value, target->data, sizeof(T));
    return true;
}

template <typename T>
bool writeArgument(UMockdevIoctlData* arg, const T& value) {
    auto target = resolve(arg, 0, sizeof(T));
    if (!target) {
        return false;
    }
    std::memcpy(target->data, &value, sizeof(T));
    return true;
}

}  // namespace

UrbEngine::UrbEngine(USBIdentity identity, USBFunction& function)
    : identity_(std::move(identity)), function_(function), timer_(DueTimer::shared()) {}

UrbEngine::~UrbEngine() { timer_->cancel(this); }

void UrbEngine::handleIoctl(UMockdevIoctlClient* client, unsigned session) {
    Outcome outcome;
    std::vector<GObject*> released;
    {
        std::lock_guard lock(mutex_);
        Client& entry = clientEntry(client, session, released);
        outcome = dispatch(entry, umockdev_ioctl_client_get_request(client),
                           umockdev_ioctl_client_get_arg(client));
        released.insert(released.end(), releasedLater_.begin(), releasedLater_.end());
        releasedLater_.clear();
        settleLocked();
    }
    // Dropping a reference may finalize a client, and with it call back into
    // the engine: never under the mutex.
    for (GObject* object : released) {
        g_object_unref(object);
    }
    umockdev_ioctl_client_complete(client, outcome.first, outcome.second);
}

UrbEngine::Client& UrbEngine::clientEntry(UMockdevIoctlClient* client, unsigned session,
                                          std::vector<GObject*>& released) {
    auto found = clients_.find(client);
    if (found != clients_.end()) {
        GObject* alive = found->second.handle->take();
        if (alive) {
            released.push_back(alive);
        }
        if (alive == G_OBJECT(client)) {
            return found->second;
        }
    }
    // A new client: the time to forget the gone ones, this address's included.
    for (auto it = clients_.begin(); it != clients_.end();) {
        GObject* alive = it->second.handle->take();
        if (alive) {
            released.push_back(alive);
            ++it;
        } else {
            it = clients_.erase(it);
        }
    }
    return clients_.try_emplace(client, client, session).first->second;
}

void UrbEngine::forgetClient(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    clients_.erase(client);
}

UrbEngine::Outcome UrbEngine::dispatch(Client& client, unsigned long request,
                                       UMockdevIoctlData* arg) {
    bool gone = !plugged_ || client.session != session_;
    // Like the kernel, completed URBs stay reapable after a disconnect.
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        return reap(client, arg, gone);
    }
    if (request == ReapSignalRequest) {
        return giveReapSignal(client, arg);
    }
    if (gone) {
        return {-1, ENODEV};
    }
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        case USBDEVFS_GET_CAPABILITIES:
            return writeArgument(arg, Capabilities) ? Outcome{0, 0} : Outcome{-1, EFAULT};
        case USBDEVFS_CLEAR_HALT: {
            unsigned int endpoint = 0;
            if (!readArgument(arg, endpoint)) {
                return {-1, EFAULT};
            }
            halted_.erase(static_cast<std::uint8_t>(endpoint));
            return {0, 0};
        }
        case USBDEVFS_CLAIMINTERFACE:
            return claim(client, arg);
        case USBDEVFS_RELEASEINTERFACE:
            return release(client, arg);
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
            return {0, 0};
        case USBDEVFS_GETDRIVER:
            return {-1, ENODATA};
        case USBDEVFS_GET_SPEED:
            return {FullSpeed, 0};
        default:
            return {-1, ENOTTY};
    }
}

UrbEngine::Outcome UrbEngine::claim(Client& client, UMockdevIoctlData* arg) {
    unsigned int interface = 0;
    if (!readArgument(arg, interface)) {
        return {-1, EFAULT};
    }
    if (interface != 0) {
        return {-1, ENOENT};  // the device has interface 0 alone
    }
    if (claimedByOther(client, interface)) {
        return {-1, EBUSY};
    }
    client.claimed.insert(interface);
    return {0, 0};
}

UrbEngine::Outcome UrbEngine::release(Client& client, UMockdevIoctlData* arg) {
    unsigned int interface = 0;
    if (!readArgument(arg, interface)) {
        return {-1, EFAULT};
    }
    return client.claimed.erase(interface) != 0 ? Outcome{0, 0} : Outcome{-1, EINVAL};
}

bool UrbEngine::claimedByOther(const Client& client, unsigned interface) {
    for (auto& [address, other] : clients_) {
        if (&other == &client || other.session != session_ || other.claimed.count(interface) == 0) {
            continue;
        }
        // A holder that has gone without a word released its claims with it.
        GObject* alive = other.handle->take();
        if (alive) {
            // Dropped once the mutex is free, as in handleIoctl.
            releasedLater_.push_back(alive);
            return true;
        }
    }
    return false;
}

UrbEngine::Outcome UrbEngine::submit(Client& client, UMockdevIoctlData* arg) {
    Urb urb;
    urb.block = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb.block) {
        return {-1, EFAULT};
    }
    const auto* header = reinterpret_cast<const usbdevfs_urb*>(urb.block->data);
    if (header->buffer_length < 0) {
        return {-1, EINVAL};
    }
    urb.type = header->type;
    urb.endpoint = header->endpoint;
    urb.length = static_cast<std::size_t>(header->buffer_length);
    urb.clientAddress = urb.block->client_addr;
    // A bulk IN's buffer is only written to, and only when it is reaped: it is
    // read then, and not at all when the transfer ends without data.
    bool readNow = !(urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == BulkEndpointIn);
    if (urb.length > 0 && !readNow && header->buffer == nullptr) {
        return {-1, EFAULT};
    }
    if (urb.length > 0 && readNow) {
        urb.buffer = resolve(urb.block.get(), offsetof(usbdevfs_urb, buffer), urb.length);
        if (!urb.buffer) {
            return {-1, EFAULT};
        }
    }

    // Like the kernel, a bulk transfer claims the interface of its endpoint
    // for a client that did not, and is refused while another client holds it.
    if (urb.type == USBDEVFS_URB_TYPE_BULK && client.claimed.count(0) == 0) {
        if (claimedByOther(client, 0)) {
            return {-1, EBUSY};
        }
        client.claimed.insert(0);
    }
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.endpoint == 0 &&
        urb.length >= SetupPacket::Size) {
        control(client, std::move(urb));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == BulkEndpointOut) {
        bulkOut(client, std::move(urb));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == BulkEndpointIn) {
        if (halted_.count(BulkEndpointIn) != 0) {
            finish(client, std::move(urb), -EPIPE, 0);
        } else {
            client.pending.push_back(std::move(urb));
            pumpLocked();
        }
    } else {
        return {-1, EINVAL};
    }
    return {0, 0};
}

UrbEngine::Outcome UrbEngine::reap(Client& client, UMockdevIoctlData* arg, bool gone) {
    if (!gone) {
        pumpLocked();
    }
    // Paced URBs may complete out of order: a control request is due later
    // than a bulk transfer submitted after it.
    auto now = Clock::now();
    auto ready = std::find_if(client.completed.begin(), client.completed.end(),
                              [now](const Urb& urb) { return urb.due <= now; });
    if (ready == client.completed.end()) {
        return {-1, gone && client.completed.empty() ? ENODEV : EAGAIN};
    }
    auto slot = resolve(arg, 0, sizeof(void*));
    if (!slot) {
        return {-1, EFAULT};
    }
    Urb urb = std::move(*ready);
    client.completed.erase(ready);
    // Like the kernel's, a URB whose data cannot be copied out is gone.
    if (!urb.deliver()) {
        return {-1, EFAULT};
    }
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.block.get());
    return {0, 0};
}

UrbEngine::Outcome UrbEngine::discard(Client& client, UMockdevIoctlData* arg) {
    // The argument is the URB's address itself, not a pointer to memory.
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof(address), std::size_t(arg->data_len)));
    auto found = std::find_if(client.pending.begin(), client.pending.end(),
                              [address](const Urb& urb) { return urb.clientAddress == address; });
    if (found == client.pending.end()) {
        return {-1, EINVAL};
    }
    Urb urb = std::move(*found);
    client.pending.erase(found);
    std::size_t taken = urb.takenBeforeCancel;
    finish(client, std::move(urb), -ENOENT, taken);
    return {0, 0};
}

void UrbEngine::control(Client& client, Urb urb) {
    SetupPacket setup = SetupPacket::parse(urb.data());
    const std::uint8_t* data = urb.data() + SetupPacket::Size;
    std::size_t length = std::min<std::size_t>(setup.length, urb.length - SetupPacket::Size);

    const bool serialRequest = setup.standard() && setup.request == USB_REQ_GET_DESCRIPTOR &&
                               setup.value == ((USB_DT_STRING << 8) | USBIdentity::SerialIndex);
    if (serialRequest && serialFault_ == SerialFault::Stall) {
        finish(client, std::move(urb), -EPIPE, 0);
        return;
    }
    if (serialRequest && serialFault_ == SerialFault::Hang) {
        client.pending.push_back(std::move(urb));  // until the client gives up
        return;
    }
    if (setup.standard()) {
        std::optional<Bytes> answer = StandardRequests(identity_, halted_).answer(setup);
        if (!answer) {
            finish(client, std::move(urb), -EPIPE, 0);
            return;
        }
        std::size_t count = setup.toHost() ? std::min(length, answer->size()) : 0;
        answer->resize(count);
        urb.toHost = std::move(*answer);
        urb.toHostOffset = SetupPacket::Size;
        finish(client, std::move(urb), 0, count, occupy(pacing_.control));
        return;
    }

    // Our firmware has no requests that return data to the host.
    if (setup.toHost()) {
        finish(client, std::move(urb), -EPIPE, 0);
        return;
    }
    ControlRecord record{setup.request, setup.value, setup.index, Bytes(data, data + length)};
    controlLog_.push_back(record);
    ControlFault fault = std::exchange(controlFault_, ControlFault::None);
    if (fault == ControlFault::Hang) {
        function_.capture().controlRequest(record, LIBUSB_ERROR_TIMEOUT);
        client.pending.push_back(std::move(urb));
    } else if (fault == ControlFault::Stall || !function_.vendorRequest(record)) {
        function_.capture().controlRequest(record, LIBUSB_ERROR_PIPE);
        finish(client, std::move(urb), -EPIPE, 0);
    } else {
        function_.capture().controlRequest(record, static_cast<int>(length));
        finish(client, std::move(urb), 0, length, occupy(pacing_.control));
    }
}

void UrbEngine::bulkOut(Client& client, Urb urb) {
    if (halted_.count(BulkEndpointOut) != 0) {
        finish(client, std::move(urb), -EPIPE, 0);
        return;
    }
    Bytes packet(urb.data(), urb.data() + urb.length);
    std::optional<std::size_t> limit = std::exchange(shortWrite_, std::nullopt);
    std::optional<std::size_t> hang = std::exchange(hangWrite_, std::nullopt);
    if (limit || hang) {
        // The device took only the start of the transfer; what it took is a
        // (truncated) packet like any other.
        std::size_t taken = std::min(limit ? *limit : *hang, packet.size());
        packet.resize(taken);
        if (taken > 0) {
            bulkOutLog_.push_back(packet);
            function_.acceptOut(packet);
        }
        if (hang) {
            urb.takenBeforeCancel = taken;
            client.pending.push_back(std::move(urb));
        } else {
            finish(client, std::move(urb), 0, taken);
        }
        pumpLocked();
        return;
    }
    if (!function_.acceptOut(packet)) {
        client.pending.push_back(std::move(urb));
        return;
    }
    answerDue_ = occupy(function_.exchangeTime(pacing_));
    bulkOutLog_.push_back(std::move(packet));
    std::size_t length = urb.length;
    finish(client, std::move(urb), 0, length);
    pumpLocked();
}

void UrbEngine::finish(Client& client, Urb urb, int status, std::size_t actualLength,
                       Clock::time_point due) {
    urb.status = status;
    urb.actualLength = actualLength;
    urb.due = due;
    client.completed.push_back(std::move(urb));
}

void UrbEngine::pump() {
    std::lock_guard lock(mutex_);
    pumpLocked();
    settleLocked();
}

UrbEngine::Outcome UrbEngine::giveReapSignal(Client& client, UMockdevIoctlData* arg) {
    // The testbed's folder, which goes with it.
    const char* folder = std::getenv("UMOCKDEV_DIR");
    // A second request (a duplicated descriptor) replaces the first signal.
    client.signal = folder ? ReapSignal::create(folder) : nullptr;
    if (!client.signal) {
        return {-1, EIO};
    }
    ReapSignalReply reply{};
    client.signal->path().copy(reply.path, sizeof reply.path - 1);
    return writeArgument(arg, reply) ? Outcome{0, 0} : Outcome{-1, EFAULT};
}

void UrbEngine::settleLocked() {
    auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (auto& [handle, client] : clients_) {
        bool reapable = false;
        for (const Urb& urb : client.completed) {
            if (urb.due <= now) {
                reapable = true;
            } else {
                next = std::min(next, urb.due);
            }
        }
        if (client.signal) {
            client.signal->set(reapable);
        }
        // The firmware's answer reaches a waiting bulk IN once it is due.
        if (answerDue_ > now && client.session == session_ &&
            std::any_of(client.pending.begin(), client.pending.end(),
                        [](const Urb& urb) { return urb.endpoint == BulkEndpointIn; })) {
            next = std::min(next, answerDue_);
        }
    }
    if (next != Clock::time_point::max() && next != dueCall_) {
        dueCall_ = next;
        timer_->schedule(this, next);
    }
}

void UrbEngine::due() {
    try {
        std::lock_guard lock(mutex_);
        dueCall_ = {};
        pumpLocked();
        settleLocked();
    } catch (...) {
        // Only allocation can fail here; the client's own time-out ends its wait.
    }
}

UrbEngine::Clock::time_point UrbEngine::occupy(Pacing::Duration duration) {
    if (duration.count() == 0) {
        return {};
    }
    busyUntil_ = std::max(Clock::now(), busyUntil_) + duration;
    return busyUntil_;
}

void UrbEngine::setPacing(const Pacing& pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = pacing;
}

void UrbEngine::pumpLocked() {
    if (!plugged_ || (answerDue_ != Clock::time_point{} && Clock::now() < answerDue_)) {
        return;
    }
    for (auto& [handle, client] : clients_) {
        if (client.session != session_) {
            continue;
        }
        for (auto it = client.pending.begin(); it != client.pending.end();) {
            if (it->endpoint != BulkEndpointIn) {
                ++it;
                continue;
            }
            std::optional<Bytes> packet = function_.takeIn();
            if (!packet) {
                return;
            }
            std::size_t count = std::min(packet->size(), it->length);
            int status = packet->size() > count ? -EOVERFLOW : 0;
            packet->resize(count);
            Urb urb = std::move(*it);
            it = client.pending.erase(it);
            urb.toHost = std::move(*packet);
            finish(client, std::move(urb), status, count);
        }
    }
}

unsigned UrbEngine::plugIn() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
    halted_.clear();
    busyUntil_ = answerDue_ = Clock::time_point{};
    function_.capture().plug(true);
    ++session_;
    settleLocked();
    return session_;
}

void UrbEngine::unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
    for (auto& [handle, client] : clients_) {
        while (!client.pending.empty()) {
            Urb urb = std::move(client.pending.front());
            client.pending.pop_front();
            finish(client, std::move(urb), -ENODEV, 0);
        }
        // A device that is gone keeps nobody waiting.
        for (Urb& urb : client.completed) {
            urb.due = Clock::time_point{};
        }
    }
    function_.unplugged();
    function_.capture().plug(false);
    settleLocked();
}

bool UrbEngine::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

void UrbEngine::stallEndpoint(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    halted_.insert(endpoint);
    // Transfers already waiting on the endpoint end with the stall too.
    for (auto& [handle, client] : clients_) {
        for (auto it = client.pending.begin(); it != client.pending.end();) {
            if (it->endpoint == endpoint && it->type == USBDEVFS_URB_TYPE_BULK) {
                Urb urb = std::move(*it);
                it = client.pending.erase(it);
                finish(client, std::move(urb), -EPIPE, 0);
            } else {
                ++it;
            }
        }
    }
    settleLocked();
}

void UrbEngine::shortWrite(std::size_t acceptedBytes) {
    std::lock_guard lock(mutex_);
    shortWrite_ = acceptedBytes;
}

void UrbEngine::hangNextWrite(std::size_t acceptedBytes) {
    std::lock_guard lock(mutex_);
    hangWrite_ = acceptedBytes;
}

void UrbEngine::failNextControl() {
    std::lock_guard lock(mutex_);
    controlFault_ = ControlFault::Stall;
}

void UrbEngine::setSerialFault(SerialFault fault) {
    std::lock_guard lock(mutex_);
    serialFault_ = fault;
}

void UrbEngine::timeOutNextControl() {
    std::lock_guard lock(mutex_);
    controlFault_ = ControlFault::Hang;
}

std::vector<ControlRecord> UrbEngine::controlLog() const {
    std::lock_guard lock(mutex_);
    return controlLog_;
}

std::vector<UrbEngine::Bytes> UrbEngine::bulkOutLog() const {
    std::lock_guard lock(mutex_);
    return bulkOutLog_;
}

}  // namespace quenfold::orvalis::emu
