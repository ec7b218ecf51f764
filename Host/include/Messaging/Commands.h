#pragma once

#include <map>
#include <string>

#include "Util/HostApi.h"

// Host commands and one-time messages.
class HOST_API CArguments {
public:
    void PutBool(const std::string& name, bool value);
    // False when the argument is absent.
    bool GetBool(const std::string& name, bool fallback = false) const;
    bool Has(const std::string& name) const;

private:
    std::map<std::string, bool> m_bools;
};

class HOST_API CCommandAndArgs {
public:
    CCommandAndArgs(const std::string& command, const CArguments& args) : m_command(command), m_args(args) {}
    const std::string& Command() const { return m_command; }
    const CArguments& Args() const { return m_args; }

private:
    std::string m_command;
    CArguments m_args;
};

// Runs a registered host command; false when no command has that name.
HOST_API bool ExecuteCommand(const CCommandAndArgs& command);

using HINSTANCE = void*;
HOST_API HINSTANCE GetMXWinInstance();
// Shows host message `id` unless it was already shown for this company file.
// Returns 1 when shown, 0 otherwise.
HOST_API int OneTimeMessage(HINSTANCE instance, int id, int a, int b, int c);
