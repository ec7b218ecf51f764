#pragma once

#include <memory>
#include <string>

#include "Util/HostApi.h"

namespace Util {

class HOST_API ArgumentPacket {
public:
    virtual ~ArgumentPacket();
};

// A packet that carries no value.
class HOST_API ArgumentPacket0P : public ArgumentPacket {
public:
    ~ArgumentPacket0P() override;
};

// A factory registered with the host under a key and a module name. Create
// (its second operation) returns a new object that the caller owns.
class HOST_API BasicDeferredFactory {
public:
    virtual ~BasicDeferredFactory();
    virtual void* Create(const ArgumentPacket& args) = 0;
};

class HOST_API FactoryRegistrar {
public:
    // Null when nothing is registered under the key and module.
    static BasicDeferredFactory* GetFactory(const std::string& key, const std::string& module);
    static void Register(const std::string& key, const std::string& module,
                         std::shared_ptr<BasicDeferredFactory> factory);
    static void Unregister(const std::string& key, const std::string& module);
};

} // namespace Util

#include <stdexcept>

namespace Util {

// A proxy part that creates its object through a registered factory on first
// use. A failed creation leaves the instance null so that the next use tries
// again; once created, the instance lives as long as the proxy.
template <class Interface, class Factory>
class BasicProxyWithDeferredFactory {
public:
    BasicProxyWithDeferredFactory(std::string key, std::string module, std::unique_ptr<ArgumentPacket> packet,
                                  std::string interfaceName)
        : m_key(std::move(key)), m_module(std::move(module)), m_packet(std::move(packet)),
          m_interfaceName(std::move(interfaceName)) {}

    Interface* Instance() {
        if (m_instance) return m_instance.get();
        if (!m_packet) throw std::runtime_error(m_interfaceName + " -- Invalid Initialization Argument Packet");
        Factory* factory = FactoryRegistrar::GetFactory(m_key, m_module);
        if (!factory) throw std::runtime_error(m_interfaceName + " -- Internal Factory Error");
        auto* created = static_cast<Interface*>(factory->Create(*m_packet));
        if (!created) throw std::runtime_error(m_interfaceName + " -- Invalid output from client Factory method");
        m_instance.reset(created);
        return created;
    }

    const std::string& Key() const { return m_key; }

private:
    std::string m_key;
    std::string m_module;
    std::unique_ptr<ArgumentPacket> m_packet;
    std::string m_interfaceName;
    std::unique_ptr<Interface> m_instance;
};

} // namespace Util
