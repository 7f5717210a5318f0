#include "platform/SocketDevice.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "platform/DeviceProtocol.h"
#include "platform/SystemRoot.h"

namespace kestrine::platform {

namespace {

using protocol::Answer;
using protocol::FrameKind;
using protocol::FrameReader;
using protocol::Status;

// A driver that accepts the connection but never greets it is as good as absent.
constexpr int kHelloTimeoutMs = 5000;

class SocketDevice final : public Device {
public:
    SocketDevice(int fd, FrameReader reader, std::chrono::milliseconds timeLimit)
        : fd_(fd), frames_(std::move(reader)), timeLimit_(timeLimit) {
        reader_ = std::thread([this] { ReadAnswers(); });
    }
    ~SocketDevice() override { Close(); }
    SocketDevice(const SocketDevice&) = delete;
    SocketDevice& operator=(const SocketDevice&) = delete;

    IoResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                     std::span<std::uint8_t> output) override {
        return Issue(code, input, output, nullptr);
    }

    IoResult ControlOverlapped(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output, Overlapped& overlapped) override {
        return Issue(code, input, output, &overlapped);
    }

    void Close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) {
                return;
            }
            closed_ = true;
        }
        // Wakes the reader, which fails whatever is still outstanding.
        ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) {
            reader_.join();
        }
        std::lock_guard writeLock(writeMutex_);
        ::close(fd_);
        fd_ = -1;
    }

    Win32Error Health() const override {
        std::lock_guard lock(mutex_);
        if (lostError_ != ERROR_SUCCESS) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return unanswered_ ? ERROR_TIMEOUT : ERROR_SUCCESS;
    }

