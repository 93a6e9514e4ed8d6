// An owned byte buffer with a 32-bit size, or a read-only view over bytes that
// someone else owns (fromRawData). A view copies itself into owned storage the
// first time it is modified or asked for a writable pointer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NQPlatform.h"

namespace NQBase {

class NQHOST_API NQByteArray {
public:
    NQByteArray() = default;
    NQByteArray(const char* data, int size);
    explicit NQByteArray(const std::string& bytes);
    NQByteArray(const NQByteArray& other);
    NQByteArray(NQByteArray&& other) noexcept;
    NQByteArray& operator=(const NQByteArray& other);
    NQByteArray& operator=(NQByteArray&& other) noexcept;
    ~NQByteArray() = default;

    // A buffer over existing bytes, no copy. The bytes must outlive the view.
    static NQByteArray fromRawData(const char* data, int size);

    void append(const char* data, int size);
    void reserve(int size);
    void resize(int size);
    void clear();

    int size() const;
    bool isEmpty() const { return size() == 0; }
    bool isView() const { return view_ != nullptr; }
    const char* constData() const;
    char* getData();

    std::string toStdString() const { return std::string(constData(), static_cast<size_t>(size())); }
    bool operator==(const NQByteArray& other) const;
    bool operator!=(const NQByteArray& other) const { return !(*this == other); }

private:
    void detach();

    std::vector<char> bytes_;
    const char* view_ = nullptr;
    int viewSize_ = 0;
};

}  // namespace NQBase
