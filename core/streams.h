// Byte streams with a position: the abstract TStream and the growable
// in-memory TMemoryStream.
#pragma once

#include <cstdint>
#include <vector>

#include "core/component.h"

class TStream : public TObject {
public:
    const char* ClassName() const override { return "TStream"; }
    // Reads up to count bytes at Position; returns how many were read.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes at Position, growing the stream; returns how many were written.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Size() const = 0;
    virtual void SetSize(std::int64_t size) = 0;
    std::int64_t Position() const { return position_; }
    void SetPosition(std::int64_t p) { position_ = p < 0 ? 0 : p; }

    // Reads exactly count bytes or raises EReadError.
    void ReadBuffer(void* buffer, std::int64_t count);
    // Writes exactly count bytes or raises EWriteError.
    void WriteBuffer(const void* buffer, std::int64_t count);

protected:
    std::int64_t position_ = 0;
};

// A growable byte buffer with a position.
class TMemoryStream : public TStream {
public:
    const char* ClassName() const override { return "TMemoryStream"; }
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(data_.size()); }
    void SetSize(std::int64_t size) override;
    // Empties the stream; position 0.
    void Clear();
    const char* Memory() const { return data_.data(); }
    char* Memory() { return data_.data(); }
    // Swaps contents and positions with another memory stream.
    void Swap(TMemoryStream& other) noexcept;

private:
    std::vector<char> data_;
};
