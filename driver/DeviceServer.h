#pragma once
// The device's socket: accepts connections, checks who is calling, cuts frames and hands requests
// to the driver.
//
// Who may talk to the driver: root, the driver's own user, and the members of its access group
// (the group kestrine in the installed layout; none for a private root). The socket file is mode
// 0600, or 0660 and that group (its directory 0755), and every connection's peer credentials
// (user, group and supplementary groups, as the peer had them at connect) are checked again:
// anyone else gets a failed Hello (ERROR_ACCESS_DENIED), is cut off, and the refusal is written
// to standard error. A user past kMaxClientsPerUser connections gets ERROR_BUSY. A peer that sends
// a malformed frame, or does not read its answers (more than kMaxUnsent bytes waiting), is cut off;
// the driver carries on with everyone else.
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "driver/EventLoop.h"
#include "driver/UniqueFd.h"
#include "platform/DeviceProtocol.h"

namespace kestrine::driver {

struct PeerCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

// The credentials of the process at the other end of a connected Unix socket.
std::optional<PeerCredentials> ReadPeerCredentials(int fd);
// Whether that peer may talk to a driver running as `driverUser` (see above).
bool PeerMayConnect(const PeerCredentials& peer, uid_t driverUser,
                    std::optional<gid_t> accessGroup);

class DeviceServer {
public:
    // One user's connections are limited on their own, so that one user's stray clients cannot
    // shut anyone else out (the application above all); the total bounds the descriptors.
    static constexpr std::size_t kMaxClientsPerUser = 32;
    static constexpr std::size_t kMaxClients = 256;
    static constexpr std::size_t kMaxUnsent = 8 * 1024 * 1024;

    DeviceServer(EventLoop& loop, std::filesystem::path socketPath,
                 std::optional<gid_t> accessGroup = std::nullopt);
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
        uid_t user = 0;
        bool broken = false;
    };
    std::size_t ClientsOf(uid_t user) const;
    void Accept();
    void OnClient(ClientId id, std::uint32_t events);
    void Flush(ClientId id, Client& client);
    void Break(ClientId id, Client& client);

    EventLoop& loop_;
    std::filesystem::path socketPath_;
    // The socket file bound, which alone is removed at the end (an inode number is reused at
    // once, hence the change time too).
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    timespec socketChanged_{};
    std::optional<gid_t> accessGroup_;
    Driver* driver_ = nullptr;
    UniqueFd listener_;
    std::uint64_t listenerToken_ = 0;
    std::map<ClientId, std::unique_ptr<Client>> clients_;
    std::vector<ClientId> broken_;
    ClientId nextClient_ = 1;
    bool bound_ = false;
};

}  // namespace kestrine::driver
