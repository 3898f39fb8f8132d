// The local heap and the thread's last error on Linux.
#include <windows.h>

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// Each block starts with a header that keeps its size, so that LocalReAlloc can zero what it adds.
struct alignas(16) BlockHeader {
    SIZE_T size;
};

thread_local DWORD lastError = 0;

BlockHeader *HeaderOf(HLOCAL memory)
{
    return static_cast<BlockHeader *>(memory) - 1;
}

// Reservations by start address, with their length, which munmap needs.
std::mutex reservationsLock;
std::map<std::uintptr_t, SIZE_T> reservations;

} // namespace

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    // calloc leaves a large block's fresh pages untouched, so that what is never written takes
    // no memory.
    auto *header = static_cast<BlockHeader *>((flags & LMEM_ZEROINIT) ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                                                      : std::malloc(sizeof(BlockHeader) + bytes));
    if (header == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    header->size = bytes;
    return header + 1;
}

HLOCAL LocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags)
{
    if (memory == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SIZE_T oldSize = HeaderOf(memory)->size;
    if (bytes > oldSize && !(flags & LMEM_MOVEABLE)) {
        // A fixed block cannot move, and this heap never grows one in place.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *header = static_cast<BlockHeader *>(std::realloc(HeaderOf(memory), sizeof(BlockHeader) + bytes));
    if (header == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    header->size = bytes;
    if ((flags & LMEM_ZEROINIT) && bytes > oldSize)
        std::memset(reinterpret_cast<BYTE *>(header + 1) + oldSize, 0, bytes - oldSize);
    return header + 1;
}

HLOCAL LocalFree(HLOCAL memory)
{
    if (memory != nullptr)
        std::free(HeaderOf(memory));
    return nullptr;
}

SIZE_T LocalSize(HLOCAL memory)
{
    return memory == nullptr ? 0 : HeaderOf(memory)->size;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protection)
{
    int access = protection == PAGE_READWRITE ? PROT_READ | PROT_WRITE : PROT_NONE;
    if (bytes == 0 || (type & (MEM_RESERVE | MEM_COMMIT)) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (type & MEM_RESERVE) {
        // Pages of a reservation cost nothing until they are committed and touched.
        int reserveAccess = (type & MEM_COMMIT) ? access : PROT_NONE;
        void *block = mmap(address, bytes, reserveAccess, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block == MAP_FAILED) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(reservationsLock);
        reservations[reinterpret_cast<std::uintptr_t>(block)] = bytes;
        return block;
    }
    if (address == nullptr || mprotect(address, bytes, access) != 0) {
        SetLastError(address == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return address;
}

BOOL VirtualFree(LPVOID address, SIZE_T bytes, DWORD type)
{
    std::lock_guard<std::mutex> guard(reservationsLock);
    auto found = reservations.find(reinterpret_cast<std::uintptr_t>(address));
    if (type != MEM_RELEASE || bytes != 0 || found == reservations.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    munmap(address, found->second);
    reservations.erase(found);
    return TRUE;
}
