#include "Config/HostServices.h"

#include "Host/HostContext.h"

namespace FileSystem {
void DCE::GetValue2(const std::string& section, const std::string& key, std::string& value) {
    Host::FaultFails("DCE.GetValue2");
    value = Host::HostContext::Get().GetRemoteConfig(section, key);
}
} // namespace FileSystem

KillSwitchHelper* KillSwitchHelper::getInstance() {
    static KillSwitchHelper helper;
    return &helper;
}

bool KillSwitchHelper::IsFeatureEnabled(const std::string& area, const std::string& flag) {
    Host::FaultFails("KillSwitch.IsFeatureEnabled");
    return Host::HostContext::Get().GetFeatureSwitch(area, flag);
}

int FeaturePermissionAvailable(ProgramFeature feature, UserAction action, unsigned char) {
    Host::FaultFails("Permission.FeaturePermissionAvailable");
    return Host::HostContext::Get().GetPermission(feature, action) ? 1 : 0;
}

bool IsServerMode(int) { return Host::HostContext::Get().Flags().serverMode; }
bool SystemIsOpen() { return Host::HostContext::Get().Flags().open && Host::HostContext::Get().File() != nullptr; }
bool SystemIsClosing() { return Host::HostContext::Get().Flags().closing; }
bool MultiUserMode() { return Host::HostContext::Get().Flags().multiUser; }
