#pragma once

#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace app {

// Values a message template can name as {{key}}: customer, invoice, amount,
// due_date, days_overdue, company, statement_from, statement_to.
using Placeholders = std::map<std::string, std::string>;

// Replaces every {{key}} that has a value; unknown keys stay as written so a
// misspelt placeholder is visible in the message rather than silently empty.
std::string Render(const std::string& text, const Placeholders& values);

// Walks a template: `literal` gets each stretch of plain text, `placeholder`
// each {{ key }} with its key trimmed and the placeholder as written.
void ScanPlaceholders(const std::string& text, const std::function<void(const char*, std::size_t)>& literal,
                      const std::function<void(const std::string& key, const std::string& raw)>& placeholder);

bool FileExists(const std::string& path);
// Removes the temporary files that writers killed half-way left in `dir`
// (".<name>.tmp<pid>"). Only safe while no other writer uses the folder.
// Returns how many it removed.
// `others`, when given, receives the names of everything else in the folder.
int RemoveStaleTemporaries(const std::string& dir, std::unordered_set<std::string>* others = nullptr);

// Many files written into one folder so that each either does not exist or
// is complete, at the cost of one flush to disk for the lot instead of two
// per file: each is written under a temporary name, the file system is
// flushed once, then every file is renamed into place and the folder flushed
// once. Temporaries not committed are removed when the batch ends.
class OutboxBatch {
public:
    explicit OutboxBatch(std::string dir);
    ~OutboxBatch();
    OutboxBatch(const OutboxBatch&) = delete;
    OutboxBatch& operator=(const OutboxBatch&) = delete;

    // Writes `content` under a temporary name for `name`; false (errno set)
    // when it could not, and then nothing of it is left.
    bool Add(const std::string& name, const std::string& content);
    std::size_t Size() const { return m_files.size(); }
    std::size_t Bytes() const { return m_bytes; }
    // Makes the added files durable under their own names, in the order
    // added: ok[i] says whether the i-th is in place. Empties the batch.
    std::vector<bool> Commit();

private:
    struct Pending {
        std::string temp, final;
    };
    std::string m_dir;
    std::vector<Pending> m_files;
    std::size_t m_bytes = 0;
};
bool MakeDirectories(const std::string& dir);

} // namespace app
