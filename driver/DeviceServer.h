#pragma once
// The device's socket: accepts connections, checks who is calling, cuts frames and hands requests
// to the driver.
//
// Who may talk to the driver: the socket file is mode 0600 (its directory 0755), and every
// connection's peer credentials are checked: only processes of the driver's own user, or of
// root, are greeted; others get a failed Hello (ERROR_ACCESS_DENIED) and are cut off. A peer that
// sends a malformed frame, or does not read its answers (more than kMaxUnsent bytes waiting), is
// cut off; the driver carries on with everyone else.
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "driver/EventLoop.h"
#include "driver/UniqueFd.h"
#include "platform/DeviceProtocol.h"

namespace kestrine::driver {

class DeviceServer {
public:
    static constexpr std::size_t kMaxClients = 64;
    static constexpr std::size_t kMaxUnsent = 8 * 1024 * 1024;

    DeviceServer(EventLoop& loop, std::filesystem::path socketPath);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    void SetDriver(Driver* driver) { driver_ = driver; }
    // Binds and listens; false with a reason (another driver already serves the socket, ...).
    bool Listen(std::string& error);
    void Send(ClientId client, const platform::protocol::Answer& answer);
    // Closes the connections found broken since the last call. Runs between loop rounds, so that
    // no connection (and no port it owns) goes away under a handler that is still running.
    void Reap();

private:
    struct Client {
        UniqueFd fd;
        std::uint64_t token = 0;
        platform::protocol::FrameReader frames;
        std::string unsent;
        bool broken = false;
    };
    void Accept();
    void OnClient(ClientId id, std::uint32_t events);
    void Flush(ClientId id, Client& client);
    void Break(ClientId id, Client& client);

    EventLoop& loop_;
    std::filesystem::path socketPath_;
    Driver* driver_ = nullptr;
    UniqueFd listener_;
    std::uint64_t listenerToken_ = 0;
    std::map<ClientId, std::unique_ptr<Client>> clients_;
    std::vector<ClientId> broken_;
    ClientId nextClient_ = 1;
    bool bound_ = false;
};

}  // namespace kestrine::driver
