#pragma once

#include <string>

#include "Util/HostApi.h"

namespace Util {

// The host logging service. A MessageFunctor carries where a line comes from;
// calling it formats the message printf-style and hands the line to the host.
class HOST_API Ops {
public:
    class HOST_API MessageFunctor {
    public:
        MessageFunctor(Ops* ops, int level, int eventType, const char* file, int line,
                       const char* function, const char* signature);
        void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    private:
        Ops* m_ops;
        int m_level;
        int m_eventType;
        const char* m_file;
        int m_line;
        const char* m_function;
        const char* m_signature;
    };
};

HOST_API Ops* GetOps();

// One log line as the host keeps it.
struct LogRecord {
    int level = 0;
    int eventType = 0;
    std::string file;
    int line = 0;
    std::string function;
    std::string signature;
    std::string message;
};

// "Class::Method" out of a compiler's pretty function text, for log lines.
HOST_API std::string QualifiedFunctionName(const char* prettyFunction);

} // namespace Util
