#include "platform/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/SystemRoot.h"

namespace kestrine::platform {

namespace {

constexpr int kApplicationId = 0x4B524547;
constexpr int kSchemaVersion = 1;
// Long enough to outlast another process's save of a long list.
constexpr int kBusyTimeoutMs = 10000;
constexpr std::int64_t kRootId = 0;
constexpr std::int64_t kNameBatch = 512;

constexpr RegAccess kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr RegAccess kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;

constexpr const char* kSchema = R"sql(
PRAGMA application_id = 1263682887;
PRAGMA user_version = 1;
CREATE TABLE reg_key (
  id     INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES reg_key(id) ON DELETE CASCADE,
  name   TEXT NOT NULL COLLATE NOCASE);
CREATE UNIQUE INDEX reg_key_by_name ON reg_key(parent, name);
CREATE TABLE reg_value (
  id     INTEGER PRIMARY KEY,
  key_id INTEGER NOT NULL REFERENCES reg_key(id) ON DELETE CASCADE,
  name   TEXT NOT NULL COLLATE NOCASE,
  type   INTEGER NOT NULL,
  data   BLOB NOT NULL);
CREATE UNIQUE INDEX reg_value_by_name ON reg_value(key_id, name);
CREATE INDEX reg_value_by_key ON reg_value(key_id);
CREATE VIEW reg_key_path(id, path) AS
  WITH RECURSIVE p(id, path) AS (
    SELECT id, '' FROM reg_key WHERE id = 0
    UNION ALL
    SELECT k.id, p.path || '\' || k.name FROM reg_key k JOIN p ON k.parent = p.id)
  SELECT id, path FROM p;
INSERT INTO reg_key(id, parent, name) VALUES (0, NULL, '');
)sql";
static_assert(kApplicationId == 1263682887);

Win32Error FromSqlite(int rc, Win32Error otherwise) {
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        return ERROR_KEY_DELETED;
    }
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_NOTADB:
            return ERROR_BADDB;
        case SQLITE_CORRUPT:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_TIMEOUT;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        default:
            return otherwise;
    }
}

bool InCallerGroups(gid_t gid) {
    if (gid == ::getegid()) {
        return true;
    }
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The permission bits of `st` that apply to the caller, root included (see the header).
bool CallerMay(const struct stat& st, mode_t bit) {
    if (st.st_uid == ::geteuid()) {
        return (st.st_mode & (bit << 6)) != 0;
    }
    if (InCallerGroups(st.st_gid)) {
        return (st.st_mode & (bit << 3)) != 0;
    }
    return (st.st_mode & bit) != 0;
}

constexpr mode_t kRead = 4;
constexpr mode_t kWrite = 2;
constexpr mode_t kSearch = 1;

// The store holds the PIN: nobody but its owner may read it, or, where its folder is shared with
// a group (setgid, as the installed root is for group kestrine), that group too. SQLite gives its
// journal files the database's mode.
mode_t StoreMode(const std::filesystem::path& database) {
    const auto folder = database.has_parent_path() ? database.parent_path() : ".";
    struct stat dir {};
    return ::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISGID) != 0 ? 0660 : 0600;
}

// Makes the database file before SQLite does, with the store's mode from the first moment; a link
// planted in its place is not followed. Its descriptor is the one ordinary descriptor we open
// beside SQLite: O_EXCL makes it a new file, on which no connection of ours holds a lock yet. False
// when it cannot be made (or another process won the race, which is as good).
bool CreateStoreFile(const std::filesystem::path& database) {
    const int fd = ::open(database.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          StoreMode(database));
    if (fd < 0) {
        return errno == EEXIST;
    }
    ::fchmod(fd, StoreMode(database));  // whatever the umask took away from the group
    ::close(fd);
    return true;
}

// A store made before files were created without world access loses it at its owner's next use,
// with its journal files. Done on O_PATH descriptors only (see "Locks" in the header): closing one
// releases no lock of ours, while an ordinary open and close here would drop every lock SQLite's
// connections in this process hold on the file. The mode is changed through the descriptor's
// /proc entry, so it is the file found (not followed through a link) that changes.
void WithdrawWorldAccess(const std::filesystem::path& database) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string path = database.string() + suffix;
        const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & S_IRWXO) != 0) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            ::chmod(self.c_str(), st.st_mode & 07770);
        }
        ::close(fd);
    }
}

