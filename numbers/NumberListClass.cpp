#include "numbers/NumberListClass.h"

#include <algorithm>

#include "numbers/Scramble.h"
#include "platform/Process.h"
#include "platform/SystemMessage.h"
#include "platform/UserError.h"

namespace kestrine::numbers {

namespace {

using platform::ERROR_NO_MORE_ITEMS;
using platform::ERROR_SUCCESS;

// There is no read-only fallback: a store the caller cannot write opens nothing.
constexpr platform::RegAccess kAccess = platform::KEY_READ | platform::KEY_WRITE;

std::string KeyPath(std::string_view component) {
    return std::string(R"(\Software\Tallowby\Kestrine\)") +
           Scramble(component, TNumberList::kStoreKey);
}

[[noreturn]] void FailedToSetData(const std::string& name) {
    throw UserError("Failed to set data for '" + name + "'");
}

}  // namespace

TNumberList::TNumberList() : TNumberList(platform::Registry::System()) {}

TNumberList::TNumberList(platform::Registry registry)
    : registry_(std::move(registry)),
      allowedKeyPath_(KeyPath("Allowed")),
      settingsKeyPath_(KeyPath("Settings")) {
    LoadNumbers();
}

const std::vector<std::string>& TNumberList::LoadNumbers() {
    numbers_.clear();
    loadError_ = registry_.OpenKey(allowedKeyPath_, kAccess, allowedKey_);
    if (loadError_ != ERROR_SUCCESS) {
        // No allowed key yet is an empty list, not a failure.
        if (loadError_ == platform::ERROR_FILE_NOT_FOUND) {
            loadError_ = ERROR_SUCCESS;
        }
        return numbers_;
    }
    std::string name;
    std::uint32_t i = 0;
    while ((loadError_ = allowedKey_.EnumValue(i, name)) == ERROR_SUCCESS) {
        numbers_.push_back(Unscramble(name, StoreKey));
        ++i;
    }
    if (loadError_ == ERROR_NO_MORE_ITEMS) {
        loadError_ = ERROR_SUCCESS;
    } else {
        numbers_.clear();  // half a list is no list
    }
    return numbers_;
}

namespace {
// The system's message without its final line break.
std::string MessageOf(platform::Win32Error error) {
    std::string text = platform::SystemMessageText(error);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') {
        text.pop_back();
    }
    return text;
}
}  // namespace

std::string TNumberList::MissingStoreText() const {
    return "The settings store " + registry_.DatabasePath().string() +
           " is missing: run kestrine-setup to make it";
}

void TNumberList::RefuseMissingStore(platform::Win32Error error) const {
    if (error == platform::ERROR_PATH_NOT_FOUND) {
        throw UserError(MissingStoreText());
    }
}