private:
    struct Outstanding {
        std::uint32_t outputSize = 0;
        std::shared_ptr<PendingIo> io;  // overlapped requests only
        bool answered = false;          // the first answer has come
        bool pending = false;           // ... and it was Pending
        bool abandoned = false;         // a synchronous request given up at its time limit
        Answer answer;
    };

    IoResult Issue(std::uint32_t code, std::span<const std::uint8_t> input,
                   std::span<std::uint8_t> output, Overlapped* overlapped) {
        if (input.size() > protocol::kMaxPayload || output.size() > protocol::kMaxPayload) {
            return IoResult::Fail(ERROR_INVALID_PARAMETER);
        }
        auto entry = std::make_shared<Outstanding>();
        entry->outputSize = static_cast<std::uint32_t>(output.size());
        protocol::Request request;
        request.code = code;
        request.overlapped = overlapped != nullptr;
        request.outputSize = entry->outputSize;
        request.input.assign(input.begin(), input.end());
        {
            std::lock_guard lock(mutex_);
            if (closed_) {
                return IoResult::Fail(ERROR_INVALID_HANDLE);
            }
            if (lostError_ != ERROR_SUCCESS) {
                return IoResult::Fail(lostError_);
            }
            if (overlapped == nullptr && unanswered_) {
                return IoResult::Fail(ERROR_TIMEOUT);  // a driver that hangs is not asked again
            }
            do {
                request.id = nextId_++;
            } while (request.id == 0 || outstanding_.contains(request.id));
            if (overlapped != nullptr) {
                entry->io = overlapped->Begin(output.size());
            }
            outstanding_[request.id] = entry;
        }
        if (!Send(protocol::EncodeRequest(request))) {
            // The reader sees the same broken connection and fails the entry, if it is still ours.
            std::lock_guard lock(mutex_);
            if (outstanding_.erase(request.id) > 0) {
                const Win32Error error =
                    closed_ ? ERROR_OPERATION_ABORTED : ERROR_DEVICE_NOT_CONNECTED;
                if (entry->io) {
                    entry->io->Complete(error);
                }
                return IoResult::Fail(error);
            }
        }
        std::unique_lock lock(mutex_);
        if (overlapped != nullptr) {
            answered_.wait(lock, [&] { return entry->answered; });
        } else if (!answered_.wait_for(lock, timeLimit_, [&] { return entry->answered; })) {
            // Its answer, should it come after all, is dropped when it arrives.
            entry->abandoned = true;
            unanswered_ = true;
            return IoResult::Fail(ERROR_TIMEOUT);
        }
        if (entry->pending) {
            return IoResult::PendingResult();
        }
        const Answer& answer = entry->answer;
        if (answer.status == Status::Failed) {
            if (entry->io) {
                entry->io->Complete(answer.error);
            }
            return IoResult::Fail(answer.error);
        }
        if (!answer.output.empty()) {
            std::memcpy(output.data(), answer.output.data(), answer.output.size());
        }
        if (entry->io) {
            entry->io->Complete(ERROR_SUCCESS, answer.output);
        }
        return IoResult::Done(static_cast<std::uint32_t>(answer.output.size()));
    }

    bool Send(const std::vector<std::uint8_t>& frame) {
        std::lock_guard lock(writeMutex_);
        std::size_t sent = 0;
        while (sent < frame.size()) {
            if (fd_ < 0) {
                return false;
            }
            const auto n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    void ReadAnswers() {
        std::vector<std::uint8_t> buffer(64 * 1024);
        std::vector<std::uint8_t> frame;
        bool sound = true;
        while (sound) {
            for (;;) {
                const auto result = frames_.Next(frame);
                if (result == FrameReader::Result::NeedMore) {
                    break;
                }
                if (result == FrameReader::Result::Malformed || !Deliver(frame)) {
                    sound = false;
                    break;
                }
            }
            if (!sound) {
                break;
            }
            const auto n = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            frames_.Append({buffer.data(), static_cast<std::size_t>(n)});
        }
        // A driver that breaks the protocol is treated as one that went away.
        ::shutdown(fd_, SHUT_RDWR);
        FailEverything();
    }

    // Hands one answer to its request; false when the driver broke the protocol.
    bool Deliver(std::span<const std::uint8_t> frame) {
        auto answer = protocol::DecodeAnswer(frame);
        if (!answer || answer->kind == FrameKind::Hello) {
            return false;
        }
        std::lock_guard lock(mutex_);
        unanswered_ = false;  // the driver answers again
        const auto it = outstanding_.find(answer->id);
        if (it == outstanding_.end()) {
            return false;
        }
        const auto entry = it->second;
        if (entry->abandoned) {
            outstanding_.erase(it);
            return answer->kind == FrameKind::Reply;
        }
        if (answer->output.size() > entry->outputSize) {
            return false;
        }
        if (answer->kind == FrameKind::Reply) {
            if (entry->answered || (answer->status == Status::Pending && !entry->io)) {
                return false;
            }
            entry->answered = true;
            entry->pending = answer->status == Status::Pending;
            if (!entry->pending) {
                outstanding_.erase(it);
            }
            entry->answer = std::move(*answer);
            answered_.notify_all();
            return true;
        }
        if (!entry->pending) {
            return false;
        }
        outstanding_.erase(it);
        entry->io->Complete(answer->error, answer->output);
        return true;
    }

    void FailEverything() {
        std::lock_guard lock(mutex_);
        const Win32Error error = closed_ ? ERROR_OPERATION_ABORTED : ERROR_DEVICE_NOT_CONNECTED;
        lostError_ = error;
        for (auto& [id, entry] : outstanding_) {
            if (entry->abandoned) {
                continue;
            }
            if (entry->pending) {
                entry->io->Complete(error);
            } else {
                entry->answered = true;
                entry->answer = Answer{FrameKind::Reply, id, Status::Failed, error, {}};
            }
        }
        outstanding_.clear();
        answered_.notify_all();
    }

    int fd_;
    FrameReader frames_;
    std::mutex writeMutex_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::map<std::uint32_t, std::shared_ptr<Outstanding>> outstanding_;
    std::uint32_t nextId_ = 1;
    bool closed_ = false;
    Win32Error lostError_ = ERROR_SUCCESS;
    std::chrono::milliseconds timeLimit_;
    bool unanswered_ = false;  // a synchronous request went unanswered past the time limit
    std::thread reader_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

Win32Error ConnectError(int error) {
    switch (error) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG:
            return ERROR_BAD_PATHNAME;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Waits for the driver's greeting; what follows it stays in `reader`.
Win32Error AwaitHello(int fd, FrameReader& reader) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kHelloTimeoutMs);
    std::vector<std::uint8_t> frame;
    std::uint8_t buffer[256];
    for (;;) {
        const auto result = reader.Next(frame);
        if (result == FrameReader::Result::Malformed) {
            return ERROR_REVISION_MISMATCH;
        }
        if (result == FrameReader::Result::Frame) {
            if (frame.size() > 4 && frame[4] != protocol::kProtocolVersion) {
                return ERROR_REVISION_MISMATCH;
            }
            const auto hello = protocol::DecodeAnswer(frame);
            if (!hello || hello->kind != FrameKind::Hello) {
                return ERROR_REVISION_MISMATCH;
            }
            return hello->status == Status::Completed ? ERROR_SUCCESS : hello->error;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A driver that hangs up before its greeting refused us.
            return ERROR_ACCESS_DENIED;
        }
        reader.Append({buffer, static_cast<std::size_t>(n)});
    }
}

}  // namespace

std::string DeviceNameOf(const std::string& path) {
    static constexpr std::string_view kPrefix = R"(\\.\)";
    if (path.size() <= kPrefix.size() || path.compare(0, kPrefix.size(), kPrefix) != 0) {
        return {};
    }
    std::string name = path.substr(kPrefix.size());
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!plain) {
            return {};
        }
    }
    return name;
}

DeviceOpenResult OpenDevice(const std::string& path, std::chrono::milliseconds timeLimit) {
    const std::string name = DeviceNameOf(path);
    if (name.empty()) {
        return {nullptr, ERROR_BAD_PATHNAME};
    }
    const std::string socketPath = DeviceSocketPath(name).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        return {nullptr, ERROR_BAD_PATHNAME};
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        return {nullptr, ERROR_NOT_ENOUGH_MEMORY};
    }
    int rc;
    do {
        rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return {nullptr, ConnectError(errno)};
    }
    // Only a driver run by this user or by the administrator may pose as the device.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) < 0 ||
        (peer.uid != 0 && peer.uid != ::getuid())) {
        return {nullptr, ERROR_ACCESS_DENIED};
    }
    FrameReader reader;
    if (const Win32Error error = AwaitHello(fd.Get(), reader); error != ERROR_SUCCESS) {
        return {nullptr, error};
    }
    return {std::make_shared<SocketDevice>(fd.Release(), std::move(reader), timeLimit),
            ERROR_SUCCESS};
}

}  // namespace kestrine::platform