// "a\b\c", optionally with a leading backslash; an empty component makes the path invalid.
std::optional<std::vector<std::string_view>> SplitPath(std::string_view path) {
    if (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    std::vector<std::string_view> parts;
    if (path.empty()) {
        return parts;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view part = path.substr(start, end - start);
        if (part.empty()) {
            return std::nullopt;
        }
        parts.push_back(part);
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string JoinPath(const std::vector<std::string_view>& parts) {
    std::string out;
    for (const auto part : parts) {
        if (!out.empty()) {
            out += '\\';
        }
        out += part;
    }
    return out;
}

}  // namespace

class RegistryImpl {
public:
    RegistryImpl(std::filesystem::path path, bool createsDatabase)
        : path_(std::move(path)), createsDatabase_(createsDatabase) {}
    ~RegistryImpl() { Disconnect(); }
    RegistryImpl(const RegistryImpl&) = delete;
    RegistryImpl& operator=(const RegistryImpl&) = delete;

    // A prepared statement borrowed from the cache, reset when the borrow ends.
    class Stmt {
    public:
        Stmt(RegistryImpl& owner, const char* sql) : stmt_(owner.Prepare(sql, rc_)) {}
        ~Stmt() {
            if (stmt_ != nullptr) {
                sqlite3_reset(stmt_);
                sqlite3_clear_bindings(stmt_);
            }
        }
        Stmt(const Stmt&) = delete;
        Stmt& operator=(const Stmt&) = delete;

        Stmt& Bind(int index, std::int64_t value) {
            if (stmt_ != nullptr) {
                sqlite3_bind_int64(stmt_, index, value);
            }
            return *this;
        }
        Stmt& BindText(int index, std::string_view text) {
            if (stmt_ != nullptr) {
                // 64-bit lengths: an oversized text fails the statement instead of being cut.
                sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC,
                                    SQLITE_UTF8);
            }
            return *this;
        }
        Stmt& BindBlob(int index, std::string_view data) {
            if (stmt_ != nullptr) {
                sqlite3_bind_blob64(stmt_, index, data.data(), data.size(), SQLITE_STATIC);
            }
            return *this;
        }
        int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : rc_; }
        std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
        std::string Bytes(int column) const {
            const void* data = sqlite3_column_blob(stmt_, column);
            const int size = sqlite3_column_bytes(stmt_, column);
            return data != nullptr
                       ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                       : std::string();
        }

    private:
        int rc_ = SQLITE_OK;
        sqlite3_stmt* stmt_;
    };

    // A write of several statements: a transaction of its own, or a savepoint inside the
    // caller's.
    class WriteScope {
    public:
        explicit WriteScope(RegistryImpl& owner) : owner_(owner) {
            outer_ = sqlite3_get_autocommit(owner_.db_) != 0;
            rc_ = owner_.Exec(outer_ ? "BEGIN IMMEDIATE" : "SAVEPOINT reg_write");
            open_ = rc_ == SQLITE_OK;
        }
        ~WriteScope() {
            if (open_) {
                owner_.Exec(outer_ ? "ROLLBACK" : "ROLLBACK TO reg_write; RELEASE reg_write");
            }
        }
        WriteScope(const WriteScope&) = delete;
        WriteScope& operator=(const WriteScope&) = delete;

        int BeginResult() const { return rc_; }
        int Commit() {
            const int rc = owner_.Exec(outer_ ? "COMMIT" : "RELEASE reg_write");
            open_ = rc != SQLITE_OK;
            return rc;
        }

    private:
        RegistryImpl& owner_;
        bool outer_ = true;
        bool open_ = false;
        int rc_ = SQLITE_OK;
    };

    std::recursive_mutex mutex;
    int transactionDepth = 0;

    const std::filesystem::path& Path() const { return path_; }
    sqlite3* Db() const { return db_; }

    int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

    // The store's access rule for the rights in `access`.
    Win32Error Grants(RegAccess access) const {
        struct stat file {};
        const bool exists = ::stat(path_.c_str(), &file) == 0;
        if ((access & kReadRights) != 0 && exists && !CallerMay(file, kRead)) {
            return ERROR_ACCESS_DENIED;
        }
        if ((access & kWriteRights) != 0) {
            if (exists && !CallerMay(file, kWrite)) {
                return ERROR_ACCESS_DENIED;
            }
            const auto folder = path_.has_parent_path() ? path_.parent_path() : ".";
            struct stat dir {};
            if (::stat(folder.c_str(), &dir) != 0) {
                return ERROR_PATH_NOT_FOUND;
            }
            // The journal files live beside the database.
            if (!CallerMay(dir, kWrite) || !CallerMay(dir, kSearch)) {
                return ERROR_ACCESS_DENIED;
            }
        }
        return ERROR_SUCCESS;
    }

    // Opens the connection and checks the schema. `forWrite` creates a missing database and its
    // schema; without it a missing or blank database reports ERROR_FILE_NOT_FOUND (no keys). A
    // registry that does not create its database reports a missing one as ERROR_PATH_NOT_FOUND.
    Win32Error Ready(bool forWrite) {
        Follow();
        if (Win32Error error = Connect(forWrite); error != ERROR_SUCCESS) {
            return error;
        }
        if (schemaOk_) {
            return ERROR_SUCCESS;
        }
        bool blank = false;
        if (Win32Error error = CheckSchema(blank); error != ERROR_SUCCESS) {
            // A store that cannot be read is opened afresh at the next step: nothing of the
            // damaged file stays with a connection that would outlive its mending.
            if (transactionDepth == 0 && sqlite3_get_autocommit(db_) != 0) {
                Disconnect();
            }
            return error;
        }
        if (!blank) {
            return ERROR_SUCCESS;
        }
        if (!forWrite) {
            return ERROR_FILE_NOT_FOUND;
        }
        return CreateSchema();
    }

    // Finds the key at `parts`, creating what is missing when `create` is set.
    Win32Error Resolve(const std::vector<std::string_view>& parts, bool create, std::int64_t& id,
                       bool* created) {
        id = kRootId;
        if (created != nullptr) {
            *created = false;
        }
        for (const auto part : parts) {
            Stmt find(*this, "SELECT id FROM reg_key WHERE parent = ?1 AND name = ?2");
            find.Bind(1, id).BindText(2, part);
            const int rc = find.Step();
            if (rc == SQLITE_ROW) {
                id = find.Int(0);
                continue;
            }
            if (rc != SQLITE_DONE) {
                return FromSqlite(rc, ERROR_CANTREAD);
            }
            if (!create) {
                return ERROR_FILE_NOT_FOUND;
            }
            Stmt insert(*this, "INSERT INTO reg_key(parent, name) VALUES (?1, ?2)");
            insert.Bind(1, id).BindText(2, part);
            if (const int step = insert.Step(); step != SQLITE_DONE) {
                return FromSqlite(step, ERROR_CANTWRITE);
            }
            id = sqlite3_last_insert_rowid(db_);
            if (created != nullptr) {
                *created = true;
            }
        }
        return ERROR_SUCCESS;
    }

    std::int64_t Version() const { return db_ != nullptr ? sqlite3_total_changes64(db_) : 0; }

private:
    // The connection follows the file at the path: a database deleted or replaced since it was
    // opened (or found unreadable: see Ready) (a store mended by putting a good copy in place) is let go, and the next step opens
    // what lies there now, or finds nothing. Never inside a transaction, whose work belongs to
    // the file it began on.
    void Follow() {
        if (db_ == nullptr || transactionDepth > 0 || sqlite3_get_autocommit(db_) == 0) {
            return;
        }
        struct stat file {};
        if (::stat(path_.c_str(), &file) != 0 || file.st_dev != device_ || file.st_ino != inode_) {
            Disconnect();
        }
    }

    void Disconnect() {
        for (auto& [sql, stmt] : statements_) {
            sqlite3_finalize(stmt);
        }
        statements_.clear();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        schemaOk_ = false;
    }

    Win32Error Connect(bool create) {
        if (db_ != nullptr) {
            return ERROR_SUCCESS;
        }
        struct stat file {};
        const bool exists = ::stat(path_.c_str(), &file) == 0;
        if (!exists && !createsDatabase_) {
            // Only the installation step makes a store: one that is gone is a fault to report,
            // never an empty store to start afresh with.
            return ERROR_PATH_NOT_FOUND;
        }
        if (!exists && !create) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (!exists && !CreateStoreFile(path_)) {
            return ERROR_PATH_NOT_FOUND;
        }
        WithdrawWorldAccess(path_);
        // A link planted where the store lies is not followed.
        constexpr int kFlags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
        int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | kFlags, nullptr);
        if (rc != SQLITE_OK && exists) {
            // Not ours to write: reading is still allowed.
            sqlite3_close_v2(db_);
            db_ = nullptr;
            rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | kFlags, nullptr);
        }
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return exists ? FromSqlite(rc, ERROR_CANTOPEN) : ERROR_PATH_NOT_FOUND;
        }
        // The file this connection is on (made now, or there before): Follow compares with it.
        if (struct stat opened{}; ::stat(path_.c_str(), &opened) == 0) {
            device_ = opened.st_dev;
            inode_ = opened.st_ino;
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        Exec("PRAGMA foreign_keys = ON");
        // Commits stay atomic and survive any process crash; a power failure may undo the last
        // ones, as the registry's lazy flushing does on Windows. Syncing each commit doubled the
        // time of a long save.
        Exec("PRAGMA synchronous = NORMAL");
        return ERROR_SUCCESS;
    }

    Win32Error CheckSchema(bool& blank) {
        Stmt check(*this,
                   "SELECT (SELECT application_id FROM pragma_application_id),"
                   " (SELECT user_version FROM pragma_user_version),"
                   " (SELECT count(*) FROM sqlite_schema)");
        const int rc = check.Step();
        if (rc != SQLITE_ROW) {
            return FromSqlite(rc, ERROR_BADDB);
        }
        const auto app = check.Int(0);
        const auto version = check.Int(1);
        const auto objects = check.Int(2);
        blank = app == 0 && version == 0 && objects == 0;
        if (blank) {
            return ERROR_SUCCESS;
        }
        if (app != kApplicationId || version != kSchemaVersion) {
            return ERROR_BADDB;
        }
        schemaOk_ = true;
        return ERROR_SUCCESS;
    }

    Win32Error CreateSchema() {
        // WAL can only be switched on outside a transaction; it stays on in the file.
        if (sqlite3_get_autocommit(db_) != 0) {
            Exec("PRAGMA journal_mode = WAL");
        }
        WriteScope scope(*this);
        if (scope.BeginResult() != SQLITE_OK) {
            return FromSqlite(scope.BeginResult(), ERROR_CANTWRITE);
        }
        // Another process may have been first.
        bool blank = false;
        if (Win32Error error = CheckSchema(blank); error != ERROR_SUCCESS) {
            return error;
        }
        if (blank) {
            if (const int rc = Exec(kSchema); rc != SQLITE_OK) {
                return FromSqlite(rc, ERROR_CANTWRITE);
            }
        }
        if (const int rc = scope.Commit(); rc != SQLITE_OK) {
            return FromSqlite(rc, ERROR_CANTWRITE);
        }
        schemaOk_ = true;
        return ERROR_SUCCESS;
    }

    sqlite3_stmt* Prepare(const char* sql, int& rc) {
        if (db_ == nullptr) {
            rc = SQLITE_MISUSE;
            return nullptr;
        }
        if (auto it = statements_.find(sql); it != statements_.end()) {
            rc = SQLITE_OK;
            return it->second;
        }
        sqlite3_stmt* stmt = nullptr;
        rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        statements_.emplace(sql, stmt);
        return stmt;
    }

    std::filesystem::path path_;
    bool createsDatabase_;
    sqlite3* db_ = nullptr;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool schemaOk_ = false;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;  // keyed by the literal's address
};