platform::Win32Error TNumberList::CheckReadable() {
    platform::RegKey key;
    const auto error = registry_.OpenKey(allowedKeyPath_, kAccess, key);
    return error == platform::ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

std::string TNumberList::LoadErrorText() const {
    if (loadError_ == platform::ERROR_PATH_NOT_FOUND) {
        return MissingStoreText();
    }
    return "The allowed numbers cannot be read: " + MessageOf(loadError_);
}

void TNumberList::SaveNumbers(std::span<const std::string> numbers) {
    // All or nothing: a failure or a crash part-way must never leave the allowed list empty or
    // half-written, so the old values go and the new ones come in one transaction.
    platform::RegTransaction transaction(registry_);
    RefuseMissingStore(transaction.Status());
    bool opened = transaction.Status() == ERROR_SUCCESS &&
                  registry_.CreateKey(allowedKeyPath_, kAccess, allowedKey_) == ERROR_SUCCESS;
    if (opened) {
        std::vector<std::string> stored;
        std::string name;
        platform::Win32Error error = ERROR_SUCCESS;
        for (std::uint32_t i = 0; (error = allowedKey_.EnumValue(i, name)) == ERROR_SUCCESS; ++i) {
            stored.push_back(name);
        }
        opened = error == ERROR_NO_MORE_ITEMS;
        for (const auto& old : stored) {
            if (opened && allowedKey_.DeleteValue(old) != ERROR_SUCCESS) {
                FailedToSetData(old);
            }
        }
    }
    if (!opened) {
        allowedKey_.Close();
    }
    platform::Randomize();
    for (const auto& number : numbers) {
        WriteNumber(number);
    }
    if (opened && transaction.Commit() != ERROR_SUCCESS) {
        FailedToSetData(numbers.empty() ? allowedKeyPath_ : Scramble(numbers.back(), StoreKey));
    }
}

void TNumberList::AddNumber(const std::string& number) {
    if (const auto error = registry_.CreateKey(allowedKeyPath_, kAccess, allowedKey_);
        error != ERROR_SUCCESS) {
        RefuseMissingStore(error);
        FailedToSetData(Scramble(number, StoreKey));
    }
    if (std::find(numbers_.begin(), numbers_.end(), number) != numbers_.end()) {
        return;
    }
    WriteNumber(number);
    numbers_.push_back(number);
}

void TNumberList::WriteNumber(const std::string& number) {
    // The data is a decoy that is never read back: the number repeated 1 to 5 times under a
    // random key, so equal lists do not give equal stores.
    std::string decoy;
    for (int copies = platform::Random(5) + 1; copies > 0; --copies) {
        decoy += number;
    }
    const auto decoyKey = static_cast<std::uint32_t>(platform::Random(0x7FFFFFFF)) & 0xFFFF;
    const std::string name = Scramble(number, StoreKey);
    if (allowedKey_.SetString(name, Scramble(decoy, decoyKey)) != ERROR_SUCCESS) {
        FailedToSetData(name);
    }
}

std::string TNumberList::GetPIN() {
    std::string pin;
    if (const auto error = ReadSetting(kPinValue, pin); error != ERROR_SUCCESS) {
        RefuseMissingStore(error);
        // Never an empty PIN in place of one that could not be read: the right PIN would be
        // refused as invalid.
        throw UserError("The settings cannot be read: " + MessageOf(error));
    }
    return pin;
}

void TNumberList::SetPIN(const std::string& pin) {
    WriteSetting(kPinValue, pin);
}

void TNumberList::WriteParentalMarker(bool on, bool initial) {
    WriteSetting(kMarkerValue, initial ? kMarkerInitial : (on ? kMarkerOn : kMarkerOff));
}

bool TNumberList::IsParentalControlOn() {
    // A marker that cannot be read counts as on, as a missing one does.
    std::string marker;
    ReadSetting(kMarkerValue, marker);
    return marker != kMarkerInitial && marker != kMarkerOff;
}

bool TNumberList::IsPINSet() {
    std::string marker;
    ReadSetting(kMarkerValue, marker);
    return marker != kMarkerInitial;
}

platform::Win32Error TNumberList::ReadSetting(std::string_view name, std::string& data) {
    data.clear();
    // Read access is all a read needs: a store this user may not write still has its PIN.
    auto error = registry_.OpenKey(settingsKeyPath_, platform::KEY_READ, settingsKey_);
    if (error == platform::ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;  // nothing stored yet
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const std::string stored = Scramble(name, StoreKey);
    platform::RegValue value;
    error = settingsKey_.QueryValue(stored, value);
    if (error == platform::ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (value.type != platform::REG_SZ && value.type != platform::REG_EXPAND_SZ) {
        throw UserError("Invalid data type for '" + stored + "'");
    }
    data = Unscramble(value.data, StoreKey);
    return ERROR_SUCCESS;
}

void TNumberList::WriteSetting(std::string_view name, std::string_view data) {
    if (const auto error = registry_.CreateKey(settingsKeyPath_, kAccess, settingsKey_);
        error != ERROR_SUCCESS) {
        RefuseMissingStore(error);
        // Never skipped in silence: the caller would report a change the store does not hold.
        throw UserError("The settings cannot be saved: " + MessageOf(error));
    }
    const std::string stored = Scramble(name, StoreKey);
    if (settingsKey_.SetString(stored, Scramble(data, StoreKey)) != ERROR_SUCCESS) {
        FailedToSetData(stored);
    }
}

}  // namespace kestrine::numbers
