#pragma once

// What the crypto sources own on the way through a call: blocks from
// qxxCAPIMalloc (wiped and freed unless handed on), platform hashes, and the
// object behind a handle of a given type.

#include "control/crypto/QxCAPILib.h"

#include <cstddef>
#include <cstdint>
#include <string.h>
#include <utility>

namespace qxcapi {

class OwnedBlock {
public:
    OwnedBlock() = default;
    // Allocates size bytes.
    explicit OwnedBlock(std::size_t size)
        : data_(static_cast<std::uint8_t*>(qxxCAPIMalloc(size))), size_(size) {}
    // Takes a block already allocated.
    OwnedBlock(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    OwnedBlock(OwnedBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}
    OwnedBlock& operator=(OwnedBlock&& other) noexcept {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = other.size_;
        return *this;
    }
    ~OwnedBlock() { reset(); }
    std::uint8_t* get() const { return data_; }
    std::uint8_t* release() { return std::exchange(data_, nullptr); }

private:
    void reset() {
        if (data_ != nullptr) {
            explicit_bzero(data_, size_);
            qxxCAPIFree(data_);
            data_ = nullptr;
        }
    }
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

class OwnedHash {
public:
    OwnedHash() = default;
    OwnedHash(const OwnedHash&) = delete;
    OwnedHash& operator=(const OwnedHash&) = delete;
    ~OwnedHash() {
        if (handle_ != 0) {
            capi::CryptDestroyHash(handle_);
        }
    }
    capi::HCRYPTHASH* out() { return &handle_; }
    capi::HCRYPTHASH get() const { return handle_; }
    capi::HCRYPTHASH release() { return std::exchange(handle_, 0); }

private:
    capi::HCRYPTHASH handle_ = 0;
};

// The handle's object when the handle is of the type asked for.
template <typename Object>
int objectOf(QxCAPIHandle* handle, std::uint32_t type, Object** object) {
    if (handle == nullptr || handle->object == nullptr) {
        return kQxBadArgument;
    }
    if (handle->type != type) {
        return kQxWrongHandleType;
    }
    *object = static_cast<Object*>(handle->object);
    return kQxOk;
}

} // namespace qxcapi
