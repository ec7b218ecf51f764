#pragma once

#include <memory>

#include "Util/HostApi.h"

namespace Host {
class CompanyFile;
}

namespace DBMgr {

// A unit of work on the open company file. The SQL transaction starts with the
// first write made through the handle and ends on Commit or Rollback; a handle
// destroyed with pending writes rolls them back.
class HOST_API DMTransaction {
public:
    explicit DMTransaction(std::weak_ptr<Host::CompanyFile> file);
    virtual ~DMTransaction();
    DMTransaction(const DMTransaction&) = delete;
    DMTransaction& operator=(const DMTransaction&) = delete;

    virtual bool Commit();
    // Non-zero on success.
    virtual int Rollback();

    // Host side: called by the record store before each write. Throws when
    // the company file it was taken from is no longer open.
    void BeginWrite();
    bool HasPendingWrites() const;
    // Null once the company file is closed.
    std::shared_ptr<Host::CompanyFile> File() const { return m_file.lock(); }

private:
    std::weak_ptr<Host::CompanyFile> m_file;
};

class HOST_API IDBFileMgr {
public:
    virtual ~IDBFileMgr() = default;
    // 1 while the file is being re-indexed: no reminder work then.
    virtual int GetState() const = 0;
    // The caller owns the handle (null when the file cannot give one).
    virtual DMTransaction* CreateTransaction(int mode, int flags) = 0;
};

class HOST_API DBManager {
public:
    static IDBFileMgr* GetActiveFileMgr();
};

} // namespace DBMgr
