#include "driver/Driver.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "driver/RefusalJournal.h"
#include "driver/ServiceLog.h"
#include "monitor/MonitorContract.h"
#include "monitor/ServiceStatus.h"
#include "platform/SystemMessage.h"

namespace kestrine::driver {

using namespace kestrine::monitor;
using platform::Win32Error;
using platform::protocol::Answer;
using platform::protocol::FrameKind;
using platform::protocol::Request;
using platform::protocol::Status;

namespace {
// A system message as a part of a line: without its closing full stop and line break.
std::string Reason(platform::Win32Error error) {
    std::string text = platform::SystemMessageText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' ||
                             text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::vector<std::uint8_t> U32(std::uint32_t value) {
    std::vector<std::uint8_t> bytes(4);
    PutU32(bytes, 0, value);
    return bytes;
}
}  // namespace

Driver::Driver(EventLoop& loop, std::function<PortMap()> ports,
               std::filesystem::path publishDirectory, Send send)
    : loop_(loop),
      portMap_(std::move(ports)),
      publishDirectory_(std::move(publishDirectory)),
      send_(std::move(send)) {
    // Identifiers of one run never repeat, and differ between runs.
    nextPortId_ = std::random_device{}() | 1;
}

Driver::~Driver() {
    while (!subscriptions_.empty()) {
        Detach(subscriptions_.begin()->first);
    }
    served_.clear();
}

void Driver::Reply(ClientId client, const Request& request, Win32Error error,
                   std::vector<std::uint8_t> output) {
    Answer answer;
    answer.kind = FrameKind::Reply;
    answer.id = request.id;
    answer.status = error == platform::ERROR_SUCCESS ? Status::Completed : Status::Failed;
    answer.error = error;
    if (error == platform::ERROR_SUCCESS) {
        if (output.size() > request.outputSize) {
            output.resize(request.outputSize);
        }
        answer.output = std::move(output);
    }
    send_(client, answer);
}

void Driver::Pend(ClientId client, const Request& request) {
    ++outstanding_[client];
    if (request.overlapped) {
        send_(
            client,
            Answer{FrameKind::Reply, request.id, Status::Pending, platform::ERROR_IO_PENDING, {}});
    }
    // A synchronous request simply gets its reply when it is done.
}

void Driver::Complete(const Waiter& waiter, Win32Error error, std::vector<std::uint8_t> output) {
    if (auto it = outstanding_.find(waiter.client); it != outstanding_.end() && --it->second == 0) {
        outstanding_.erase(it);
    }
    Answer answer;
    answer.kind = waiter.overlapped ? FrameKind::Completion : FrameKind::Reply;
    answer.id = waiter.id;
    answer.status = error == platform::ERROR_SUCCESS ? Status::Completed : Status::Failed;
    answer.error = error;
    if (error == platform::ERROR_SUCCESS) {
        output.resize(std::min<std::size_t>(output.size(), waiter.outputSize));
        answer.output = std::move(output);
    }
    send_(waiter.client, answer);
}

Driver::Subscription* Driver::Find(ClientId client, const Request& request, Win32Error& error) {
    if (request.input.size() != 4) {
        error = platform::ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const auto it = subscriptions_.find(GetU32(request.input, 0));
    if (it == subscriptions_.end() || it->second.client != client) {
        error = platform::ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &it->second;
}

Win32Error Driver::StartServing(int com, const PortBackend& backend) {
    const std::string name = "COM" + std::to_string(com);
    const std::string what =
        backend.kind == PortBackend::Kind::Modem ? "the virtual modem" : backend.device;
    try {
        const auto published = publishDirectory_ / name;
        auto port = std::make_unique<ComPort>(loop_, backend, allowed_, looks_, published,
                                              [this, com] { Forward(com); });
        port->Queue().SetPort(com);
        if (guard_ != nullptr) {
            guard_->Published(published, port->SlavePath());
        }
        served_[com] = std::move(port);
        servedBy_[com] = backend;
    } catch (const PortError& e) {
        // Said once, and again only when the reason changes.
        if (const auto it = failing_.find(com); it == failing_.end() || it->second != e.error) {
            Say(Priority::Error, name + ": " + what + " cannot be served (" + Reason(e.error) +
                                     "); dials on it are not possible until it can");
        }
        failing_[com] = e.error;
        return e.error;
    } catch (const std::exception& e) {
        Say(Priority::Error, name + ": " + what + " cannot be served: " + e.what());
        failing_[com] = platform::ERROR_GEN_FAILURE;
        return platform::ERROR_GEN_FAILURE;
    }
    failing_.erase(com);
    Say(Priority::Info,
        name + ": served by " + what + " at " + (publishDirectory_ / name).string());
    Forward(com);  // what the port queued while it was being made
    return platform::ERROR_SUCCESS;
}

bool Driver::ServeMapped() {
    bool all = true;
    for (const auto& [com, backend] : portMap_()) {
        if (com >= 1 && com <= kMaxComPort && !served_.contains(com)) {
            all = StartServing(com, backend) == platform::ERROR_SUCCESS && all;
        }
    }
    return all;
}

void Driver::Attach(ClientId client, const Request& request) {
    const auto com = ParsePortNameBuffer(request.input);
    if (!com) {
        return Reply(client, request, platform::ERROR_INVALID_PARAMETER);
    }
    if (request.outputSize < 4) {
        return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
    }
    if (!served_.contains(*com)) {
        const PortMap map = portMap_();
        const auto backend = map.find(*com);
        if (*com > kMaxComPort || backend == map.end()) {
            return Reply(client, request, platform::ERROR_FILE_NOT_FOUND);
        }
        if (const Win32Error error = StartServing(*com, backend->second);
            error != platform::ERROR_SUCCESS) {
            return Reply(client, request, error);
        }
    }
    for (const auto& [id, subscription] : subscriptions_) {
        if (subscription.com == *com && subscription.client == client) {
            return Reply(client, request, platform::ERROR_BUSY);
        }
    }
    std::uint32_t id;
    do {
        id = nextPortId_++;
    } while (id == 0 || subscriptions_.contains(id));
    Subscription subscription{*com, client, std::make_unique<EventQueue>(), {}, {}};
    // Refusals no application has read yet (nobody was subscribed, a driver before this one was
    // killed, or their subscription went unread) come first.
    if (RefusalJournal* journal = RefusalJournal::Current()) {
        const auto served = [this](int port) { return served_.contains(port); };
        for (const auto& refusal : journal->TakeUndone(*com, served)) {
            subscription.queue->PushReplayedBlocked(refusal.number, refusal.sequence, refusal.time);
        }
    }
    subscriptions_.emplace(id, std::move(subscription));
    Say(Priority::Info, "COM" + std::to_string(*com) + ": client " + std::to_string(client) +
                            " attached (" + std::to_string(SubscribersOf(*com)) + " subscribed)");
    Reply(client, request, platform::ERROR_SUCCESS, U32(id));
}

void Driver::Detach(std::uint32_t portId) {
    const auto it = subscriptions_.find(portId);
    if (it == subscriptions_.end()) {
        return;
    }
    Subscription subscription = std::move(it->second);
    subscriptions_.erase(it);
    for (const auto& waiter : subscription.waits) {
        Complete(waiter, platform::ERROR_OPERATION_ABORTED);
    }
    for (const auto& waiter : subscription.reads) {
        Complete(waiter, platform::ERROR_OPERATION_ABORTED);
    }
    Say(Priority::Info, "COM" + std::to_string(subscription.com) + ": client " +
                            std::to_string(subscription.client) + " detached (" +
                            std::to_string(SubscribersOf(subscription.com)) +
                            " subscribed); the port stays served");
    // subscription.queue goes here: refusals it held unread go back to the journal.
}

std::size_t Driver::SubscribersOf(int com) const {
    return static_cast<std::size_t>(
        std::count_if(subscriptions_.begin(), subscriptions_.end(),
                      [com](const auto& entry) { return entry.second.com == com; }));
}

void Driver::Forward(int com) {
    // A delivery below may free room and ask for more: that is done in this loop, not nested.
    forwardAgain_.insert(com);
    if (forwarding_) {
        return;
    }
    forwarding_ = true;
    while (!forwardAgain_.empty()) {
        const int next = *forwardAgain_.begin();
        forwardAgain_.erase(forwardAgain_.begin());
        ForwardOnce(next);
    }
    forwarding_ = false;
}

void Driver::ForwardOnce(int com) {
    const auto port = served_.find(com);
    if (port == served_.end()) {
        return;  // still being made: StartServing forwards once it is
    }
    EventQueue& intake = port->second->Queue();
    std::vector<std::uint32_t> receivers;
    for (const auto& [id, subscription] : subscriptions_) {
        if (subscription.com == com) {
            receivers.push_back(id);
        }
    }
    const auto someoneFull = [&] {
        return std::any_of(receivers.begin(), receivers.end(), [&](std::uint32_t id) {
            return subscriptions_.at(id).queue->BlockedIsFull();
        });
    };
    bool forwarded = false;
    // A subscriber with a full queue of refusals holds the port back (its intake fills, and the
    // port stops reading the dialling program) until it reads: none is ever dropped.
    while (!intake.Empty() && !someoneFull()) {
        const EventQueue::Taken taken = intake.TakeHead();
        forwarded = true;
        if (taken.bytes[kEventTypeOffset] == NumberBlocked) {
            const auto event = DecodeMonitorEvent(taken.bytes);
            LastRefusal& last = lastRefusal_[com];
            last.number = event ? event->data : std::string();
            last.dialledBy = DialledBySummary(event ? event->dialFacts : std::nullopt);
            last.time = static_cast<std::int64_t>(std::time(nullptr));
            Say(Priority::Warning, "COM" + std::to_string(com) + ": " + last.number + " refused (" +
                                       last.dialledBy + ")");
            if (receivers.empty() && taken.journal != 0) {
                // Nobody to tell now: the journal keeps it for the next subscription.
                if (RefusalJournal* journal = RefusalJournal::Current()) {
                    journal->Unread(taken.journal);
                }
            }
        }
        for (const auto id : receivers) {
            subscriptions_.at(id).queue->PushForwarded(taken.bytes, taken.journal);
        }
    }
    if (forwarded) {
        port->second->EventsConsumed();
    }
    for (const auto id : receivers) {
        Deliver(id);
    }
}

void Driver::Deliver(std::uint32_t portId) {
    const auto it = subscriptions_.find(portId);
    if (it == subscriptions_.end()) {
        return;
    }
    Subscription& subscription = it->second;
    EventQueue& queue = *subscription.queue;
    bool consumed = false;
    while (!subscription.reads.empty() && !queue.Empty()) {
        const Waiter waiter = subscription.reads.front();
        subscription.reads.pop_front();
        const auto size = queue.AnnounceHead();
        if (waiter.outputSize < size) {
            Complete(waiter, platform::ERROR_INSUFFICIENT_BUFFER);
            continue;
        }
        Complete(waiter, platform::ERROR_SUCCESS, queue.Head());
        queue.PopHead();
        consumed = true;
    }
    if (consumed) {
        Forward(subscription.com);  // room again for what the port holds back
    }
    if (!subscription.waits.empty() && !queue.Empty()) {
        const auto size = queue.AnnounceHead();
        auto waits = std::move(subscription.waits);
        subscription.waits.clear();
        for (const auto& waiter : waits) {
            Complete(waiter, platform::ERROR_SUCCESS, U32(size));
        }
    }
}

void Driver::Handle(ClientId client, const Request& request) {
    if (outstanding_[client] >= kMaxOutstandingPerClient) {
        return Reply(client, request, platform::ERROR_BUSY);
    }
    if (outstanding_[client] == 0) {
        outstanding_.erase(client);
    }
    Win32Error error = platform::ERROR_SUCCESS;
    switch (request.code) {
        case IOCTL_MONITOR_ATTACH_PORT:
            return Attach(client, request);
        case IOCTL_MONITOR_DETACH_PORT: {
            if (Find(client, request, error) == nullptr) {
                return Reply(client, request, error);
            }
            Detach(GetU32(request.input, 0));
            return Reply(client, request, platform::ERROR_SUCCESS);
        }
        case IOCTL_MONITOR_WAIT_EVENT: {
            Subscription* subscription = Find(client, request, error);
            if (subscription == nullptr) {
                return Reply(client, request, error);
            }
            if (request.outputSize < 4) {
                return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
            }
            EventQueue& queue = *subscription->queue;
            if (!queue.Empty()) {
                return Reply(client, request, platform::ERROR_SUCCESS, U32(queue.AnnounceHead()));
            }
            subscription->waits.push_back(
                {client, request.id, request.overlapped, request.outputSize});
            return Pend(client, request);
        }
        case IOCTL_MONITOR_READ_EVENT: {
            Subscription* subscription = Find(client, request, error);
            if (subscription == nullptr) {
                return Reply(client, request, error);
            }
            EventQueue& queue = *subscription->queue;
            if (queue.Empty()) {
                subscription->reads.push_back(
                    {client, request.id, request.overlapped, request.outputSize});
                return Pend(client, request);
            }
            const auto size = queue.AnnounceHead();
            if (request.outputSize < size) {
                return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
            }
            std::vector<std::uint8_t> record = queue.Head();
            queue.PopHead();
            Reply(client, request, platform::ERROR_SUCCESS, std::move(record));
            return Forward(subscription->com);  // room again for what the port holds back
        }
        case IOCTL_MONITOR_SET_ALLOWLIST: {
            const auto numbers = ParseAllowListBuffer(request.input);
            if (!numbers) {
                return Reply(client, request, platform::ERROR_INVALID_PARAMETER);
            }
            allowed_.Replace(*numbers);
            return Reply(client, request, platform::ERROR_SUCCESS);
        }
        case IOCTL_KESTRINE_SERVICE_STATUS: {
            const std::string status = EncodeServiceStatus(StatusNow());
            if (request.outputSize < status.size()) {
                return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
            }
            return Reply(client, request, platform::ERROR_SUCCESS,
                         std::vector<std::uint8_t>(status.begin(), status.end()));
        }
        default:
            return Reply(client, request, platform::ERROR_INVALID_FUNCTION);
    }
}

monitor::ServiceStatus Driver::StatusNow() const {
    ServiceStatus status;
    status.allowed = allowed_.Size();
    std::map<int, ServiceStatus::Port> ports;
    for (const auto& [com, backend] : portMap_()) {
        if (com >= 1 && com <= kMaxComPort) {
            ports[com].device = backend.kind == PortBackend::Kind::Device ? backend.device : "";
        }
    }
    for (const auto& [com, backend] : servedBy_) {
        ports[com].device = backend.kind == PortBackend::Kind::Device ? backend.device : "";
        ports[com].served = true;
    }
    for (auto& [com, port] : ports) {
        port.com = com;
        if (!port.served) {
            const auto failing = failing_.find(com);
            port.why = failing != failing_.end() ? Reason(failing->second) : "not tried yet";
        }
        if (const auto last = lastRefusal_.find(com); last != lastRefusal_.end()) {
            port.lastRefusedAt = last->second.time;
            port.lastRefused = last->second.number;
            port.lastDialledBy = last->second.dialledBy;
        }
        status.ports.push_back(std::move(port));
    }
    if (const RefusalJournal* journal = RefusalJournal::Current()) {
        for (const auto& refusal : journal->Unlogged()) {
            status.kept.push_back({refusal.com, refusal.time, refusal.number});
        }
    }
    return status;
}

void Driver::ClientGone(ClientId client) {
    outstanding_.erase(client);
    std::vector<std::uint32_t> owned;
    for (auto& [id, subscription] : subscriptions_) {
        if (subscription.client == client) {
            owned.push_back(id);
        }
        std::erase_if(subscription.waits, [&](const Waiter& w) { return w.client == client; });
        std::erase_if(subscription.reads, [&](const Waiter& w) { return w.client == client; });
    }
    for (const auto id : owned) {
        Detach(id);
    }
}

}  // namespace kestrine::driver
