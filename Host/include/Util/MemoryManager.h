#pragma once

#include <cstddef>
#include <unordered_map>

#include "Util/HostApi.h"

namespace Util {

// The host's allocator for blocks that cross between the application and
// its modules (statement customer lists and the like): whoever frees a block
// does so through the same manager, whichever module allocated it.
class HOST_API MemoryManager {
public:
    MemoryManager();
    ~MemoryManager();
    MemoryManager(const MemoryManager&) = delete;
    MemoryManager& operator=(const MemoryManager&) = delete;

    // An uninitialised block of `bytes` (at least one byte is reserved), or
    // null when none can be had (fault point "MemoryManager.Allocate").
    void* Allocate(std::size_t bytes);
    // Releases a block of this manager; null and foreign pointers are ignored,
    // so a block freed twice is not freed again.
    void Free(void* block);

    // Blocks allocated and not yet freed, and their bytes.
    std::size_t LiveBlocks() const;
    std::size_t LiveBytes() const;

private:
    std::unordered_map<void*, std::size_t> m_live;
    std::size_t m_liveBytes = 0;
};

HOST_API MemoryManager* GetMemoryManager();

} // namespace Util
