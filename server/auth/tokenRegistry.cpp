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
    std::vector<int> entryLines;
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        // A last line without its end was most likely caught half-written:
        // taking it could make a prefix of a real token valid.
        if (in.eof()) {
            error = path_ + ":" + std::to_string(lineNo) +
                    ": last line has no end of line (file cut short? write the file elsewhere and rename it)";
            return false;
        }
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
        } else if (token.size() < kMinTokenLength) {
            error = where + "token shorter than " + std::to_string(kMinTokenLength) + " characters";
            return false;
        } else {
            entry.digest = sha256(token);
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].digest == entry.digest) {
                error = where + "token already listed on line " + std::to_string(entryLines[i]) +
                        (entries[i].organisation == organisation ? "" : " for " + entries[i].organisation);
                return false;
            }
        }
        entries.push_back(std::move(entry));
        entryLines.push_back(lineNo);
    }
    if (in.bad()) {
        error = "cannot read tokens file " + path_;
        return false;
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
