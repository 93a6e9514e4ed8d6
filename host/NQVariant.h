// NQVariant: a value holding nothing, a 32-bit int, a string, a map, or custom
// data. Custom data is a reference-counted holder (count 1 when created) that
// carries one typed value; copies of the variant share the holder.
// NQVariantMap: an ordered map from string to NQVariant.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>

#include "NQPlatform.h"

namespace NQBase {

class NQVariantMap;

class NQHOST_API NQVariant {
public:
    enum Type { Null, Int, String, Map, Custom };

    // The holder of custom data. Its type is compared by std::type_info, which
    // matches across shared-library boundaries.
    class NQHOST_API DataInfo {
    public:
        virtual ~DataInfo();
        virtual const std::type_info& valueType() const = 0;
    };
    template <class T>
    class CustomData final : public DataInfo {
    public:
        explicit CustomData(T v) : value(std::move(v)) {}
        const std::type_info& valueType() const override { return typeid(T); }
        T value;
    };

    NQVariant();
    NQVariant(int value);
    NQVariant(const char* value);
    NQVariant(const std::string& value);
    NQVariant(const NQVariantMap& value);
    NQVariant(const NQVariant& other);
    NQVariant(NQVariant&& other) noexcept;
    NQVariant& operator=(const NQVariant& other);
    NQVariant& operator=(NQVariant&& other) noexcept;
    ~NQVariant();

    void clear();
    Type type() const { return type_; }
    bool isNull() const { return type_ == Null; }
    bool isCustomType() const { return type_ == Custom; }

    // Each returns the empty value of its kind (0, "", {}) when the variant
    // holds another kind.
    int toInt() const;
    std::string toString() const;
    NQVariantMap toMap() const;

    // Clears the variant, then gives it a new holder (count 1) carrying value.
    template <class T>
    void setCustom(T value) {
        clear();
        custom_ = std::make_shared<CustomData<T>>(std::move(value));
        type_ = Custom;
    }
    // The carried value, or null when the variant holds no custom data of type T.
    template <class T>
    const T* customValue() const {
        if (type_ != Custom || !custom_ || custom_->valueType() != typeid(T)) return nullptr;
        return &static_cast<const CustomData<T>*>(custom_.get())->value;
    }
    long customUseCount() const { return custom_ ? custom_.use_count() : 0; }

private:
    Type type_ = Null;
    int32_t int_ = 0;
    std::string string_;
    std::unique_ptr<NQVariantMap> map_;
    std::shared_ptr<DataInfo> custom_;
};

class NQHOST_API NQVariantMap : public std::map<std::string, NQVariant> {
public:
    using Base = std::map<std::string, NQVariant>;
    using Base::Base;
    NQVariantMap() = default;
    NQVariantMap(const NQVariantMap&) = default;
    NQVariantMap(NQVariantMap&&) = default;
    NQVariantMap& operator=(const NQVariantMap&) = default;
    NQVariantMap& operator=(NQVariantMap&&) = default;
    virtual ~NQVariantMap();

    // Non-const: inserts an empty value for a new key.
    NQVariant& operator[](const std::string& key) { return Base::operator[](key); }
    // Const: a copy, or an empty value for a missing key.
    NQVariant operator[](const std::string& key) const;
    // at() (inherited) throws std::out_of_range for a missing key.
};

}  // namespace NQBase
