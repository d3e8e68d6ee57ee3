// Owning storage for the text fields of one SDK record, filled by the SDK's second call.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace vaultline {

class StringFieldBuffer {
public:
    // One text of a record: the length the SDK reported and the record's pointer to aim.
    struct Field {
        uint64_t length;
        char** pointer;
    };

    // Texts larger than this in total are refused rather than allocated.
    static constexpr uint64_t kMaxTotalLength = 16 * 1024 * 1024;

    StringFieldBuffer() = default;
    // Aims each field's pointer at storage of exactly its reported length. Behind every field
    // lies one more zero byte that the SDK is never told about, so each text reads as
    // NUL-terminated within this buffer whatever the SDK wrote. When the lengths are out of
    // bounds nothing is allocated, every pointer stays null and Allocated() is false.
    explicit StringFieldBuffer(std::initializer_list<Field> fields);
    // Sets every pointer it aimed back to null before freeing the storage, so the record never
    // keeps a dangling text pointer.
    ~StringFieldBuffer();

    StringFieldBuffer(StringFieldBuffer&& other) noexcept;
    StringFieldBuffer& operator=(StringFieldBuffer&& other) noexcept;
    StringFieldBuffer(const StringFieldBuffer&) = delete;
    StringFieldBuffer& operator=(const StringFieldBuffer&) = delete;

    bool Allocated() const { return storage_ != nullptr; }
    // The text of field `index` as the SDK left it; always NUL-terminated, "" when unallocated.
    const char* Text(std::size_t index) const;

private:
    void Release() noexcept;

    std::unique_ptr<char[]> storage_;
    std::vector<char**> pointers_;
    std::vector<uint64_t> offsets_;
};

}  // namespace vaultline
