// TokenRegistry: the organisations' tokens, read from a file of lines
// "ORGANISATION TOKEN" (white space between; empty lines and lines starting
// with '#' ignored; an organisation may have several lines). A token may also
// be given hashed, as "sha256:<64 hex digits>" of the token's bytes, so that
// the file need not hold the secret itself.
//
// The file is taken whole or not at all: a line that does not parse, a token
// shorter than kMinTokenLength, a token listed twice (even for one
// organisation) or a last line without its end refuses the whole file, since
// each is what a file edited in place or caught half-written looks like.
//
// Every token is kept only as its SHA-256 digest, and a lookup compares the
// candidate's digest with every entry without stopping early, so the time a
// lookup takes says nothing about how close a guess came.
//
// Thread rules: lookups and reloads may run on any thread at once.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace logserver {

class TokenRegistry {
public:
    using Digest = std::array<uint8_t, 32>;

    // Shorter tokens can be guessed; a sha256: entry is taken as long enough,
    // since its token cannot be seen.
    static constexpr size_t kMinTokenLength = 16;

    explicit TokenRegistry(std::string path);

    // Reads the file again. On any error the tokens held so far stay and
    // error says which line is wrong; an empty file is an error too, since it
    // would lock every client out.
    bool load(std::string& error);

    // The organisation that owns token, or empty when no entry matches.
    std::string organisationOf(const std::string& token) const;

    size_t size() const;
    const std::string& path() const { return path_; }

    // Organisation names become folder names: [A-Za-z0-9._-], not starting
    // with '.', at most 64 bytes.
    static bool validOrganisation(const std::string& name);
    static Digest sha256(const std::string& bytes);

private:
    struct Entry {
        std::string organisation;
        Digest digest;
    };

    std::string path_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace logserver
