#include "driver/DeviceServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/SystemRoot.h"

namespace kestrine::driver {

using platform::protocol::Answer;
using platform::protocol::FrameKind;
using platform::protocol::FrameReader;
using platform::protocol::Status;

std::optional<PeerCredentials> ReadPeerCredentials(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return std::nullopt;
    }
    PeerCredentials peer{cred.uid, cred.gid, {}};
    // The supplementary groups the peer had at connect; ERANGE tells how many there are.
    peer.groups.resize(32);
    for (;;) {
        length = static_cast<socklen_t>(peer.groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, peer.groups.data(), &length) == 0) {
            peer.groups.resize(length / sizeof(gid_t));
            return peer;
        }
        if (errno != ERANGE || length / sizeof(gid_t) <= peer.groups.size()) {
            return std::nullopt;
        }
        peer.groups.resize(length / sizeof(gid_t));
    }
}

bool PeerMayConnect(const PeerCredentials& peer, uid_t driverUser,
                    std::optional<gid_t> accessGroup) {
    if (peer.uid == 0 || peer.uid == driverUser) {
        return true;
    }
    return accessGroup &&
           (peer.gid == *accessGroup ||
            std::find(peer.groups.begin(), peer.groups.end(), *accessGroup) != peer.groups.end());
}

DeviceServer::DeviceServer(EventLoop& loop, std::filesystem::path socketPath,
                           std::optional<gid_t> accessGroup)
    : loop_(loop), socketPath_(std::move(socketPath)), accessGroup_(accessGroup) {}

DeviceServer::~DeviceServer() {
    for (auto& [id, client] : clients_) {
        if (client->token != 0) {
            loop_.Remove(client->token);
        }
    }
    clients_.clear();
    if (listenerToken_ != 0) {
        loop_.Remove(listenerToken_);
    }
    // Only the socket this server bound: one put in its place since is not ours to remove.
    struct stat st {};
    if (bound_ && ::lstat(socketPath_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == socketDevice_ && st.st_ino == socketInode_ &&
        st.st_ctim.tv_sec == socketChanged_.tv_sec &&
        st.st_ctim.tv_nsec == socketChanged_.tv_nsec) {
        ::unlink(socketPath_.c_str());
    }
}

bool DeviceServer::Listen(std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath_.string();
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (!platform::MakeOwnFolder(socketPath_.parent_path(), 0755)) {
        error = "cannot use " + socketPath_.parent_path().string() +
                ": a link, or not a folder of this user's";
        return false;
    }

    // A socket left by a driver that died is replaced; one that answers is another driver's.
    {
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            error = "another driver already serves " + path;
            return false;
        }
    }
    ::unlink(path.c_str());

    listener_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // Created without any access for others from the first moment.
    const mode_t old = ::umask(0177);
    const int bound =
        ::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::umask(old);
    if (bound != 0) {
        error = "cannot bind " + path + ": " + std::strerror(errno);
        return false;
    }
    bound_ = true;
    const auto remember = [&] {
        if (struct stat st{}; ::lstat(path.c_str(), &st) == 0) {
            socketDevice_ = st.st_dev;
            socketInode_ = st.st_ino;
            socketChanged_ = st.st_ctim;
        }
    };
    remember();
    const bool shared =
        !accessGroup_ || (::chown(path.c_str(), static_cast<uid_t>(-1), *accessGroup_) == 0 &&
                          ::chmod(path.c_str(), 0660) == 0);
    remember();  // as it is now, after the changes of owner and mode
    if (!shared) {
        error = "cannot give " + path + " to its access group: " + std::strerror(errno);
        return false;
    }
    if (::listen(listener_.Get(), 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    listenerToken_ = loop_.Add(listener_.Get(), EPOLLIN, [this](std::uint32_t) { Accept(); });
    return true;
}

std::size_t DeviceServer::ClientsOf(uid_t user) const {
    return static_cast<std::size_t>(
        std::count_if(clients_.begin(), clients_.end(),
                      [user](const auto& entry) { return entry.second->user == user; }));
}

void DeviceServer::Accept() {
    for (;;) {
        UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.Valid()) {
            return;
        }
        const auto peer = ReadPeerCredentials(fd.Get());
        Answer hello{FrameKind::Hello, 0, Status::Completed, platform::ERROR_SUCCESS, {}};
        if (!peer || !PeerMayConnect(*peer, ::geteuid(), accessGroup_)) {
            hello.status = Status::Failed;
            hello.error = platform::ERROR_ACCESS_DENIED;
            std::fprintf(stderr,
                         "qddriver: refused a connection from user %ld: only root, the driver's "
                         "user%s may talk to the driver\n",
                         peer ? static_cast<long>(peer->uid) : -1L,
                         accessGroup_ ? " and members of its access group" : "");
        } else if (clients_.size() >= kMaxClients || ClientsOf(peer->uid) >= kMaxClientsPerUser) {
            hello.status = Status::Failed;
            hello.error = platform::ERROR_BUSY;
        }
        const auto frame = platform::protocol::EncodeAnswer(hello);
        if (hello.status == Status::Failed) {
            (void)::send(fd.Get(), frame.data(), frame.size(), MSG_NOSIGNAL);
            continue;  // and closed
        }
        const ClientId id = nextClient_++;
        auto client = std::make_unique<Client>();
        client->fd = std::move(fd);
        client->user = peer->uid;
        client->unsent.assign(frame.begin(), frame.end());
        client->token = loop_.Add(client->fd.Get(), EPOLLIN,
                                  [this, id](std::uint32_t events) { OnClient(id, events); });
        Client& ref = *client;
        clients_[id] = std::move(client);
        Flush(id, ref);
    }
}

void DeviceServer::Send(ClientId id, const Answer& answer) {
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second->broken) {
        return;
    }
    Client& client = *it->second;
    const auto frame = platform::protocol::EncodeAnswer(answer);
    client.unsent.append(frame.begin(), frame.end());
    if (client.unsent.size() > kMaxUnsent) {
        return Break(id, client);
    }
    Flush(id, client);
}

