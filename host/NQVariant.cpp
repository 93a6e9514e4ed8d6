#include "NQVariant.h"

#include <utility>

namespace NQBase {

NQVariant::DataInfo::~DataInfo() = default;

NQVariant::NQVariant() = default;

NQVariant::NQVariant(int value) : type_(Int), int_(value) {}

// A null text is an empty string, as the text it stands for would read back.
NQVariant::NQVariant(const char* value) : type_(String), string_(value != nullptr ? value : "") {}

NQVariant::NQVariant(const std::string& value) : type_(String), string_(value) {}

NQVariant::NQVariant(const NQVariantMap& value) : type_(Map), map_(std::make_unique<NQVariantMap>(value)) {}

NQVariant::NQVariant(const NQVariant& other)
    : type_(other.type_),
      int_(other.int_),
      string_(other.string_),
      map_(other.map_ ? std::make_unique<NQVariantMap>(*other.map_) : nullptr),
      custom_(other.custom_) {}

NQVariant::NQVariant(NQVariant&& other) noexcept
    : type_(other.type_),
      int_(other.int_),
      string_(std::move(other.string_)),
      map_(std::move(other.map_)),
      custom_(std::move(other.custom_)) {
    other.clear();
}

NQVariant& NQVariant::operator=(const NQVariant& other) {
    // Copy first: other may live inside this variant's own map.
    if (this != &other) *this = NQVariant(other);
    return *this;
}

NQVariant& NQVariant::operator=(NQVariant&& other) noexcept {
    if (this == &other) return *this;
    // Take other's parts before releasing ours: other may live inside our map.
    Type type = other.type_;
    int32_t intValue = other.int_;
    std::string text = std::move(other.string_);
    std::unique_ptr<NQVariantMap> map = std::move(other.map_);
    std::shared_ptr<DataInfo> custom = std::move(other.custom_);
    other.clear();
    type_ = type;
    int_ = intValue;
    string_ = std::move(text);
    map_ = std::move(map);
    custom_ = std::move(custom);
    return *this;
}

NQVariant::~NQVariant() = default;

void NQVariant::clear() {
    type_ = Null;
    int_ = 0;
    string_.clear();
    map_.reset();
    custom_.reset();
}

int NQVariant::toInt() const { return type_ == Int ? int_ : 0; }

std::string NQVariant::toString() const { return type_ == String ? string_ : std::string(); }

NQVariantMap NQVariant::toMap() const { return type_ == Map && map_ ? *map_ : NQVariantMap(); }

NQVariantMap::~NQVariantMap() = default;

NQVariant NQVariantMap::operator[](const std::string& key) const {
    auto it = find(key);
    return it != end() ? it->second : NQVariant();
}

}  // namespace NQBase
