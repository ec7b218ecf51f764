#include "Records/MessageTemplates.h"

#include <string>
#include <utility>

#include "RecordStore.h"
#include "Records/RecordText.h"

using Host::Records::FitsInt32;
using Host::Records::Missing;
using Host::Records::Read;
using Host::Records::Refused;
using Host::Records::Write;
using Host::Stmt;
using Util::Status;

namespace Limits = MessageTemplateLimits;

Status MessageTemplateAdapter::LoadTemplateType(long typeId, std::string& name, DBMgr::DMTransaction* txn) {
    return Read("MessageTemplate.LoadTemplateType", txn, [&](Host::Connection* db) {
        Stmt q(db, "SELECT name FROM message_template_types WHERE type_id = ?1");
        q.Bind(1, static_cast<std::int32_t>(typeId));
        if (!q.Step()) {
            name.clear();
            return Status::NotFound();
        }
        name = q.Text(0);
        return Status::GetSucceeded();
    });
}

Status MessageTemplateAdapter::LoadTemplateType(long typeId, Util::TString& name, DBMgr::DMTransaction* txn) {
    std::string text;
    Status status = LoadTemplateType(typeId, text, txn);
    if (status.Succeeded()) name = Util::TString(text);
    return status;
}

Status MessageTemplateAdapter::AddTemplateType(long typeId, const std::string& name, const std::string& text,
                                               DBMgr::DMTransaction* txn) {
    return Write("MessageTemplate.AddTemplateType", txn, [&](Host::Connection* db) {
        Stmt(db, "INSERT INTO message_template_types(type_id, name, text) VALUES(?1, ?2, ?3)")
            .Bind(1, static_cast<std::int32_t>(typeId))
            .Bind(2, Host::TruncateUtf8(name, Limits::kTypeNameChars))
            .Bind(3, Host::TruncateUtf8(text, Limits::kTypeTextChars))
            .Run();
        return Status::GetSucceeded();
    });
}

Status MessageTemplateAdapter::Save(long typeId, long& id, long ownerId, const std::string& name,
                                    const std::string& body, const std::string& subject, long options,
                                    DBMgr::DMTransaction* txn) {
    // Stored whole or refused: a cut template would go out as a message
    // nobody wrote.
    for (const auto& [text, limit] : {std::pair<const std::string&, std::size_t>{name, Limits::kNameChars},
                                      {body, Limits::kBodyChars},
                                      {subject, Limits::kSubjectChars}}) {
        if (Host::Utf8Length(text) > limit || text.find('\0') != std::string::npos) return Refused();
    }
    const std::int32_t ownId = static_cast<std::int32_t>(id);
    long newId = id;
    Status status = Write("MessageTemplate.Save", txn, [&](Host::Connection* db) {
        if (ownId > 0) {
            Stmt(db, "UPDATE message_templates SET type_id = ?2, owner_id = ?3, name = ?4, subject = ?5, body = ?6, "
                     "options = ?7 WHERE id = ?1")
                .Bind(1, ownId)
                .Bind(2, static_cast<std::int32_t>(typeId))
                .Bind(3, static_cast<std::int32_t>(ownerId))
                .Bind(4, name)
                .Bind(5, subject)
                .Bind(6, body)
                .Bind(7, static_cast<std::int32_t>(options))
                .Run();
            if (db->Changes() == 0) return Missing();
            newId = ownId;
            return Status::GetSucceeded();
        }
        Stmt ins(db, Host::Records::InsertReturning(db, "INSERT INTO message_templates(type_id, owner_id, name, subject, body, options) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)", "id").c_str());
        ins.Bind(1, static_cast<std::int32_t>(typeId))
            .Bind(2, static_cast<std::int32_t>(ownerId))
            .Bind(3, name)
            .Bind(4, subject)
            .Bind(5, body)
            .Bind(6, static_cast<std::int32_t>(options));
        std::int32_t added = 0;
        if (!Host::Records::NewId32(db, ins, added)) return Status::GetFailed();
        newId = added;
        return Status::GetSucceeded();
    });
    // The caller's id changes only when the template was written.
    if (status.Succeeded()) id = newId;
    return status;
}

Status MessageTemplateAdapter::Save(long typeId, int& id, long ownerId, const std::string& name,
                                    const std::string& body, const std::string& subject, long options,
                                    DBMgr::DMTransaction* txn) {
    long wide = id;
    Status status = Save(typeId, wide, ownerId, name, body, subject, options, txn);
    id = static_cast<int>(wide);
    return status;
}

Status MessageTemplateAdapter::DeleteTemplate(long id, DBMgr::DMTransaction* txn) {
    return Write("MessageTemplate.DeleteTemplate", txn, [&](Host::Connection* db) {
        Stmt(db, "DELETE FROM message_templates WHERE id = ?1").Bind(1, static_cast<std::int32_t>(id)).Run();
        return db->Changes() > 0 ? Status::GetSucceeded() : Status::NotFound();
    });
}

namespace {
template <class Id>
Status DeleteMany(const std::vector<Id>& ids, DBMgr::DMTransaction* txn) {
    return Write("MessageTemplate.DeleteBatchTemplate", txn, [&](Host::Connection* db) {
        Stmt del(db, "DELETE FROM message_templates WHERE id = ?1");
        for (Id id : ids) {
            del.Reset();
            del.Bind(1, static_cast<long long>(static_cast<std::int32_t>(id)));
            del.Run();
        }
        return Status::GetSucceeded();
    });
}
} // namespace

Status MessageTemplateAdapter::DeleteBatchTemplate(const std::vector<long>& ids, DBMgr::DMTransaction* txn) {
    return DeleteMany(ids, txn);
}
Status MessageTemplateAdapter::DeleteBatchTemplate(const std::vector<unsigned long>& ids, DBMgr::DMTransaction* txn) {
    return DeleteMany(ids, txn);
}
Status MessageTemplateAdapter::DeleteBatchTemplate(const std::vector<int>& ids, DBMgr::DMTransaction* txn) {
    return DeleteMany(ids, txn);
}

namespace DMMessageTemplate {

Status IDBMessageTemplate::Load(long id, DBMgr::DMTransaction* txn) {
    return Read("MessageTemplate.Load", txn, [&](Host::Connection* db) {
        Stmt q(db, "SELECT id, type_id, owner_id, name, subject, body, options FROM message_templates WHERE id = ?1");
        q.Bind(1, static_cast<std::int32_t>(id));
        if (!q.Step()) {
            *this = IDBMessageTemplate();
            return Status::NotFound();
        }
        m_id = static_cast<long>(q.Int(0));
        m_typeId = static_cast<long>(q.Int(1));
        m_ownerId = static_cast<long>(q.Int(2));
        m_name = q.Text(3);
        m_subject = q.Text(4);
        m_body = q.Text(5);
        m_options = static_cast<long>(q.Int(6));
        return Status::GetSucceeded();
    });
}

void IDBMessageTemplate::GetName(char* buffer, std::size_t size) const { Host::CopyBoundedText(buffer, size, m_name); }
void IDBMessageTemplate::GetSubject(char* buffer, std::size_t size) const {
    Host::CopyBoundedText(buffer, size, m_subject);
}
void IDBMessageTemplate::GetBody(char* buffer, std::size_t size) const { Host::CopyBoundedText(buffer, size, m_body); }

} // namespace DMMessageTemplate
