#include "Sql.h"

namespace Host {

Stmt::Stmt(Connection& db, const char* sql) : m_db(&db), m_cursor(db.Prepare(sql)) {}

Stmt::~Stmt() { m_db->Recycle(std::move(m_cursor)); }

} // namespace Host