// ---------------------------------------------------------------------------------------------
// RegValue

RegValue RegValue::Dword(std::uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) {
        data[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return {REG_DWORD, data};
}

std::optional<std::uint32_t> RegValue::AsDword() const {
    if (type != REG_DWORD || data.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(data[static_cast<std::size_t>(i)]);
    }
    return value;
}

// ---------------------------------------------------------------------------------------------
// Registry

Registry::Registry(std::filesystem::path databasePath)
    : impl_(std::make_shared<RegistryImpl>(std::move(databasePath), true)) {}

Registry::Registry(std::shared_ptr<RegistryImpl> impl) : impl_(std::move(impl)) {}

Registry Registry::Existing(std::filesystem::path databasePath) {
    return Registry(std::make_shared<RegistryImpl>(std::move(databasePath), false));
}

Registry Registry::System() {
    return Existing(RegistryDatabasePath());
}

const std::filesystem::path& Registry::DatabasePath() const {
    return impl_->Path();
}

Win32Error Registry::OpenKey(std::string_view path, RegAccess access, RegKey& key) const {
    key.Close();
    const auto parts = SplitPath(path);
    if (!parts) {
        return ERROR_BAD_PATHNAME;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Grants(access); error != ERROR_SUCCESS) {
        return error;
    }
    std::int64_t id = kRootId;
    if (!parts->empty()) {
        if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
            return error;
        }
        if (Win32Error error = impl_->Resolve(*parts, false, id, nullptr); error != ERROR_SUCCESS) {
            return error;
        }
    }
    key.impl_ = impl_;
    key.id_ = id;
    key.path_ = JoinPath(*parts);
    key.access_ = access;
    return ERROR_SUCCESS;
}

