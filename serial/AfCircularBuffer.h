// Fixed-capacity byte queue in one contiguous block: the transmit queue of a
// serial port.
//
// Storing is all or nothing (a request that does not fit is refused whole).
// Reading is in place: the consumer takes ReadPtr() and LinearReadSize(),
// hands that run to the device straight from the storage and drops it with
// Remove() once the device has taken it. While the device works on the run
// those bytes still count as stored, so a concurrent Write() can only fill
// the free region and never overwrites them.
//
// Thread safety: none. The buffer takes no lock of its own; its owner must
// serialise every call (the port core does so under its transmit lock and
// releases the lock only while the device reads a run in place).
//
// No operation allocates: the storage is allocated once by the constructor.
#pragma once

#include <cstdint>
#include <memory>

class TAfCircularBuffer {
public:
    // A negative capacity is taken as 0; such a buffer refuses every Write.
    explicit TAfCircularBuffer(std::int32_t capacity);
    ~TAfCircularBuffer();
    TAfCircularBuffer(const TAfCircularBuffer&) = delete;
    TAfCircularBuffer& operator=(const TAfCircularBuffer&) = delete;

    // Empties the buffer and moves both positions to the start of the
    // storage; the bytes themselves are not touched.
    void Clear();
    // Number of stored bytes.
    std::int32_t Count() const;
    // Size() - Count().
    std::int32_t FreeSpace() const;
    // Number of stored bytes that lie contiguously from ReadPtr() onward.
    // A run never wraps; the rest follows at the start of the storage.
    std::int32_t LinearReadSize() const;
    // Address of the oldest stored byte (also when the buffer is empty).
    // Valid until the next Write/Remove/Clear of the bytes it points at.
    std::uint8_t* ReadPtr() const;
    // Drops the n oldest bytes. n == 0 succeeds and changes nothing.
    // Returns false and changes nothing when n is negative or more than
    // Count().
    bool Remove(std::int32_t n);
    // Appends n bytes copied from src. Returns false and changes nothing
    // when n < 1, n > FreeSpace() or src is null.
    bool Write(const void* src, std::int32_t n);
    // Capacity in bytes, fixed at construction.
    std::int32_t Size() const { return FSize; }

private:
    // Moves pos forward by n (0 <= n <= Size) with one wrap.
    void AdvancePos(std::int32_t& pos, std::int32_t n) const;

    std::unique_ptr<std::uint8_t[]> Buffer;
    std::int32_t FSize = 0;
    std::int32_t ReadPos = 0;
    std::int32_t WritePos = 0;
    bool Full = false;
};
