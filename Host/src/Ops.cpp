#include "Util/Ops.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Host/HostContext.h"

namespace Util {

Ops* GetOps() {
    static Ops ops;
    return &ops;
}

Ops::MessageFunctor::MessageFunctor(Ops* ops, int level, int eventType, const char* file, int line,
                                    const char* function, const char* signature)
    : m_ops(ops), m_level(level), m_eventType(eventType), m_file(file), m_line(line), m_function(function),
      m_signature(signature) {}

void Ops::MessageFunctor::operator()(const char* format, ...) const {
    if (!m_ops) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        message.assign(buffer.data(), static_cast<std::size_t>(needed));
    }
    va_end(args);
    LogRecord record;
    record.level = m_level;
    record.eventType = m_eventType;
    record.file = m_file ? m_file : "";
    record.line = m_line;
    record.function = m_function ? m_function : "";
    record.signature = m_signature ? m_signature : "";
    record.message = std::move(message);
    Host::HostContext::Get().Log(record);
}

std::string QualifiedFunctionName(const char* pretty) {
    // "void Ns::Class::Method(int) const" -> "Class::Method": the text before
    // the parameter list, after the return type, without namespaces beyond
    // the class.
    std::string s(pretty ? pretty : "");
    std::size_t open = std::string::npos;
    int depth = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<') ++depth;
        else if (s[i] == '>') --depth;
        else if (s[i] == '(' && depth == 0) {
            // Skip "operator()" itself.
            if (i >= 8 && s.compare(i - 8, 8, "operator") == 0 && i + 1 < s.size() && s[i + 1] == ')') {
                ++i;
                continue;
            }
            open = i;
            break;
        }
    }
    std::string head = s.substr(0, open);
    depth = 0;
    std::size_t start = 0;
    for (std::size_t i = head.size(); i-- > 0;) {
        if (head[i] == '>') ++depth;
        else if (head[i] == '<') --depth;
        else if (head[i] == ' ' && depth == 0) {
            start = i + 1;
            break;
        }
    }
    std::string name = head.substr(start);
    // Keep the last two components: Class::Method.
    std::size_t last = name.rfind("::");
    if (last != std::string::npos && last > 0) {
        std::size_t prev = name.rfind("::", last - 1);
        if (prev != std::string::npos) name = name.substr(prev + 2);
    }
    return name;
}

} // namespace Util
