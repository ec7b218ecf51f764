#pragma once

#include "Util/HostApi.h"

// Application messages. A message built on the heap belongs to the host's
// queue from its construction on: the host loop calls ProcessMsg and deletes
// it. A message destroyed before the loop reached it leaves the queue.
class HOST_API AppMsg {
public:
    AppMsg() = default;
    AppMsg(const AppMsg&) = default;
    AppMsg(AppMsg&&) = default;
    AppMsg& operator=(const AppMsg&) = default;
    AppMsg& operator=(AppMsg&&) = default;
    virtual ~AppMsg();
    virtual void ProcessMsg() = 0;
};

class HOST_API SequencedAppMsg : public AppMsg {
public:
    SequencedAppMsg();
    SequencedAppMsg(const SequencedAppMsg& other);
    SequencedAppMsg(SequencedAppMsg&& other) noexcept;
    SequencedAppMsg& operator=(const SequencedAppMsg& other);
    SequencedAppMsg& operator=(SequencedAppMsg&& other) noexcept;
    ~SequencedAppMsg() override;
};
