#include "Util/Factory.h"

#include <map>
#include <utility>

namespace Util {

ArgumentPacket::~ArgumentPacket() = default;
ArgumentPacket0P::~ArgumentPacket0P() = default;
BasicDeferredFactory::~BasicDeferredFactory() = default;

namespace {
struct Registry {
    std::map<std::pair<std::string, std::string>, std::shared_ptr<BasicDeferredFactory>> factories;
};
Registry& TheRegistry() {
    static Registry registry;
    return registry;
}
} // namespace

BasicDeferredFactory* FactoryRegistrar::GetFactory(const std::string& key, const std::string& module) {
    Registry& r = TheRegistry();
    auto it = r.factories.find({key, module});
    return it == r.factories.end() ? nullptr : it->second.get();
}

void FactoryRegistrar::Register(const std::string& key, const std::string& module,
                                std::shared_ptr<BasicDeferredFactory> factory) {
    Registry& r = TheRegistry();
    r.factories[{key, module}] = std::move(factory);
}

void FactoryRegistrar::Unregister(const std::string& key, const std::string& module) {
    Registry& r = TheRegistry();
    r.factories.erase({key, module});
}

} // namespace Util
