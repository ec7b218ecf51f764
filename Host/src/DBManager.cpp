#include "DB/DBManager.h"

#include <stdexcept>

#include "CompanyFile.h"
#include "Host/HostContext.h"

namespace DBMgr {

DMTransaction::DMTransaction(std::weak_ptr<Host::CompanyFile> file) : m_file(std::move(file)) {}

DMTransaction::~DMTransaction() {
    if (auto file = m_file.lock()) file->Forget(this);
}

bool DMTransaction::Commit() {
    auto file = m_file.lock();
    if (!file) return false;
    if (Host::FaultFails("DMTransaction.Commit")) {
        file->Rollback(this);
        return false;
    }
    return file->Commit(this);
}

int DMTransaction::Rollback() {
    auto file = m_file.lock();
    if (!file) return 0;
    Host::FaultKind kind{};
    const bool injected = Host::HostContext::Get().HitFault("DMTransaction.Rollback", &kind);
    const bool rolledBack = file->Rollback(this);
    if (injected && (kind == Host::FaultKind::RollbackZero || kind == Host::FaultKind::Fail)) return 0;
    return rolledBack ? 1 : 0;
}

void DMTransaction::BeginWrite() {
    auto file = m_file.lock();
    if (!file) throw std::runtime_error("the company file of this transaction is closed");
    file->Begin(this);
}

bool DMTransaction::HasPendingWrites() const {
    auto file = m_file.lock();
    return file && file->IsOwner(this);
}

IDBFileMgr* DBManager::GetActiveFileMgr() { return Host::HostContext::Get().File(); }

} // namespace DBMgr
