#include "driver/Driver.h"

#include <random>

#include "driver/RefusalJournal.h"
#include "monitor/MonitorContract.h"

namespace kestrine::driver {

using namespace kestrine::monitor;
using platform::Win32Error;
using platform::protocol::Answer;
using platform::protocol::FrameKind;
using platform::protocol::Request;
using platform::protocol::Status;

namespace {
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
    while (!ports_.empty()) {
        Detach(ports_.begin()->first);
    }
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

Driver::Attached* Driver::Find(const Request& request, Win32Error& error) {
    if (request.input.size() != 4) {
        error = platform::ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const auto it = ports_.find(GetU32(request.input, 0));
    if (it == ports_.end()) {
        error = platform::ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &it->second;
}

void Driver::Attach(ClientId client, const Request& request) {
    const auto com = ParsePortNameBuffer(request.input);
    if (!com) {
        return Reply(client, request, platform::ERROR_INVALID_PARAMETER);
    }
    if (request.outputSize < 4) {
        return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
    }
    const PortMap map = portMap_();
    const auto backend = map.find(*com);
    if (*com > kMaxComPort || backend == map.end()) {
        return Reply(client, request, platform::ERROR_FILE_NOT_FOUND);
    }
    for (const auto& [id, attached] : ports_) {
        if (attached.com == *com) {
            return Reply(client, request, platform::ERROR_BUSY);
        }
    }
    std::uint32_t id;
    do {
        id = nextPortId_++;
    } while (id == 0 || ports_.contains(id));
    try {
        const auto published = publishDirectory_ / ("COM" + std::to_string(*com));
        auto port = std::make_unique<ComPort>(loop_, backend->second, allowed_, looks_, published,
                                              [this, id] { Serve(id); });
        if (guard_ != nullptr) {
            guard_->Published(published, port->SlavePath());
        }
        // Refusals no application has read yet (a driver before this one was killed, or their
        // port went unread) come first.
        if (RefusalJournal* journal = RefusalJournal::Current()) {
            for (const auto& refusal : journal->TakeUndone()) {
                port->Queue().PushReplayedBlocked(refusal.number, refusal.sequence);
            }
        }
        ports_[id] = Attached{*com, client, std::move(port), {}, {}};
    } catch (const PortError& e) {
        return Reply(client, request, e.error);
    } catch (const std::exception&) {
        return Reply(client, request, platform::ERROR_GEN_FAILURE);
    }
    Reply(client, request, platform::ERROR_SUCCESS, U32(id));
}

void Driver::Detach(std::uint32_t portId) {
    const auto it = ports_.find(portId);
    if (it == ports_.end()) {
        return;
    }
    Attached attached = std::move(it->second);
    ports_.erase(it);
    for (const auto& waiter : attached.waits) {
        Complete(waiter, platform::ERROR_OPERATION_ABORTED);
    }
    for (const auto& waiter : attached.reads) {
        Complete(waiter, platform::ERROR_OPERATION_ABORTED);
    }
    // attached.port goes here: the published port disappears.
}

void Driver::Serve(std::uint32_t portId) {
    const auto it = ports_.find(portId);
    if (it == ports_.end()) {
        return;
    }
    Attached& attached = it->second;
    EventQueue& queue = attached.port->Queue();
    bool consumed = false;
    while (!attached.reads.empty() && !queue.Empty()) {
        const Waiter waiter = attached.reads.front();
        attached.reads.pop_front();
        const auto size = queue.AnnounceHead();
        if (waiter.outputSize < size) {
            Complete(waiter, platform::ERROR_INSUFFICIENT_BUFFER);
            continue;
        }
        Complete(waiter, platform::ERROR_SUCCESS, queue.Head());
        queue.PopHead();
        consumed = true;
    }
    if (!attached.waits.empty() && !queue.Empty()) {
        const auto size = queue.AnnounceHead();
        auto waits = std::move(attached.waits);
        attached.waits.clear();
        for (const auto& waiter : waits) {
            Complete(waiter, platform::ERROR_SUCCESS, U32(size));
        }
    }
    if (consumed) {
        attached.port->EventsConsumed();
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
            if (Find(request, error) == nullptr) {
                return Reply(client, request, error);
            }
            Detach(GetU32(request.input, 0));
            return Reply(client, request, platform::ERROR_SUCCESS);
        }
        case IOCTL_MONITOR_WAIT_EVENT: {
            Attached* attached = Find(request, error);
            if (attached == nullptr) {
                return Reply(client, request, error);
            }
            if (request.outputSize < 4) {
                return Reply(client, request, platform::ERROR_INSUFFICIENT_BUFFER);
            }
            EventQueue& queue = attached->port->Queue();
            if (!queue.Empty()) {
                return Reply(client, request, platform::ERROR_SUCCESS, U32(queue.AnnounceHead()));
            }
            attached->waits.push_back({client, request.id, request.overlapped, request.outputSize});
            return Pend(client, request);
        }
        case IOCTL_MONITOR_READ_EVENT: {
            Attached* attached = Find(request, error);
            if (attached == nullptr) {
                return Reply(client, request, error);
            }
            EventQueue& queue = attached->port->Queue();
            if (queue.Empty()) {
                attached->reads.push_back(
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
            attached->port->EventsConsumed();
            return;
        }
        case IOCTL_MONITOR_SET_ALLOWLIST: {
            const auto numbers = ParseAllowListBuffer(request.input);
            if (!numbers) {
                return Reply(client, request, platform::ERROR_INVALID_PARAMETER);
            }
            allowed_.Replace(*numbers);
            return Reply(client, request, platform::ERROR_SUCCESS);
        }
        default:
            return Reply(client, request, platform::ERROR_INVALID_FUNCTION);
    }
}

void Driver::ClientGone(ClientId client) {
    outstanding_.erase(client);
    std::vector<std::uint32_t> owned;
    for (auto& [id, attached] : ports_) {
        if (attached.owner == client) {
            owned.push_back(id);
        }
        std::erase_if(attached.waits, [&](const Waiter& w) { return w.client == client; });
        std::erase_if(attached.reads, [&](const Waiter& w) { return w.client == client; });
    }
    for (const auto id : owned) {
        Detach(id);
    }
}

}  // namespace kestrine::driver
