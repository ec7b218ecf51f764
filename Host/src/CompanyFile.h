#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "DB/DBManager.h"

namespace Host {

// One open company file: a single SQLite connection in WAL mode. Only one
// SQL transaction can be open on it; the DMTransaction that opened it owns it.
class HOST_API CompanyFile : public DBMgr::IDBFileMgr, public std::enable_shared_from_this<CompanyFile> {
public:
    // Throws std::runtime_error naming the file and what is wrong with it.
    CompanyFile(const std::string& path, bool create);
    ~CompanyFile() override;
    CompanyFile(const CompanyFile&) = delete;
    CompanyFile& operator=(const CompanyFile&) = delete;

    int GetState() const override { return m_state; }
    DBMgr::DMTransaction* CreateTransaction(int mode, int flags) override;

    // A copy of `source` held in memory (SQLite's backup): what is done to
    // it never reaches the file. Throws std::runtime_error.
    static std::shared_ptr<CompanyFile> CopyInMemory(const CompanyFile& source);

    void SetState(int state) { m_state = state; }
    sqlite3* Db() const { return m_db.get(); }
    const std::string& Path() const { return m_path; }

    // Transaction ownership, for DMTransaction.
    void Begin(const DBMgr::DMTransaction* owner);
    bool Commit(const DBMgr::DMTransaction* owner);
    bool Rollback(const DBMgr::DMTransaction* owner);
    bool IsOwner(const DBMgr::DMTransaction* owner) const { return m_owner == owner; }
    bool InTransaction() const { return m_owner != nullptr; }
    void Forget(const DBMgr::DMTransaction* owner);

private:
    // Brings a file of schema version `from` (0 for a new file) up to date.
    void Migrate(int from);

    // Closing drops the connection's cached statements first, which SQLite
    // needs finalised before it lets the connection go.
    struct Closer {
        void operator()(sqlite3* db) const;
    };

    std::string m_path;
    std::unique_ptr<sqlite3, Closer> m_db;
    int m_state = 0;
    const DBMgr::DMTransaction* m_owner = nullptr;
};

} // namespace Host
