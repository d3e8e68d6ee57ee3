// Big-endian field writing and bounds-checked field reading for protocol frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kxprotocol {

// Appends fields to a byte vector in network byte order.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    void U8(uint8_t value) { out_.push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value >> 8));
        U8(static_cast<uint8_t>(value));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value >> 16));
        U16(static_cast<uint16_t>(value));
    }
    void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
    void Bool(bool value) { U8(value ? 1 : 0); }
    // Callers check that the text fits in 16 bits before encoding.
    void String(const std::string& text) {
        U16(static_cast<uint16_t>(text.size()));
        out_.insert(out_.end(), text.begin(), text.end());
    }

private:
    std::vector<uint8_t>& out_;
};

// Reads fields from a fixed span. The first failure is sticky: later reads return zeros and
// Error() keeps the first reason, so decoders can read a whole record and check once.
class ByteReader {
public:
    ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    std::size_t Remaining() const { return size_ - position_; }
    void Fail(const std::string& reason) {
        if (error_.empty()) {
            error_ = reason;
        }
    }

    uint8_t U8() {
        uint8_t value = 0;
        Take(&value, 1, "a byte");
        return value;
    }
    uint16_t U16() {
        uint8_t bytes[2] = {};
        Take(bytes, 2, "a 16-bit field");
        return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    }
    uint32_t U32() {
        uint8_t bytes[4] = {};
        Take(bytes, 4, "a 32-bit field");
        return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    bool Bool() {
        const uint8_t value = U8();
        if (value > 1) {
            Fail("boolean byte " + std::to_string(value) + " is neither 0 nor 1");
        }
        return value == 1;
    }
    // Texts are handed to C callers as NUL-terminated strings, so an embedded NUL is refused.
    std::string String() {
        const uint16_t length = U16();
        if (!Ok()) {
            return {};
        }
        if (length > Remaining()) {
            Fail("text of " + std::to_string(length) + " bytes exceeds the " +
                 std::to_string(Remaining()) + " bytes left");
            return {};
        }
        std::string text(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
        if (text.find('\0') != std::string::npos) {
            Fail("text contains a NUL byte");
            return {};
        }
        return text;
    }

private:
    void Take(uint8_t* into, std::size_t count, const char* what) {
        if (!Ok()) {
            return;
        }
        if (count > Remaining()) {
            Fail(std::string("frame ends before ") + what);
            return;
        }
        std::memcpy(into, data_ + position_, count);
        position_ += count;
    }

    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::string error_;
};

}  // namespace kxprotocol
