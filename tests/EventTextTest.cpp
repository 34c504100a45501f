#include "http/EventRing.h"
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
TEST(PendingEventsTest, MergesToTheLatestStateInOrderEachUnderItsLatestId)
{
    PendingEvents pending; // owes no snapshot here: an empty one would throw
    pending.Set("a", "1", "r-1");
    pending.Set("b", "1", "r-2");
    pending.Link("closed x", "r-3");
    pending.Set("a", "2", "r-4");
    pending.Unset("b", "r-5");
    std::string out;
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "id: r-3\nevent: link\ndata: closed x\n\nid: r-4\nevent: set\ndata: a=2\n\nid: r-5\nevent: unset\ndata: b\n\n");
    EXPECT_TRUE(pending.Empty() && pending.HeldBytes() == 0);

    pending.Set("a", "3", "1");
    pending.Link("open d", "2");
    pending.Reset("3");
    pending.Reset("4");
    pending.Set("b", "4", "5");
    pending.Link("closed y", "6");
    out.clear();
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "id: 4\nevent: reset\ndata: \n\nid: 5\nevent: set\ndata: b=4\n\nid: 6\nevent: link\ndata: closed y\n\n");

    // A link change still owed when a reset comes outlives it, and stays before it.
    pending.Link("open e", "7");
    pending.Set("a", "5", "8");
    pending.Reset("9");
    pending.Set("a", "6", "10");
    out.clear();
    pending.MoveTo(out, {});
    EXPECT_EQ(out, "id: 7\nevent: link\ndata: open e\n\nid: 9\nevent: reset\ndata: \n\nid: 10\nevent: set\ndata: a=6\n\n");
}

// Names unset while a reader lags cost memory only up to a bound; past it the reader starts over.
TEST(PendingEventsTest, UnsetNamesPastTheirBoundBecomeAResetAndASnapshot)
{
    const std::string big(kMaxPendingUnsetBytes - 1, 'n');
    const auto snapshot = [](std::string& out) { out += "<store>"; };
    PendingEvents pending;
    const auto take = [&] { std::string out; pending.MoveTo(out, snapshot); return out; };
    pending.Unset(big, "1");
    pending.Unset("a", "2"); // at the bound
    pending.Set(big, "v", "3"); // an unset no longer owed counts no more
    pending.Unset("b", "4");
    EXPECT_EQ(take(), "id: 2\nevent: unset\ndata: a\n\nid: 3\nevent: set\ndata: " + big + "=v\n\nid: 4\nevent: unset\ndata: b\n\n");
    pending.Link("open d", "5");
    pending.Unset(big, "6");
    pending.Unset("ab", "7"); // one byte past it
    pending.Set("c", "1", "8");
    pending.Link("closed", "9");
    EXPECT_TRUE(!pending.Empty() && pending.HeldBytes() == 0);
    EXPECT_EQ(take(), "id: snapshot\nevent: reset\ndata: \n\n<store>");
    EXPECT_TRUE(pending.Empty());
}

// A reader resumes from any id still held, of this run only; the ring keeps a bounded tail.
TEST(EventRingTest, ResumesExactlyFromHeldIdsOfItsOwnRun)
{
    EventRing ring("r", 3, 1 << 20);
    EXPECT_EQ(ring.LastId(), "r-0");
    for (const char* name : {"a", "b", "a", "c"})
        ring.Add(name, std::string(name) + ";");
    ring.Add(std::nullopt, "reset;");
    EXPECT_EQ(ring.LastId(), "r-5");
    const auto wantsA = [](std::string_view name) { return name == "a"; };
    // Held: 3, 4, 5; resuming from 2 misses nothing, from 1 it would have missed event 2.
    const std::vector<std::pair<std::string, std::optional<std::string>>> rows{
        {"r-2", "id: r-3\na;id: r-5\nreset;"}, {"r-4", "id: r-5\nreset;"}, {"r-5", ""}, {"r-1", {}}, {"r-6", {}},
        {"q-4", {}}, {"r-", {}}, {"r-4x", {}}, {"r--4", {}}, {"r", {}}, {"", {}}, {"snapshot", {}}, {"r-18446744073709551615", {}}};
    for (const auto& [last, events] : rows) {
        std::string out;
        EXPECT_EQ(ring.Since(last, wantsA, out) ? std::optional(out) : std::nullopt, events) << last;
    }
    EventRing small("s", 100, 2 * sizeof(std::string) + 200); // bytes bound it first
    for (int i = 0; i < 50; ++i)
        small.Add("n", std::string(60, 'x'));
    std::string out;
    EXPECT_LE(small.HeldBytes(), 2 * sizeof(std::string) + 200);
    EXPECT_TRUE(small.Since("s-49", wantsA, out) && !small.Since("s-40", wantsA, out));
    small.Add("n", std::string(300, 'x')); // larger than the ring: not kept, and nothing before it resumes
    EXPECT_TRUE(small.LastId() == "s-51" && small.HeldBytes() == 0 && !small.Since("s-50", wantsA, out) && small.Since("s-51", wantsA, out));
}

} // namespace
