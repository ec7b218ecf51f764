#pragma once

// The host's message templates (e-mail subject and body texts) and their
// template types. Same calling convention as Records/ReminderRecords.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DB/DBManager.h"
#include "Util/HostApi.h"
#include "Util/Status.h"
#include "Util/TString.h"

namespace MessageTemplateLimits {
constexpr std::size_t kNameChars = 127;
constexpr std::size_t kSubjectChars = 256;
constexpr std::size_t kBodyChars = 32000;
constexpr std::size_t kTypeNameChars = 127;
constexpr std::size_t kTypeTextChars = 1024;
} // namespace MessageTemplateLimits

class HOST_API MessageTemplateAdapter {
public:
    // Absent type: succeeds with 6042 and empties `name`.
    static Util::Status LoadTemplateType(long typeId, std::string& name, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status LoadTemplateType(long typeId, Util::TString& name, DBMgr::DMTransaction* txn = nullptr);
    // Fails when the type exists already.
    static Util::Status AddTemplateType(long typeId, const std::string& name, const std::string& text,
                                        DBMgr::DMTransaction* txn = nullptr);

    // Writes a template of type `typeId`. An id that is not positive creates
    // a new template and hands its id back through `id`; a positive id
    // replaces that template (failing with 6042 when there is none). A text
    // over its limit in characters, or holding a NUL, is refused (6043) and
    // nothing is written. `ownerId` and `options` are kept as given.
    static Util::Status Save(long typeId, long& id, long ownerId, const std::string& name, const std::string& body,
                             const std::string& subject, long options, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status Save(long typeId, int& id, long ownerId, const std::string& name, const std::string& body,
                             const std::string& subject, long options, DBMgr::DMTransaction* txn = nullptr);

    // Deleting an absent template succeeds with 6042.
    static Util::Status DeleteTemplate(long id, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status DeleteBatchTemplate(const std::vector<long>& ids, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status DeleteBatchTemplate(const std::vector<unsigned long>& ids, DBMgr::DMTransaction* txn = nullptr);
    static Util::Status DeleteBatchTemplate(const std::vector<int>& ids, DBMgr::DMTransaction* txn = nullptr);
};

namespace DMMessageTemplate {

class HOST_API IDBMessageTemplate {
public:
    IDBMessageTemplate() = default;

    // Absent: succeeds with 6042 and leaves the object empty.
    Util::Status Load(long id, DBMgr::DMTransaction* txn = nullptr);

    long GetTemplateId() const { return m_id; }
    long GetTemplateTypeId() const { return m_typeId; }
    long GetTypeId() const { return m_typeId; }
    long GetOwnerId() const { return m_ownerId; }
    long GetOptions() const { return m_options; }
    const std::string& GetName() const { return m_name; }
    const std::string& GetSubject() const { return m_subject; }
    const std::string& GetBody() const { return m_body; }
    // Copies into a caller's buffer of `size` bytes, cut and NUL-terminated.
    void GetName(char* buffer, std::size_t size) const;
    void GetSubject(char* buffer, std::size_t size) const;
    void GetBody(char* buffer, std::size_t size) const;

private:
    long m_id = 0;
    long m_typeId = 0;
    long m_ownerId = 0;
    long m_options = 0;
    std::string m_name;
    std::string m_subject;
    std::string m_body;
};

} // namespace DMMessageTemplate
