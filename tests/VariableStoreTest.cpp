#include "VariableStore.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace pontivo {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Contents(const VariableStore& store)
{
    Pairs pairs;
    store.ForEach([&pairs](const std::string& name, const std::string& value) {
        pairs.emplace_back(name, value);
    });
    return pairs;
}

TEST(VariableStoreTest, KeepsOrderOfFirstAdditionAcrossReplaceAndRemove)
{
    VariableStore store;
    for (const auto& [name, value] : Pairs{{"b", "1"}, {"a", "2"}, {"c", "3"}, {"b", "4"}})
        store.SetVariable(name, value);
    EXPECT_EQ(Contents(store), (Pairs{{"b", "4"}, {"a", "2"}, {"c", "3"}}));

    const std::vector<std::string> keys = store.Keys();
    store.Remove("b");
    store.Remove("missing");
    store.SetVariable("b", "5");
    store.SetItem("a", "6");
    EXPECT_EQ(Contents(store), (Pairs{{"a", "6"}, {"c", "3"}, {"b", "5"}}));
    EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "c"}));

    store.RemoveAll();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_FALSE(store.Exists("a"));
}

TEST(VariableStoreTest, NamesAreExactBytes)
{
    VariableStore store;
    const std::vector<std::string> names = {"Temp", "temp", "temp ", "", std::string("t\0p", 3)};
    for (const std::string& name : names)
        store.Add(name, "value of " + name);

    EXPECT_EQ(store.Count(), names.size());
    for (const std::string& name : names)
        EXPECT_EQ(store.Item(name), "value of " + name);
    EXPECT_FALSE(store.Exists("TEMP"));
    EXPECT_FALSE(store.Exists("t"));
}

// Removing from the middle must not disturb lookups of the entries around it.
TEST(VariableStoreTest, IndexStaysConsistentUnderChurn)
{
    VariableStore store;
    for (int i = 0; i < 200; ++i)
        store.SetVariable("v" + std::to_string(i), std::to_string(i));
    for (int i = 0; i < 200; i += 2)
        store.Remove("v" + std::to_string(i));
    for (int i = 0; i < 200; i += 4)
        store.SetVariable("v" + std::to_string(i), "back");

    EXPECT_EQ(store.Count(), 150u);
    for (int i = 1; i < 200; i += 2)
        EXPECT_EQ(store.Item("v" + std::to_string(i)), std::to_string(i));
    const std::vector<std::string> keys = store.Keys();
    EXPECT_EQ(keys[99], "v199");
    EXPECT_EQ(keys[100], "v0");
    EXPECT_EQ(keys.back(), "v196");
}

} // namespace
} // namespace pontivo
