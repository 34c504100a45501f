#include "http/EventText.h"
#include "http/HttpTimings.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(EventTextTest, EveryLineOfTheDataIsItsOwnDataLine)
{
    const std::vector<std::pair<std::string, std::string>> rows{
        {"", "data: \n"}, {"a=1", "data: a=1\n"}, {"a=x\r\ny", "data: a=x\ndata: y\n"},
        {"a=\r\r\n\n", "data: a=\ndata: \ndata: \ndata: \n"}, {"\nevent: x", "data: \ndata: event: x\n"},
        {"\n\r", "data: \ndata: \ndata: \n"}, {"a\r", "data: a\ndata: \n"},
    };
    for (const auto& [data, lines] : rows) {
        std::string out;
        AppendEvent(out, "set", data);
        EXPECT_EQ(out, "event: set\n" + lines + "\n") << data;
    }
}

// A reader that fell behind gets the latest value of each name; what a reset makes moot is dropped.
TEST(PendingEventsTest, MergesToTheLatestStateInOrder)
{
    PendingEvents pending; // owes no snapshot here: an empty one would throw
    pending.Set("a", "1");
    pending.Set("b", "1");
    pending.Link("closed x");
    pending.Set("a", "2");
    pending.Unset("b");
    std::string out;
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "event: link\ndata: closed x\n\nevent: set\ndata: a=2\n\nevent: unset\ndata: b\n\n");
    EXPECT_TRUE(pending.Empty() && pending.HeldBytes() == 0);

    pending.Set("a", "3");
    pending.Link("open d");
    pending.Reset();
    pending.Reset();
    pending.Set("b", "4");
    pending.Link("closed y");
    out.clear();
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "event: reset\ndata: \n\nevent: set\ndata: b=4\n\nevent: link\ndata: closed y\n\n");

    // A link change still owed when a reset comes outlives it, and stays before it.
    pending.Link("open e");
    pending.Set("a", "5");
    pending.Reset();
    pending.Set("a", "6");
    out.clear();
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "event: link\ndata: open e\n\nevent: reset\ndata: \n\nevent: set\ndata: a=6\n\n");
}

// Names unset while a reader lags cost memory only up to a bound; past it the reader starts over.
TEST(PendingEventsTest, UnsetNamesPastTheirBoundBecomeAResetAndASnapshot)
{
    const std::string big(kMaxPendingUnsetBytes - 1, 'n');
    const auto snapshot = [](std::string& out) { out += "<store>"; };
    PendingEvents pending;
    const auto take = [&] { std::string out; pending.MoveTo(out, snapshot); return out; };
    pending.Unset(big);
    pending.Unset("a"); // at the bound
    pending.Set(big, "v"); // an unset no longer owed counts no more
    pending.Unset("b");
    EXPECT_EQ(take(), "event: unset\ndata: a\n\nevent: set\ndata: " + big + "=v\n\nevent: unset\ndata: b\n\n");
    pending.Link("open d");
    pending.Unset(big);
    pending.Unset("ab"); // one byte past it
    pending.Set("c", "1");
    pending.Link("closed");
    EXPECT_TRUE(!pending.Empty() && pending.HeldBytes() == 0);
    EXPECT_EQ(take(), "event: reset\ndata: \n\n<store>");
    EXPECT_TRUE(pending.Empty());
}

} // namespace