void DeviceServer::Flush(ClientId id, Client& client) {
    while (!client.unsent.empty()) {
        const auto n = ::send(client.fd.Get(), client.unsent.data(), client.unsent.size(),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                // Gone: closed between rounds (Reap), never under the handler that is sending.
                return Break(id, client);
            }
            break;
        }
        client.unsent.erase(0, static_cast<std::size_t>(n));
    }
    loop_.Modify(client.token,
                 EPOLLIN | (client.unsent.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT)));
}

void DeviceServer::Break(ClientId id, Client& client) {
    if (client.token != 0) {
        loop_.Remove(client.token);
        client.token = 0;
    }
    client.broken = true;
    client.unsent.clear();
    broken_.push_back(id);
}

void DeviceServer::OnClient(ClientId id, std::uint32_t events) {
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second->broken) {
        return;
    }
    Client& client = *it->second;
    if ((events & EPOLLOUT) != 0) {
        Flush(id, client);
        if (client.broken) {
            return;
        }
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) {
        return;
    }
    std::uint8_t buffer[64 * 1024];
    const auto n = ::recv(client.fd.Get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        return Break(id, client);
    }
    client.frames.Append({buffer, static_cast<std::size_t>(n)});
    std::vector<std::uint8_t> frame;
    for (;;) {
        const auto result = client.frames.Next(frame);
        if (result == FrameReader::Result::NeedMore) {
            return;
        }
        const auto request = result == FrameReader::Result::Frame
                                 ? platform::protocol::DecodeRequest(frame)
                                 : std::nullopt;
        if (!request) {
            return Break(id, client);  // the stream cannot be trusted past a malformed frame
        }
        if (driver_ != nullptr) {
            driver_->Handle(id, *request);
        }
        if (client.broken) {
            return;
        }
    }
}

void DeviceServer::Reap() {
    auto broken = std::move(broken_);
    broken_.clear();
    for (const ClientId id : broken) {
        if (clients_.erase(id) > 0 && driver_ != nullptr) {
            driver_->ClientGone(id);
        }
    }
}

}  // namespace kestrine::driver