Win32Error Registry::CreateKey(std::string_view path, RegAccess access, RegKey& key,
                               bool* created) const {
    key.Close();
    if (created != nullptr) {
        *created = false;
    }
    const auto parts = SplitPath(path);
    if (!parts) {
        return ERROR_BAD_PATHNAME;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error denied = impl_->Grants(KEY_CREATE_SUB_KEY); denied != ERROR_SUCCESS) {
        // Without the right to create, an existing key may still be opened.
        const Win32Error error = OpenKey(path, access, key);
        return error == ERROR_FILE_NOT_FOUND ? denied : error;
    }
    if (Win32Error error = impl_->Grants(access); error != ERROR_SUCCESS) {
        return error;
    }
    if (Win32Error error = impl_->Ready(true); error != ERROR_SUCCESS) {
        return error;
    }
    std::int64_t id = kRootId;
    // Opening an existing key needs no write lock, so readers never queue behind a writer.
    const Win32Error found =
        parts->empty() ? ERROR_SUCCESS : impl_->Resolve(*parts, false, id, nullptr);
    if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) {
        return found;
    }
    if (found == ERROR_FILE_NOT_FOUND) {
        RegistryImpl::WriteScope scope(*impl_);
        if (scope.BeginResult() != SQLITE_OK) {
            return FromSqlite(scope.BeginResult(), ERROR_CANTWRITE);
        }
        if (Win32Error error = impl_->Resolve(*parts, true, id, created); error != ERROR_SUCCESS) {
            return error;
        }
        if (const int rc = scope.Commit(); rc != SQLITE_OK) {
            if (created != nullptr) {
                *created = false;
            }
            return FromSqlite(rc, ERROR_CANTWRITE);
        }
    }
    key.impl_ = impl_;
    key.id_ = id;
    key.path_ = JoinPath(*parts);
    key.access_ = access;
    return ERROR_SUCCESS;
}

