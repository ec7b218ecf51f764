#pragma once

#include "Util/HostApi.h"

// Host notifications. A CNotify<T> registers itself for T's notification when
// constructed and unregisters when destroyed.
class HOST_API CNotificationBase {
public:
    CNotificationBase() = default;
    CNotificationBase(const CNotificationBase&) = delete;
    CNotificationBase& operator=(const CNotificationBase&) = delete;
    virtual ~CNotificationBase();
    // Hands the data on to the typed handler.
    virtual void NotifyPasser(const void* data) = 0;
};

struct CNotifyDataCloseSystem {
    int reason = 0;
};

namespace Host {
HOST_API void RegisterCloseSystemHandler(CNotificationBase* handler);
HOST_API void UnregisterCloseSystemHandler(CNotificationBase* handler);
} // namespace Host

template <class Data>
class CNotify;

template <>
class CNotify<CNotifyDataCloseSystem> : public CNotificationBase {
public:
    CNotify() { Host::RegisterCloseSystemHandler(this); }
    ~CNotify() override { Host::UnregisterCloseSystemHandler(this); }
    void NotifyPasser(const void* data) override { Notify(*static_cast<const CNotifyDataCloseSystem*>(data)); }
    virtual void Notify(const CNotifyDataCloseSystem& data) = 0;
};
