#include "Util/MemoryManager.h"

#include <cstdlib>

#include "Host/HostContext.h"

namespace Util {

MemoryManager::MemoryManager() = default;

MemoryManager::~MemoryManager() {
    // Blocks still held at process exit belong to nobody any more.
    for (auto& entry : m_live) std::free(entry.first);
}

void* MemoryManager::Allocate(std::size_t bytes) {
    if (Host::FaultFails("MemoryManager.Allocate")) return nullptr;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (!block) return nullptr;
    m_live.emplace(block, bytes);
    m_liveBytes += bytes;
    return block;
}

void MemoryManager::Free(void* block) {
    if (!block) return;
    const auto it = m_live.find(block);
    if (it == m_live.end()) return;
    m_liveBytes -= it->second;
    m_live.erase(it);
    std::free(block);
}

std::size_t MemoryManager::LiveBlocks() const {
    return m_live.size();
}

std::size_t MemoryManager::LiveBytes() const {
    return m_liveBytes;
}

MemoryManager* GetMemoryManager() {
    static MemoryManager manager;
    return &manager;
}

} // namespace Util
