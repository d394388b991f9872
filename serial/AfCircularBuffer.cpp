#include "serial/AfCircularBuffer.h"

#include <cstring>

TAfCircularBuffer::TAfCircularBuffer(std::int32_t capacity) : FSize(capacity > 0 ? capacity : 0) {
    // Storage left uninitialised: only bytes that were written are ever read.
    Buffer.reset(new std::uint8_t[static_cast<std::size_t>(FSize)]);
    Clear();
}

TAfCircularBuffer::~TAfCircularBuffer() = default;

void TAfCircularBuffer::Clear() {
    ReadPos = 0;
    WritePos = 0;
    Full = false;
}

std::int32_t TAfCircularBuffer::Count() const {
    if (Full)
        return FSize;
    if (WritePos >= ReadPos)
        return WritePos - ReadPos;
    // Written as Size - (ReadPos - WritePos) so that no sum exceeds Size.
    return FSize - (ReadPos - WritePos);
}

std::int32_t TAfCircularBuffer::FreeSpace() const {
    return FSize - Count();
}

std::int32_t TAfCircularBuffer::LinearReadSize() const {
    if (Full)
        return FSize - ReadPos;
    if (WritePos >= ReadPos)
        return WritePos - ReadPos;
    return FSize - ReadPos;
}

std::uint8_t* TAfCircularBuffer::ReadPtr() const {
    return Buffer.get() + ReadPos;
}

void TAfCircularBuffer::AdvancePos(std::int32_t& pos, std::int32_t n) const {
    // Both callers bound n by Count() or FreeSpace(), so one wrap is enough.
    // Compared as n >= Size - pos: pos + n could overflow near INT32_MAX.
    if (n >= FSize - pos)
        pos = n - (FSize - pos);
    else
        pos += n;
}

bool TAfCircularBuffer::Remove(std::int32_t n) {
    // A negative count would move ReadPos backwards and resurrect stale
    // bytes; it is refused like an over-long one.
    if (n < 0 || n > Count())
        return false;
    AdvancePos(ReadPos, n);
    if (n > 0)
        Full = false;
    return true;
}

bool TAfCircularBuffer::Write(const void* src, std::int32_t n) {
    if (n < 1 || n > FreeSpace() || src == nullptr)
        return false;
    const auto* bytes = static_cast<const std::uint8_t*>(src);
    if (WritePos < ReadPos) {
        // The free space is the single gap from WritePos up to ReadPos.
        std::memcpy(Buffer.get() + WritePos, bytes, static_cast<std::size_t>(n));
    } else {
        const std::int32_t tail = FSize - WritePos;
        if (tail >= n) {
            std::memcpy(Buffer.get() + WritePos, bytes, static_cast<std::size_t>(n));
        } else {
            std::memcpy(Buffer.get() + WritePos, bytes, static_cast<std::size_t>(tail));
            std::memcpy(Buffer.get(), bytes + tail, static_cast<std::size_t>(n - tail));
        }
    }
    AdvancePos(WritePos, n);
    Full = (ReadPos == WritePos);
    return true;
}
