#include "NQByteArray.h"

#include "detail/largeBuffer.h"

#include <algorithm>
#include <cstring>

namespace NQBase {

NQByteArray::NQByteArray(const char* data, int size) {
    if (data != nullptr && size > 0) bytes_.assign(data, data + size);
}

NQByteArray::NQByteArray(const std::string& bytes) : bytes_(bytes.begin(), bytes.end()) {}

NQByteArray::NQByteArray(const NQByteArray& other)
    : bytes_(other.bytes_), view_(other.view_), viewSize_(other.viewSize_) {}

NQByteArray::NQByteArray(NQByteArray&& other) noexcept
    : bytes_(std::move(other.bytes_)), view_(other.view_), viewSize_(other.viewSize_) {
    other.view_ = nullptr;
    other.viewSize_ = 0;
}

NQByteArray& NQByteArray::operator=(const NQByteArray& other) {
    if (this != &other) {
        bytes_ = other.bytes_;
        view_ = other.view_;
        viewSize_ = other.viewSize_;
    }
    return *this;
}

NQByteArray& NQByteArray::operator=(NQByteArray&& other) noexcept {
    if (this != &other) {
        bytes_ = std::move(other.bytes_);
        view_ = other.view_;
        viewSize_ = other.viewSize_;
        other.view_ = nullptr;
        other.viewSize_ = 0;
    }
    return *this;
}

NQByteArray NQByteArray::fromRawData(const char* data, int size) {
    NQByteArray view;
    if (data != nullptr && size > 0) {
        view.view_ = data;
        view.viewSize_ = size;
    }
    return view;
}

void NQByteArray::detach() {
    if (view_ == nullptr) return;
    bytes_.assign(view_, view_ + viewSize_);
    view_ = nullptr;
    viewSize_ = 0;
}

void NQByteArray::append(const char* data, int size) {
    if (data == nullptr || size <= 0) return;
    detach();
    bytes_.insert(bytes_.end(), data, data + size);
}

void NQByteArray::reserve(int size) {
    detach();
    if (size <= 0 || static_cast<size_t>(size) <= bytes_.capacity()) return;
    bytes_.reserve(static_cast<size_t>(size));
    // Not touched yet: a large one can still be given huge pages.
    if (bytes_.empty()) detail::adviseLargeBuffer(bytes_.data(), bytes_.capacity());
}

void NQByteArray::resize(int size) {
    detach();
    bytes_.resize(static_cast<size_t>(std::max(size, 0)));
}

void NQByteArray::clear() {
    view_ = nullptr;
    viewSize_ = 0;
    bytes_.clear();
}

int NQByteArray::size() const {
    return view_ != nullptr ? viewSize_ : static_cast<int>(bytes_.size());
}

const char* NQByteArray::constData() const {
    if (view_ != nullptr) return view_;
    return bytes_.empty() ? "" : bytes_.data();
}

char* NQByteArray::getData() {
    detach();
    return bytes_.data();
}

bool NQByteArray::operator==(const NQByteArray& other) const {
    return size() == other.size() && std::memcmp(constData(), other.constData(), static_cast<size_t>(size())) == 0;
}

}  // namespace NQBase
