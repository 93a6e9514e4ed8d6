#include "tokenRegistry.h"

#include <openssl/sha.h>

#include <fstream>
#include <sstream>

namespace logserver {
namespace {

const char kHashedPrefix[] = "sha256:";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHexDigest(const std::string& hex, TokenRegistry::Digest& out) {
    if (hex.size() != out.size() * 2) return false;
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hexValue(hex[2 * i]);
        int lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

}  // namespace

TokenRegistry::TokenRegistry(std::string path) : path_(std::move(path)) {}

TokenRegistry::Digest TokenRegistry::sha256(const std::string& bytes) {
    Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
    return digest;
}

bool TokenRegistry::validOrganisation(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return true;
}

bool TokenRegistry::load(std::string& error) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        error = "cannot read tokens file " + path_;
        return false;
    }
    std::vector<Entry> entries;
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        std::string organisation, token, extra;
        if (!(fields >> organisation) || organisation[0] == '#') continue;
        const std::string where = path_ + ":" + std::to_string(lineNo) + ": ";
        if (!(fields >> token) || (fields >> extra)) {
            error = where + "expected ORGANISATION TOKEN";
            return false;
        }
        if (!validOrganisation(organisation)) {
            error = where + "organisation name must be [A-Za-z0-9._-], not start with '.', at most 64 bytes";
            return false;
        }
        Entry entry{organisation, {}};
        if (token.compare(0, sizeof(kHashedPrefix) - 1, kHashedPrefix) == 0) {
            if (!parseHexDigest(token.substr(sizeof(kHashedPrefix) - 1), entry.digest)) {
                error = where + "sha256: must be followed by 64 hex digits";
                return false;
            }
        } else {
            entry.digest = sha256(token);
        }
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        error = path_ + ": no tokens";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    entries_ = std::move(entries);
    return true;
}

std::string TokenRegistry::organisationOf(const std::string& token) const {
    if (token.empty()) return {};
    const Digest candidate = sha256(token);
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* match = nullptr;
    for (const Entry& entry : entries_) {
        uint8_t diff = 0;
        for (size_t i = 0; i < candidate.size(); ++i) diff |= static_cast<uint8_t>(candidate[i] ^ entry.digest[i]);
        if (diff == 0 && match == nullptr) match = &entry;
    }
    return match ? match->organisation : std::string();
}

size_t TokenRegistry::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace logserver
