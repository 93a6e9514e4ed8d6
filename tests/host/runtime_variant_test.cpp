// NQVariant and NQVariantMap: kinds, copies, custom data and the edge cases the library relies on.
#include <gtest/gtest.h>

#include <stdexcept>

#include "NQVariant.h"

using NQBase::NQVariant;
using NQBase::NQVariantMap;

namespace {

TEST(RuntimeVariant, EachKindReadsBackOtherKindsReadEmptyAndMissingKeysAreEmpty) {
    EXPECT_EQ(NQVariant(42).type(), NQVariant::Int);
    EXPECT_EQ(NQVariant(42).toInt(), 42);
    EXPECT_EQ(NQVariant(42).toString(), "");
    EXPECT_EQ(NQVariant("lit").toInt(), 0);
    EXPECT_EQ(NQVariant(std::string("a\0b\xff", 4)).toString(), std::string("a\0b\xff", 4));  // bytes, zeros too
    EXPECT_EQ(NQVariant(static_cast<const char*>(nullptr)).toString(), "");
    NQVariantMap map;
    map["Cookie"] = 7;
    const NQVariantMap& constMap = map;
    EXPECT_TRUE(constMap["absent"].isNull());  // const: empty, inserts nothing
    EXPECT_EQ(constMap["Cookie"].toInt(), 7);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_THROW(map.at("ErrDesc"), std::out_of_range);
    EXPECT_TRUE(map["new"].isNull());  // non-const: inserts an empty value
    EXPECT_EQ(map.size(), 2u);
}

TEST(RuntimeVariant, CopiesAreDeepAndMovesLeaveTheSourceEmpty) {
    NQVariantMap inner, outer;
    inner["k"] = "v";
    outer["inner"] = inner;
    NQVariant original(outer);
    NQVariant copy = original;
    NQVariantMap changed = copy.toMap();
    changed["inner"] = "replaced";
    copy = changed;
    copy = *&copy;  // self-assignment keeps the value
    EXPECT_EQ(copy.toMap()["inner"].toString(), "replaced");
    EXPECT_EQ(original.toMap()["inner"].toMap()["k"].toString(), "v");
    NQVariant moved(std::move(original));
    EXPECT_TRUE(original.isNull());  // NOLINT(bugprone-use-after-move): a moved-from variant is defined to be null
    copy = std::move(moved);
    EXPECT_TRUE(moved.isNull());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(copy.toMap()["inner"].toMap()["k"].toString(), "v");
}

struct Payload {
    int value;
};

TEST(RuntimeVariant, CustomDataIsTypedAndItsHolderSharedByCopies) {
    NQVariant v(std::string("text"));
    v.setCustom(Payload{5});
    EXPECT_TRUE(v.isCustomType());
    EXPECT_EQ(v.toString(), "");  // the previous value went
    ASSERT_NE(v.customValue<Payload>(), nullptr);
    EXPECT_EQ(v.customValue<Payload>()->value, 5);
    EXPECT_EQ(v.customValue<int>(), nullptr);
    EXPECT_EQ(NQVariant(3).customValue<int>(), nullptr);
    NQVariant copy = v;
    NQVariantMap map;
    map["logger"] = v;
    EXPECT_EQ(v.customUseCount(), 3);
    EXPECT_EQ(map["logger"].customValue<Payload>(), v.customValue<Payload>());  // one holder
    copy.clear();
    EXPECT_TRUE(copy.isNull());
    EXPECT_EQ(v.customUseCount(), 2);
}

}  // namespace
