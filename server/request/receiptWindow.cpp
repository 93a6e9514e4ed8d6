#include "receiptWindow.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

namespace logserver {
namespace {

struct DigestContext {
    DigestContext() : ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 unavailable");
    }
    void add(const void* bytes, size_t size) { EVP_DigestUpdate(ctx.get(), bytes, size); }
    // A length (8 bytes, least significant first), then the bytes.
    void addField(const void* bytes, size_t size) {
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(static_cast<uint64_t>(size) >> (8 * i));
        add(length, sizeof length);
        add(bytes, size);
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx;
};

}  // namespace

ReceiptWindow::ReceiptWindow(std::chrono::seconds window, size_t maxEntries, Clock clock)
    : window_(window), maxEntries_(maxEntries), clock_(std::move(clock)) {}

ReceiptWindow::Key ReceiptWindow::keyOf(const std::string& organisation, const std::string& address, int cmdId,
                                        const std::string& json, const unsigned char* data, size_t size,
                                        const std::string& cmdType, const std::string& termId) {
    DigestContext digest;
    digest.addField(organisation.data(), organisation.size());
    digest.addField(address.data(), address.size());
    const std::string id = std::to_string(cmdId);
    digest.addField(id.data(), id.size());
    digest.addField(cmdType.data(), cmdType.size());
    digest.addField(termId.data(), termId.size());
    digest.addField(json.data(), json.size());
    digest.addField(data, size);
    Key key{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.ctx.get(), key.data(), &length) != 1 || length != key.size()) {
        throw std::runtime_error("SHA-256 failed");
    }
    return key;
}

size_t ReceiptWindow::KeyHash::operator()(const Key& key) const {
    // The key is a digest already: any of its bytes are as good as a hash.
    size_t h = 0;
    std::memcpy(&h, key.data(), sizeof h);
    return h;
}

bool ReceiptWindow::find(const Key& key, uint64_t& seq) {
    if (!enabled()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    expire(clock_());
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    seq = it->second.seq;
    return true;
}

void ReceiptWindow::remember(const Key& key, uint64_t seq, std::chrono::seconds age) {
    if (!enabled() || maxEntries_ == 0 || age >= window_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = clock_() - age;
    // Two copies stored at once (the second arrived while the first was
    // being stored): the first one stays the one a re-send is reported as.
    if (entries_.try_emplace(key, Entry{seq, now}).second) order_.push_back(key);
    expire(now);
}

std::string ReceiptWindow::hexOf(const Key& key) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : key) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

bool ReceiptWindow::fromHex(const std::string& text, Key& key) {
    if (text.size() != key.size() * 2) return false;
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < key.size(); ++i) {
        const int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        key[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

size_t ReceiptWindow::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void ReceiptWindow::expire(std::chrono::steady_clock::time_point now) {
    while (!order_.empty()) {
        auto it = entries_.find(order_.front());
        if (entries_.size() <= maxEntries_ && now - it->second.stored < window_) break;
        entries_.erase(it);
        order_.pop_front();
    }
}

}  // namespace logserver
