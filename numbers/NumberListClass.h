#pragma once
// TNumberList: the settings store. Keeps the allowed numbers, the PIN and the parental-control
// marker in the registry under HKEY_LOCAL_MACHINE\Software\Tallowby\Kestrine, with every key
// component, value name and value scrambled under StoreKey.
//
// Nothing is cached: every query reads the registry afresh. The only state besides the paths is
// the number list, the numbers as last loaded or added. User-interface thread only.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace kestrine::numbers {

class TNumberList {
public:
    static constexpr std::uint32_t kStoreKey = 0x0B7D41E6;

    // Names and markers before scrambling.
    static constexpr std::string_view kPinValue = "ParentalPIN";
    static constexpr std::string_view kMarkerValue = "ParentalControl";
    static constexpr std::string_view kMarkerInitial = "FreshFromSetup";
    static constexpr std::string_view kMarkerOff = "SadPanda";
    static constexpr std::string_view kMarkerOn = "MayBee47";

    // The store in the registry of the current system root.
    TNumberList();
    // Fills the number list from the allowed key if it opens.
    explicit TNumberList(platform::Registry registry);

    const std::uint32_t StoreKey = kStoreKey;

    const std::string& AllowedKeyPath() const { return allowedKeyPath_; }
    const std::string& SettingsKeyPath() const { return settingsKeyPath_; }

    // Re-reads the allowed numbers in the registry's enumeration order. The result is the store's
    // own list: copy it before the next call into the store. A store that cannot be read gives
    // an empty list too; LoadError tells the two apart.
    const std::vector<std::string>& LoadNumbers();
    // Why the last LoadNumbers could not read the store (the registry's error), or ERROR_SUCCESS
    // when it read the stored numbers (none at all when the allowed key does not exist yet).
    platform::Win32Error LoadError() const { return loadError_; }
    // The registry's error of the last LoadNumbers as a message ("The allowed numbers cannot be
    // read: ..."), for the user.
    // A store that is missing (ERROR_PATH_NOT_FOUND: only the installation step makes one) gives
    // MissingStoreText instead, which names kestrine-setup.
    std::string LoadErrorText() const;
    std::string MissingStoreText() const;
    // Whether the store can still be read, without reading the list: the registry's error of
    // opening the allowed key (ERROR_SUCCESS also while it does not exist yet).
    platform::Win32Error CheckReadable();
    // Replaces the stored numbers with `numbers` (each stored once) as one transaction: on any
    // failure the previous numbers stay stored and UserError "Failed to set data for '<name>'"
    // is raised. Does not touch the number list.
    void SaveNumbers(std::span<const std::string> numbers);
    // Stores `number` unless the number list holds it already. A number that cannot be stored
    // (the allowed key cannot be opened or created, or the write fails) raises UserError
    // "Failed to set data for '<name>'": it is never reported as added.
    void AddNumber(const std::string& number);

    // The PIN; empty when none is stored. Read with read access only; a store that cannot be
    // read raises UserError "The settings cannot be read: ...".
    std::string GetPIN();
    // Settings writes raise UserError: "The settings cannot be saved: ..." when the settings key
    // cannot be opened for writing (a read-only store), "Failed to set data for '<name>'" when
    // the write fails (a full disk). Nothing is ever skipped in silence.
    void SetPIN(const std::string& pin);
    // "FreshFromSetup" when `initial`, else "MayBee47" when `on`, else "SadPanda".
    void WriteParentalMarker(bool on, bool initial);
    void SetParentalControl(bool on) { WriteParentalMarker(on, false); }
    // Anything but the initial and the off marker counts as on, a missing one included.
    bool IsParentalControlOn();
    // Anything but the initial marker means a PIN was set.
    bool IsPINSet();

private:
    // Raises MissingStoreText for a store that is missing: a write never makes a fresh store.
    void RefuseMissingStore(platform::Win32Error error) const;
    // ERROR_SUCCESS with `data` empty when nothing is stored; else the registry's error.
    platform::Win32Error ReadSetting(std::string_view name, std::string& data);
    void WriteSetting(std::string_view name, std::string_view data);
    void WriteNumber(const std::string& number);

    platform::Registry registry_;
    std::string allowedKeyPath_;
    std::string settingsKeyPath_;
    std::vector<std::string> numbers_;
    platform::Win32Error loadError_ = platform::ERROR_SUCCESS;
    // One handle per key, each reopened by the operation that needs it.
    platform::RegKey allowedKey_;
    platform::RegKey settingsKey_;
};

}  // namespace kestrine::numbers
