#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "Sql.h"

namespace Host {

// One open company: a single connection, to a SQLite file in WAL mode or to
// a database on a server. Only one SQL transaction can be open on it; the
// DMTransaction that opened it owns it.
class HOST_API CompanyFile : public DBMgr::IDBFileMgr, public std::enable_shared_from_this<CompanyFile> {
public:
    // `path` is a file's path or a server's URL (see CompanyLocation.h).
    // Throws std::runtime_error naming the company and what is wrong with it.
    CompanyFile(const std::string& path, bool create);
    ~CompanyFile() override;
    CompanyFile(const CompanyFile&) = delete;
    CompanyFile& operator=(const CompanyFile&) = delete;

    int GetState() const override { return m_state; }
    DBMgr::DMTransaction* CreateTransaction(int mode, int flags) override;

    // A copy of `source` held in memory in a SQLite database: what is done
    // to it never reaches the company. Throws std::runtime_error.
    static std::shared_ptr<CompanyFile> CopyInMemory(const CompanyFile& source);

    // Closing a file folds its write-ahead log in: one left there by another
    // program stays where it is.
    void KeepOthersLogOnClose();

    // Every table of a company, each after those it refers to, with the
    // column (if any) whose values the store hands out.
    struct Table {
        std::string name;
        std::string numbered;
    };
    static const std::vector<Table>& Tables();

    void SetState(int state) { m_state = state; }
    Connection* Db() const { return m_db.get(); }
    const std::string& Path() const { return m_path; }
    // The location as messages show it (no password).
    std::string Shown() const;

    // Transaction ownership, for DMTransaction.
    void Begin(const DBMgr::DMTransaction* owner);
    bool Commit(const DBMgr::DMTransaction* owner);
    bool Rollback(const DBMgr::DMTransaction* owner);
    bool IsOwner(const DBMgr::DMTransaction* owner) const { return m_owner == owner; }
    bool InTransaction() const { return m_owner != nullptr; }
    void Forget(const DBMgr::DMTransaction* owner);

private:
    void OpenFile(bool create);
    void OpenServer(bool create);
    // Brings a company of schema version `from` (0 for a new one) up to date.
    void Migrate(int from);

    std::string m_path;
    std::unique_ptr<Connection> m_db;
    int m_state = 0;
    const DBMgr::DMTransaction* m_owner = nullptr;
};

// Copies every row of `source` into `destination`, a company with nothing in
// it yet (a new one: its own key gives way to the source's), in one unit of
// work: all of it or, on any failure, none. The ids either store hands out
// next stay past every copied one. Throws std::runtime_error naming the
// company and the cause.
HOST_API void CopyCompany(const CompanyFile& source, CompanyFile& destination);

} // namespace Host
