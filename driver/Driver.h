#pragma once
// The monitoring driver's request handling: the five control codes of the driver contract.
//
//   attach      "\??\COMn" (UTF-16LE, terminated) -> 4-byte PortId, fresh and non-zero, which
//               subscribes the client to that port's events. Refused with ERROR_FILE_NOT_FOUND
//               for a port without a backend (COM17 and above never have one), ERROR_BUSY when
//               this client is subscribed to it already.
//   detach      PortId -> nothing; ends that subscription: its waits and reads outstanding fail
//               with ERROR_OPERATION_ABORTED. The port stays served.
//   wait        PortId -> 4-byte size of the subscription's oldest event; completes at once when
//               one is queued, else when one arrives.
//   read        PortId -> that event, which is consumed; a buffer too small for it fails with
//               ERROR_INSUFFICIENT_BUFFER and consumes nothing; with no event queued it pends.
//   allow-list  the allow-list buffer -> nothing; replaces the whole list.
// Unknown codes fail with ERROR_INVALID_FUNCTION, malformed input with ERROR_INVALID_PARAMETER,
// a PortId that is not one of this client's subscriptions with ERROR_INVALID_HANDLE.
//
// The driver protects on its own: it serves every port of its map from its start (ServeMapped),
// whether or not any application is there, and refuses dials against the list it was given last
// (by an application, or from the store: ReplaceAllowed). Applications are subscribers: each
// subscription has its own queue, so two applications each get every event that happens on the
// port after they attached. A client that goes takes its subscriptions with it, never the port.
// A mapped port that could not be served at start (a device missing or held) is tried again at
// each ServeMapped and at each attach of it.
//
// A subscription is its client's own: a PortId is found only among the subscriptions of the
// connection that asks (Find), so one client can neither read nor end another's events.
//
// Refusals nobody is subscribed to are left open in the refusal journal (RefusalJournal.h) and
// handed to the next subscription made to their port.
//
// Beside the contract, IOCTL_KESTRINE_SERVICE_STATUS (monitor/ServiceStatus.h) tells a shell
// user what the service does: ports served and why not, the last refusal on each, the refusals
// kept for the next application.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/AllowList.h"
#include "driver/ComPort.h"
#include "driver/EventLoop.h"
#include "driver/PortGuard.h"
#include "driver/PortHolders.h"
#include "driver/PortMap.h"
#include "monitor/ServiceStatus.h"
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
    // Serves every port of the map not served yet; true when all of them are served.
    bool ServeMapped();
    // Replaces the list dials are judged by (the store's, read by the service).
    void ReplaceAllowed(const std::vector<std::string>& numbers) { allowed_.Replace(numbers); }
    ~Driver();

    void Handle(ClientId client, const platform::protocol::Request& request);
    void ClientGone(ClientId client);

    // Told of every port published from now on; nullptr: nobody.
    void SetPortGuard(PortGuard* guard) { guard_ = guard; }

    const AllowList& Allowed() const { return allowed_; }
    std::size_t ServedPorts() const { return served_.size(); }
    std::size_t Subscriptions() const { return subscriptions_.size(); }

private:
    struct Waiter {
        ClientId client;
        std::uint32_t id;
        bool overlapped;
        std::uint32_t outputSize;
    };
    struct Subscription {
        int com;
        ClientId client;
        std::unique_ptr<EventQueue> queue;
        std::deque<Waiter> waits;
        std::deque<Waiter> reads;
    };

    void Reply(ClientId client, const platform::protocol::Request& request,
               platform::Win32Error error, std::vector<std::uint8_t> output = {});
    void Pend(ClientId client, const platform::protocol::Request& request);
    void Complete(const Waiter& waiter, platform::Win32Error error,
                  std::vector<std::uint8_t> output = {});
    // Starts serving `com`; ERROR_SUCCESS or why it cannot be served.
    platform::Win32Error StartServing(int com, const PortBackend& backend);
    // Takes what the port queued and hands a copy to each of its subscriptions.
    void Forward(int com);
    void ForwardOnce(int com);
    void Deliver(std::uint32_t portId);
    std::size_t SubscribersOf(int com) const;
    void Detach(std::uint32_t portId);
    Subscription* Find(ClientId client, const platform::protocol::Request& request,
                       platform::Win32Error& error);
    void Attach(ClientId client, const platform::protocol::Request& request);
    monitor::ServiceStatus StatusNow() const;

    EventLoop& loop_;
    std::function<PortMap()> portMap_;
    std::filesystem::path publishDirectory_;
    Send send_;
    AllowList allowed_;
    LookBudget looks_;  // shared by all ports: looks for diallers hold up every port's traffic
    std::map<int, std::unique_ptr<ComPort>> served_;  // by COM number
    std::map<int, PortBackend> servedBy_;             // what serves each of them
    struct LastRefusal {
        std::int64_t time = 0;  // seconds since 1970
        std::string number;
        std::string dialledBy;
    };
    std::map<int, LastRefusal> lastRefusal_;               // by COM number, since the start
    std::map<std::uint32_t, Subscription> subscriptions_;  // by PortId
    std::map<int, platform::Win32Error> failing_;          // mapped ports not served, and why
    bool forwarding_ = false;
    std::set<int> forwardAgain_;
    std::map<ClientId, std::size_t> outstanding_;
    std::uint32_t nextPortId_;
    PortGuard* guard_ = nullptr;
};

}  // namespace kestrine::driver
