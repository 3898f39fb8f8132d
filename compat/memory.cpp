// The local heap and the thread's last error on Linux.
#include <windows.h>

#include <cstdlib>
#include <cstring>

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
    auto *header = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + bytes));
    if (header == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    header->size = bytes;
    if (flags & LMEM_ZEROINIT)
        std::memset(header + 1, 0, bytes);
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