Win32Error Registry::DeleteKey(std::string_view path) const {
    const auto parts = SplitPath(path);
    if (!parts) {
        return ERROR_BAD_PATHNAME;
    }
    if (parts->empty()) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Grants(DELETE); error != ERROR_SUCCESS) {
        return error;
    }
    if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
        return error;
    }
    RegistryImpl::WriteScope scope(*impl_);
    if (scope.BeginResult() != SQLITE_OK) {
        return FromSqlite(scope.BeginResult(), ERROR_CANTWRITE);
    }
    std::int64_t id = kRootId;
    if (Win32Error error = impl_->Resolve(*parts, false, id, nullptr); error != ERROR_SUCCESS) {
        return error;
    }
    RegistryImpl::Stmt children(*impl_, "SELECT 1 FROM reg_key WHERE parent = ?1 LIMIT 1");
    children.Bind(1, id);
    const int rc = children.Step();
    if (rc == SQLITE_ROW) {
        return ERROR_ACCESS_DENIED;
    }
    if (rc != SQLITE_DONE) {
        return FromSqlite(rc, ERROR_CANTREAD);
    }
    RegistryImpl::Stmt remove(*impl_, "DELETE FROM reg_key WHERE id = ?1");
    remove.Bind(1, id);
    if (const int step = remove.Step(); step != SQLITE_DONE) {
        return FromSqlite(step, ERROR_CANTWRITE);
    }
    return FromSqlite(scope.Commit(), ERROR_CANTWRITE);
}

