// NQVariant and NQVariantMap: kinds, copies, custom data and the edge cases the
// library relies on.
#include <gtest/gtest.h>

#include <stdexcept>

#include "NQVariant.h"

using NQBase::NQVariant;
using NQBase::NQVariantMap;

namespace {

TEST(RuntimeVariant, EachKindReadsBackAndOtherKindsReadEmpty) {
    NQVariant number(42);
    NQVariant text(std::string("abc"));
    NQVariant literal("lit");
    EXPECT_EQ(number.type(), NQVariant::Int);
    EXPECT_EQ(number.toInt(), 42);
    EXPECT_EQ(number.toString(), "");
    EXPECT_TRUE(number.toMap().empty());
    EXPECT_EQ(text.toString(), "abc");
    EXPECT_EQ(text.toInt(), 0);
    EXPECT_EQ(literal.toString(), "lit");
    EXPECT_TRUE(NQVariant().isNull());
    EXPECT_EQ(NQVariant(static_cast<const char*>(nullptr)).toString(), "");
}

TEST(RuntimeVariant, TextsAreBytesIncludingZeros) {
    std::string bytes("a\0b\xff", 4);
    NQVariant v(bytes);
    EXPECT_EQ(v.toString(), bytes);
}

TEST(RuntimeVariant, ConstIndexOfAMissingKeyIsEmptyAndInsertsNothing) {
    NQVariantMap map;
    map["present"] = 1;
    const NQVariantMap& constMap = map;
    NQVariant missing = constMap["absent"];
    EXPECT_TRUE(missing.isNull());
    EXPECT_EQ(missing.toString(), "");
    EXPECT_EQ(missing.toInt(), 0);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(constMap["present"].toInt(), 1);
}

TEST(RuntimeVariant, NonConstIndexInsertsAnEmptyValue) {
    NQVariantMap map;
    EXPECT_TRUE(map["new"].isNull());
    EXPECT_EQ(map.size(), 1u);
}

TEST(RuntimeVariant, AtThrowsForAMissingKey) {
    NQVariantMap map;
    map["Cookie"] = 7;
    EXPECT_EQ(map.at("Cookie").toInt(), 7);
    EXPECT_THROW(map.at("ErrDesc"), std::out_of_range);
}

TEST(RuntimeVariant, MapsAreCopiedDeeply) {
    NQVariantMap inner;
    inner["k"] = "v";
    NQVariantMap outer;
    outer["inner"] = inner;
    NQVariant original(outer);

    NQVariant copy = original;
    NQVariantMap changed = copy.toMap();
    changed["inner"] = "replaced";
    copy = changed;

    EXPECT_EQ(original.toMap()["inner"].toMap()["k"].toString(), "v");
    EXPECT_EQ(copy.toMap()["inner"].toString(), "replaced");
}

TEST(RuntimeVariant, AssigningAValueFromItsOwnMapIsSafe) {
    NQVariantMap map;
    map["child"] = "kept";
    NQVariant v(map);
    NQVariantMap copy = v.toMap();
    v = copy["child"];
    EXPECT_EQ(v.toString(), "kept");
    NQVariant self(map);
    self = self;  // self-assignment keeps the value
    EXPECT_EQ(self.toMap()["child"].toString(), "kept");
}

TEST(RuntimeVariant, MoveLeavesTheSourceEmpty) {
    NQVariant source(std::string("moved"));
    NQVariant target(std::move(source));
    EXPECT_EQ(target.toString(), "moved");
    EXPECT_TRUE(source.isNull());  // NOLINT(bugprone-use-after-move): the state is specified
}

struct Payload {
    int value;
};

TEST(RuntimeVariant, CustomDataCarriesItsTypeAndRejectsAnother) {
    NQVariant v;
    v.setCustom(Payload{5});
    EXPECT_TRUE(v.isCustomType());
    ASSERT_NE(v.customValue<Payload>(), nullptr);
    EXPECT_EQ(v.customValue<Payload>()->value, 5);
    EXPECT_EQ(v.customValue<int>(), nullptr);
    EXPECT_EQ(NQVariant(3).customValue<int>(), nullptr);
    EXPECT_EQ(NQVariant().customValue<Payload>(), nullptr);
}

TEST(RuntimeVariant, CopiesShareTheCustomHolder) {
    NQVariant v;
    int target = 0;
    v.setCustom(&target);
    EXPECT_EQ(v.customUseCount(), 1);
    NQVariant copy = v;
    EXPECT_EQ(v.customUseCount(), 2);
    EXPECT_EQ(copy.customValue<int*>(), v.customValue<int*>());  // one holder
    NQVariantMap map;
    map["logger"] = v;
    EXPECT_EQ(v.customUseCount(), 3);
    copy.clear();
    EXPECT_EQ(v.customUseCount(), 2);
    EXPECT_EQ(*map["logger"].customValue<int*>(), &target);
}

TEST(RuntimeVariant, SetCustomReplacesAPreviousValue) {
    NQVariant v(std::string("text"));
    v.setCustom(Payload{1});
    EXPECT_EQ(v.toString(), "");
    EXPECT_EQ(v.customUseCount(), 1);
    v.clear();
    EXPECT_TRUE(v.isNull());
    EXPECT_EQ(v.customUseCount(), 0);
}

}  // namespace
