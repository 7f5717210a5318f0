#pragma once
// The registry: HKEY_LOCAL_MACHINE of one system root, with the semantics of the calls the product
// makes on it (RegOpenKeyEx, RegCreateKeyEx, RegEnumValue, RegQueryValueEx, RegSetValueEx,
// RegDeleteValue, RegCloseKey) and their error codes.
//
// Keys are named by paths of components separated by backslashes, always from the root; a leading
// backslash is allowed. Key and value names compare without regard to ASCII case and keep the
// spelling they were created with. Values enumerate in the order they were first written; writing
// an existing value again keeps its place. Strings (REG_SZ) are byte strings, stored without a
// terminator.
//
// Access: a key is opened with an access mask, and each operation on its handle needs the matching
// right (ERROR_ACCESS_DENIED otherwise). Whether the caller gets read or write rights at all is the
// store's own access rule, decided from the permission bits of registry.db and its folder as they
// apply to the caller's user and groups (owner, group or other). Like a key's ACL, which
// administrators do not bypass either, the rule holds for root too: a store made read-only with
// chmod refuses KEY_WRITE to everyone.
//
// On Linux the registry is an SQLite database (the path comes from platform::RegistryDatabasePath,
// i.e. $KESTRINE_ROOT/registry.db), in WAL mode with a busy timeout, so the application, the setup
// program and the driver substitute may use one store at once. Commits are atomic and survive a
// crash of any process; like the registry's lazy flushing, a power failure may undo the last of
// them (synchronous = NORMAL), but never tears one. A missing database is created by the first
// write access when its folder is writable (except by Registry::Existing); a read access to a
// missing database finds no keys. The connection follows the file at the path: a database deleted
// or replaced while open is let go at the next operation outside a transaction, and what lies
// there then is opened (a mended store is picked up; a vanished one is reported). A
// damaged database gives ERROR_BADDB or ERROR_REGISTRY_CORRUPT at the operation that meets it.
//
// Schema (PRAGMA application_id = 0x4B524547, user_version = 1), readable with the sqlite3 tool:
//
//   CREATE TABLE reg_key (
//     id     INTEGER PRIMARY KEY,             -- 0 is HKEY_LOCAL_MACHINE itself
//     parent INTEGER REFERENCES reg_key(id) ON DELETE CASCADE,   -- NULL only for the root
//     name   TEXT NOT NULL COLLATE NOCASE);   -- spelled as created
//   CREATE UNIQUE INDEX reg_key_by_name ON reg_key(parent, name);
//   CREATE TABLE reg_value (
//     id     INTEGER PRIMARY KEY,             -- grows with each new value: the enumeration order
//     key_id INTEGER NOT NULL REFERENCES reg_key(id) ON DELETE CASCADE,
//     name   TEXT NOT NULL COLLATE NOCASE,
//     type   INTEGER NOT NULL,                -- REG_SZ 1, REG_BINARY 3, REG_DWORD 4, ...
//     data   BLOB NOT NULL);                  -- REG_DWORD: 4 bytes, little-endian
//   CREATE UNIQUE INDEX reg_value_by_name ON reg_value(key_id, name);
//   CREATE INDEX reg_value_by_key ON reg_value(key_id);
//   CREATE VIEW reg_key_path(id, path) AS ...  -- every key's full path, e.g. \Software\Tallowby
//
// For example, every value with its key, in enumeration order:
//
//   sqlite3 -readonly registry.db "SELECT p.path, v.name, v.type, CAST(v.data AS TEXT)
//     FROM reg_value v JOIN reg_key_path p ON p.id = v.key_id ORDER BY v.id"
//
// Locks. SQLite keeps its connections apart with POSIX (fcntl) locks, and the kernel releases
// every such lock a process holds on a file as soon as the process closes any descriptor of that
// file. So this process never opens and closes a store file (registry.db, -wal, -shm) beside
// SQLite: the one ordinary descriptor we open is the O_EXCL creation of a database that did not
// exist (a new file: no connection holds a lock on it), and the permission work on existing files
// uses O_PATH descriptors, whose close the kernel leaves out of lock release. Were a lock
// dropped, another process closing its last connection would take itself for the store's last
// user and delete -wal and -shm under a live connection here, whose later commits would then be
// lost. Limits: this holds for what this file does; code elsewhere in a process holding a
// connection must not open the store's files either (stat, lstat and O_PATH are safe). Changing
// a mode needs /proc; without it the old mode stays.
//
// A Registry object and the keys opened through it share one connection; they may be used from
// several threads (operations are serialised, and a transaction holds the others off until it
// ends). Copies of a Registry share the connection; a forked child must open a Registry of its
// own rather than use one inherited from its parent.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Win32Error.h"

namespace kestrine::platform {

using RegAccess = std::uint32_t;

inline constexpr RegAccess KEY_QUERY_VALUE = 0x0001;
inline constexpr RegAccess KEY_SET_VALUE = 0x0002;
inline constexpr RegAccess KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr RegAccess KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr RegAccess KEY_NOTIFY = 0x0010;
inline constexpr RegAccess READ_CONTROL = 0x20000;
inline constexpr RegAccess DELETE = 0x10000;
inline constexpr RegAccess KEY_READ = 0x20019;
inline constexpr RegAccess KEY_WRITE = 0x20006;
inline constexpr RegAccess KEY_ALL_ACCESS = 0xF003F;

enum RegType : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
};