// ---------------------------------------------------------------------------------------------
// RegKey

void RegKey::Close() {
    impl_.reset();
    id_ = -1;
    path_.clear();
    access_ = 0;
    batch_ = NameBatch{};
}

Win32Error RegKey::EnumValue(std::uint32_t index, std::string& name) const {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access_ & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : error;
    }
    const std::int64_t version = impl_->Version();
    const bool current = index != 0 && batch_.version == version;
    const std::uint32_t end = batch_.first + static_cast<std::uint32_t>(batch_.rows.size());
    if (current && index >= batch_.first && index < end) {
        name = batch_.rows[index - batch_.first].second;
        return ERROR_SUCCESS;
    }
    if (current && index == end && batch_.complete) {
        return ERROR_NO_MORE_ITEMS;
    }
    // The next batch follows the last row read; any other index counts from the start.
    const bool next = current && index == end && !batch_.rows.empty();
    RegistryImpl::Stmt query(*impl_, next ? "SELECT id, name FROM reg_value"
                                            " WHERE key_id = ?1 AND id > ?2 ORDER BY id LIMIT ?3"
                                          : "SELECT id, name FROM reg_value"
                                            " WHERE key_id = ?1 ORDER BY id LIMIT ?3 OFFSET ?2");
    query.Bind(1, id_)
        .Bind(2, next ? batch_.rows.back().first : static_cast<std::int64_t>(index))
        .Bind(3, kNameBatch);
    batch_ = NameBatch{index, {}, false, version};
    int rc = SQLITE_OK;
    while ((rc = query.Step()) == SQLITE_ROW) {
        batch_.rows.emplace_back(query.Int(0), query.Bytes(1));
    }
    if (rc != SQLITE_DONE) {
        batch_ = NameBatch{};
        return FromSqlite(rc, ERROR_CANTREAD);
    }
    batch_.complete = batch_.rows.size() < static_cast<std::size_t>(kNameBatch);
    if (batch_.rows.empty()) {
        return ERROR_NO_MORE_ITEMS;
    }
    name = batch_.rows.front().second;
    return ERROR_SUCCESS;
}

