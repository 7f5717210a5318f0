#pragma once
// The monitoring driver's request handling: the five control codes of the driver contract.
//
//   attach      "\??\COMn" (UTF-16LE, terminated) -> 4-byte PortId, fresh and non-zero. Refused
//               with ERROR_FILE_NOT_FOUND for a port without a backend (COM17 and above never
//               have one), ERROR_BUSY when it is attached already.
//   detach      PortId -> nothing; waits and reads outstanding on the port fail with
//               ERROR_OPERATION_ABORTED, the published port disappears.
//   wait        PortId -> 4-byte size of the port's oldest event; completes at once when one is
//               queued, else when one arrives.
//   read        PortId -> that event, which is consumed; a buffer too small for it fails with
//               ERROR_INSUFFICIENT_BUFFER and consumes nothing; with no event queued it pends.
//   allow-list  the allow-list buffer -> nothing; replaces the whole list.
// Unknown codes fail with ERROR_INVALID_FUNCTION, malformed input with ERROR_INVALID_PARAMETER,
// an unknown PortId with ERROR_INVALID_HANDLE.
//
// Ports belong to the connection that attached them: when it goes, they are detached, so a
// crashed application leaves no port behind (and no unwatched line).
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "driver/AllowList.h"
#include "driver/ComPort.h"
#include "driver/EventLoop.h"
#include "driver/PortGuard.h"
#include "driver/PortHolders.h"
#include "driver/PortMap.h"
#include "platform/DeviceProtocol.h"

namespace kestrine::driver {

using ClientId = std::uint64_t;

class Driver {
public:
    // Sends an answer frame to a client.
    using Send = std::function<void(ClientId, const platform::protocol::Answer&)>;

    // Requests a client may leave outstanding at once; more fail with ERROR_BUSY.
    static constexpr std::size_t kMaxOutstandingPerClient = 256;

    // `ports` tells, at every attach, which ports are served by what.
    Driver(EventLoop& loop, std::function<PortMap()> ports, std::filesystem::path publishDirectory,
           Send send);
    ~Driver();

    void Handle(ClientId client, const platform::protocol::Request& request);
    void ClientGone(ClientId client);

    // Told of every port published from now on; nullptr: nobody.
    void SetPortGuard(PortGuard* guard) { guard_ = guard; }

    const AllowList& Allowed() const { return allowed_; }
    std::size_t AttachedPorts() const { return ports_.size(); }

private:
    struct Waiter {
        ClientId client;
        std::uint32_t id;
        bool overlapped;
        std::uint32_t outputSize;
    };
    struct Attached {
        int com;
        ClientId owner;
        std::unique_ptr<ComPort> port;
        std::deque<Waiter> waits;
        std::deque<Waiter> reads;
    };

    void Reply(ClientId client, const platform::protocol::Request& request,
               platform::Win32Error error, std::vector<std::uint8_t> output = {});
    void Pend(ClientId client, const platform::protocol::Request& request);
    void Complete(const Waiter& waiter, platform::Win32Error error,
                  std::vector<std::uint8_t> output = {});
    void Serve(std::uint32_t portId);
    void Detach(std::uint32_t portId);
    Attached* Find(const platform::protocol::Request& request, platform::Win32Error& error);
    void Attach(ClientId client, const platform::protocol::Request& request);

    EventLoop& loop_;
    std::function<PortMap()> portMap_;
    std::filesystem::path publishDirectory_;
    Send send_;
    AllowList allowed_;
    LookBudget looks_;  // shared by all ports: looks for diallers hold up every port's traffic
    std::map<std::uint32_t, Attached> ports_;  // by PortId
    std::map<ClientId, std::size_t> outstanding_;
    std::uint32_t nextPortId_;
    PortGuard* guard_ = nullptr;
};

}  // namespace kestrine::driver
