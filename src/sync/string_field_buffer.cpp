// Owning storage for the text fields of one SDK record, filled by the SDK's second call.
#include "sync/string_field_buffer.h"

#include <utility>

namespace vaultline {

StringFieldBuffer::StringFieldBuffer(std::initializer_list<Field> fields) {
    uint64_t total = 0;
    for (const Field& field : fields) {
        // Also rules out overflow: each addend is at most the bound.
        if (field.length > kMaxTotalLength || total + field.length + 1 > kMaxTotalLength) {
            return;
        }
        total += field.length + 1;
    }
    storage_ = std::make_unique<char[]>(total == 0 ? 1 : total);  // zero-filled
    uint64_t offset = 0;
    for (const Field& field : fields) {
        *field.pointer = storage_.get() + offset;
        pointers_.push_back(field.pointer);
        offsets_.push_back(offset);
        offset += field.length + 1;
    }
}

StringFieldBuffer::~StringFieldBuffer() {
    Release();
}

StringFieldBuffer::StringFieldBuffer(StringFieldBuffer&& other) noexcept
    : storage_(std::move(other.storage_)),
      pointers_(std::move(other.pointers_)),
      offsets_(std::move(other.offsets_)) {
    other.pointers_.clear();
    other.offsets_.clear();
}

StringFieldBuffer& StringFieldBuffer::operator=(StringFieldBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        storage_ = std::move(other.storage_);
        pointers_ = std::move(other.pointers_);
        offsets_ = std::move(other.offsets_);
        other.pointers_.clear();
        other.offsets_.clear();
    }
    return *this;
}

const char* StringFieldBuffer::Text(std::size_t index) const {
    if (!storage_ || index >= offsets_.size()) {
        return "";
    }
    return storage_.get() + offsets_[index];
}

void StringFieldBuffer::Release() noexcept {
    for (char** pointer : pointers_) {
        *pointer = nullptr;
    }
    pointers_.clear();
    offsets_.clear();
    storage_.reset();
}

}  // namespace vaultline
