#pragma once

#include <map>
#include <string>

namespace app {

// Values a message template can name as {{key}}: customer, invoice, amount,
// due_date, days_overdue, company, statement_from, statement_to.
using Placeholders = std::map<std::string, std::string>;

// Replaces every {{key}} that has a value; unknown keys stay as written so a
// misspelt placeholder is visible in the message rather than silently empty.
std::string Render(const std::string& text, const Placeholders& values);

// Writes `content` to dir/name so that the file either does not exist or is
// complete: a temporary file, flushed to disk, then renamed into place.
// Returns false (errno set) when it could not.
bool WriteFileAtomically(const std::string& dir, const std::string& name, const std::string& content);
bool FileExists(const std::string& path);
// Removes the temporary files that writers killed half-way left in `dir`
// (".<name>.tmp<pid>"). Only safe while no other writer uses the folder.
// Returns how many it removed.
int RemoveStaleTemporaries(const std::string& dir);
bool MakeDirectories(const std::string& dir);

} // namespace app
