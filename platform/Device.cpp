#include "platform/Device.h"

#include <algorithm>
#include <cstring>

namespace kestrine::platform {

void PendingIo::Complete(Win32Error error, std::span<const std::uint8_t> output) {
    {
        std::lock_guard lock(mutex_);
        if (complete_) {
            return;
        }
        complete_ = true;
        error_ = error;
        const auto n = std::min(output.size(), outputSize_);
        output_.assign(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(n));
    }
    event_.Set();
}

bool PendingIo::IsComplete() const {
    std::lock_guard lock(mutex_);
    return complete_;
}

std::shared_ptr<PendingIo> Overlapped::Begin(std::size_t outputSize) {
    event_.Reset();
    current_ = std::make_shared<PendingIo>(event_, outputSize);
    return current_;
}

IoResult Device::GetOverlappedResult(const Overlapped& overlapped,
                                     std::span<std::uint8_t> output) const {
    const auto io = overlapped.Current();
    if (!io) {
        return IoResult::Fail(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard lock(io->mutex_);
    if (!io->complete_) {
        return IoResult::Fail(ERROR_IO_INCOMPLETE);
    }
    if (io->error_ != ERROR_SUCCESS) {
        return IoResult::Fail(io->error_);
    }
    const auto n = std::min(io->output_.size(), output.size());
    if (n > 0) {
        std::memcpy(output.data(), io->output_.data(), n);
    }
    return IoResult::Done(static_cast<std::uint32_t>(n));
}

}  // namespace kestrine::platform
