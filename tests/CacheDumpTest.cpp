#include "CacheDump.h"

#include "VariableStore.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

TEST(CacheDumpTest, EmptyStore)
{
    EXPECT_EQ(CacheDumpText(VariableStore{}), "0 variables cached.\r\n\r\n");
}

TEST(CacheDumpTest, ListsVariablesInStoreOrderWithValuesAsIs)
{
    VariableStore store;
    store.Add("b", "1");
    store.Add("a", "line\r\nnext");
    store.Add("", "x = y");
    store.Add("e", "");
    EXPECT_EQ(CacheDumpText(store),
              "4 variables cached.\r\n\r\n"
              "b = 1\r\n"
              "a = line\r\nnext\r\n"
              " = x = y\r\n"
              "e = \r\n");
}

} // namespace
} // namespace pontivo
