#pragma once

#include <string>

#include "Util/HostApi.h"

// Remote configuration, feature switches, user rights and system state.
namespace FileSystem {
class HOST_API DCE {
public:
    // Leaves value empty when the key is unset. May throw.
    static void GetValue2(const std::string& section, const std::string& key, std::string& value);
};
} // namespace FileSystem

class HOST_API KillSwitchHelper {
public:
    static KillSwitchHelper* getInstance();
    // An unset switch is on. May throw.
    bool IsFeatureEnabled(const std::string& area, const std::string& flag);
};

enum ProgramFeature : int {};
enum UserAction : int {};
// Nonzero when the current user may take the action on the feature.
HOST_API int FeaturePermissionAvailable(ProgramFeature feature, UserAction action, unsigned char flag);

HOST_API bool IsServerMode(int reserved);
HOST_API bool SystemIsOpen();
HOST_API bool SystemIsClosing();
HOST_API bool MultiUserMode();