struct RegValue {
    RegType type = REG_NONE;
    std::string data;

    static RegValue String(std::string_view text) { return {REG_SZ, std::string(text)}; }
    static RegValue Dword(std::uint32_t value);
    // The DWORD a REG_DWORD value holds; nothing for any other type or size.
    std::optional<std::uint32_t> AsDword() const;
};

class Registry;
class RegistryImpl;

// An open key (HKEY). Move-only; closes itself (RegCloseKey) when destroyed. Operations on a
// closed handle fail with ERROR_INVALID_HANDLE.
class RegKey {
public:
    RegKey() = default;
    RegKey(RegKey&&) noexcept = default;
    RegKey& operator=(RegKey&&) noexcept = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() = default;

    bool IsOpen() const { return impl_ != nullptr; }
    void Close();
    // The key's path as it was opened (without a leading backslash) and the rights it holds.
    const std::string& Path() const { return path_; }
    RegAccess Access() const { return access_; }

    // RegEnumValue: the name of the value at `index` (enumeration order); ERROR_NO_MORE_ITEMS
    // past the last. Needs KEY_QUERY_VALUE.
    Win32Error EnumValue(std::uint32_t index, std::string& name) const;
    // RegEnumKeyEx: the name of the subkey at `index`, subkeys ordered by name ignoring case;
    // ERROR_NO_MORE_ITEMS past the last. Needs KEY_ENUMERATE_SUB_KEYS.
    Win32Error EnumKey(std::uint32_t index, std::string& name) const;
    // RegQueryValueEx: ERROR_FILE_NOT_FOUND when there is no such value. Needs KEY_QUERY_VALUE.
    Win32Error QueryValue(std::string_view name, RegValue& value) const;
    // RegSetValueEx: creates or replaces the value. Needs KEY_SET_VALUE.
    Win32Error SetValue(std::string_view name, const RegValue& value);
    Win32Error SetString(std::string_view name, std::string_view text) {
        return SetValue(name, RegValue::String(text));
    }
    Win32Error SetDword(std::string_view name, std::uint32_t value) {
        return SetValue(name, RegValue::Dword(value));
    }
    // RegDeleteValue: ERROR_FILE_NOT_FOUND when there is no such value. Needs KEY_SET_VALUE.
    Win32Error DeleteValue(std::string_view name);

private:
    friend class Registry;
    std::shared_ptr<RegistryImpl> impl_;
    std::int64_t id_ = -1;
    std::string path_;
    RegAccess access_ = 0;
    // EnumValue reads names in batches, so that enumerating in order costs one query per batch.
    // A batch serves until this connection changes anything; index 0 always reads afresh.
    struct NameBatch {
        std::uint32_t first = 0;
        std::vector<std::pair<std::int64_t, std::string>> rows;  // value id, name
        bool complete = false;                                   // nothing after the last row
        std::int64_t version = -1;
    };
    mutable NameBatch batch_;
};

// HKEY_LOCAL_MACHINE of the store at `databasePath`. Cheap to create: nothing is opened until the
// first operation.
class Registry {
public:
    // Creates a missing database at the first write access (the installation step, tests).
    explicit Registry(std::filesystem::path databasePath);
    // Never creates its database: while none lies at the path, every operation fails with
    // ERROR_PATH_NOT_FOUND. What the application and the driver use: a store that disappears is a
    // fault to report, never an empty store to start afresh with.
    static Registry Existing(std::filesystem::path databasePath);
    // The registry of the current system root: Existing, since only the installation step makes
    // the system's store.
    static Registry System();

    const std::filesystem::path& DatabasePath() const;

    // RegOpenKeyEx: ERROR_FILE_NOT_FOUND when the key does not exist, ERROR_ACCESS_DENIED when the
    // store does not grant the access asked for.
    Win32Error OpenKey(std::string_view path, RegAccess access, RegKey& key) const;
    // RegCreateKeyEx: opens the key, creating it and any missing parents. `created` (if given)
    // tells whether it was new.
    Win32Error CreateKey(std::string_view path, RegAccess access, RegKey& key,
                         bool* created = nullptr) const;
    // RegDeleteKey: deletes a key with its values; a key that still has subkeys is refused with
    // ERROR_ACCESS_DENIED, the root too.
    Win32Error DeleteKey(std::string_view path) const;

private:
    explicit Registry(std::shared_ptr<RegistryImpl> impl);
    friend class RegTransaction;
    std::shared_ptr<RegistryImpl> impl_;
};

// A scoped transaction on a registry: every write made through it (on any of its keys) until
// Commit lands at once or not at all; destroying it uncommitted rolls everything back. Other
// processes wait (busy timeout) for it to end; other threads of this process using the same
// Registry wait as well. Transactions nest.
//
// On a store that cannot be written (or a missing database that cannot be created) it holds a
// consistent read and Status() tells why it is not a write transaction; writes then fail on their
// own as they would without it.
class RegTransaction {
public:
    explicit RegTransaction(const Registry& registry);
    ~RegTransaction();
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;

    Win32Error Status() const { return status_; }
    // Makes the writes permanent. A failure (including a transaction that the database already
    // abandoned) leaves nothing of them stored.
    Win32Error Commit();
    void Rollback();

private:
    std::shared_ptr<RegistryImpl> impl_;
    Win32Error status_ = ERROR_SUCCESS;
    bool active_ = false;
    int depth_ = 0;
};

}  // namespace kestrine::platform