Win32Error RegKey::EnumKey(std::uint32_t index, std::string& name) const {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access_ & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : error;
    }
    RegistryImpl::Stmt query(*impl_,
                             "SELECT name FROM reg_key WHERE parent = ?1"
                             " ORDER BY name LIMIT 1 OFFSET ?2");
    query.Bind(1, id_).Bind(2, static_cast<std::int64_t>(index));
    const int rc = query.Step();
    if (rc == SQLITE_ROW) {
        name = query.Bytes(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : FromSqlite(rc, ERROR_CANTREAD);
}

Win32Error RegKey::QueryValue(std::string_view name, RegValue& value) const {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access_ & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
        return error;
    }
    RegistryImpl::Stmt query(*impl_,
                             "SELECT type, data FROM reg_value WHERE key_id = ?1 AND name = ?2");
    query.Bind(1, id_).BindText(2, name);
    const int rc = query.Step();
    if (rc == SQLITE_ROW) {
        value.type = static_cast<RegType>(query.Int(0));
        value.data = query.Bytes(1);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : FromSqlite(rc, ERROR_CANTREAD);
}

Win32Error RegKey::SetValue(std::string_view name, const RegValue& value) {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access_ & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Ready(true); error != ERROR_SUCCESS) {
        return error;
    }
    RegistryImpl::Stmt upsert(*impl_,
                              "INSERT INTO reg_value(key_id, name, type, data)"
                              " VALUES (?1, ?2, ?3, ?4) ON CONFLICT(key_id, name)"
                              " DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, id_).BindText(2, name).Bind(3, value.type).BindBlob(4, value.data);
    return FromSqlite(upsert.Step(), ERROR_CANTWRITE);
}

Win32Error RegKey::DeleteValue(std::string_view name) {
    if (!impl_) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access_ & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(impl_->mutex);
    if (Win32Error error = impl_->Ready(false); error != ERROR_SUCCESS) {
        return error;
    }
    RegistryImpl::Stmt remove(*impl_, "DELETE FROM reg_value WHERE key_id = ?1 AND name = ?2");
    remove.Bind(1, id_).BindText(2, name);
    if (const int rc = remove.Step(); rc != SQLITE_DONE) {
        return FromSqlite(rc, ERROR_CANTWRITE);
    }
    return sqlite3_changes(impl_->Db()) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// ---------------------------------------------------------------------------------------------
// RegTransaction

RegTransaction::RegTransaction(const Registry& registry) : impl_(registry.impl_) {
    impl_->mutex.lock();
    status_ = impl_->Grants(KEY_WRITE);
    if (status_ == ERROR_SUCCESS) {
        status_ = impl_->Ready(true);
    }
    bool readOnly = status_ != ERROR_SUCCESS;
    if (readOnly && impl_->Ready(false) != ERROR_SUCCESS) {
        return;  // nothing to read either
    }
    depth_ = ++impl_->transactionDepth;
    int rc = SQLITE_OK;
    if (depth_ == 1) {
        rc = impl_->Exec(readOnly ? "BEGIN" : "BEGIN IMMEDIATE");
    } else {
        rc = impl_->Exec(("SAVEPOINT reg_tx" + std::to_string(depth_)).c_str());
    }
    if (rc != SQLITE_OK) {
        --impl_->transactionDepth;
        if (status_ == ERROR_SUCCESS) {
            status_ = FromSqlite(rc, ERROR_CANTWRITE);
        }
        return;
    }
    active_ = true;
}

RegTransaction::~RegTransaction() {
    Rollback();
    impl_->mutex.unlock();
}

Win32Error RegTransaction::Commit() {
    if (!active_) {
        return status_;
    }
    active_ = false;
    --impl_->transactionDepth;
    if (sqlite3_get_autocommit(impl_->Db()) != 0) {
        return ERROR_CANTWRITE;  // the database abandoned it after a failed write
    }
    const std::string sql =
        depth_ == 1 ? std::string("COMMIT") : "RELEASE reg_tx" + std::to_string(depth_);
    if (const int rc = impl_->Exec(sql.c_str()); rc != SQLITE_OK) {
        impl_->Exec(depth_ == 1 ? "ROLLBACK"
                                : ("ROLLBACK TO reg_tx" + std::to_string(depth_) +
                                   "; RELEASE reg_tx" + std::to_string(depth_))
                                      .c_str());
        return FromSqlite(rc, ERROR_CANTWRITE);
    }
    return status_;
}

void RegTransaction::Rollback() {
    if (!active_) {
        return;
    }
    active_ = false;
    --impl_->transactionDepth;
    if (sqlite3_get_autocommit(impl_->Db()) != 0) {
        return;
    }
    if (depth_ == 1) {
        impl_->Exec("ROLLBACK");
    } else {
        const std::string name = "reg_tx" + std::to_string(depth_);
        impl_->Exec(("ROLLBACK TO " + name + "; RELEASE " + name).c_str());
    }
}

}  // namespace kestrine::platform
