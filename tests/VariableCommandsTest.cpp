#include "VariableCommands.h"

#include "FakeSerialOutput.h"
#include "VariableStore.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace pontivo {
namespace {

using Lines = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Command = void (VariableCommands::*)(const Segments&, std::string&);
using Query = void (VariableCommands::*)(const Segments&, std::string&) const;

class VariableCommandsTest : public ::testing::Test {
protected:
    void Fill(const Pairs& pairs)
    {
        for (const auto& [name, value] : pairs)
            m_store.Add(name, value);
    }
    Pairs Contents() const
    {
        Pairs pairs;
        m_store.ForEach([&pairs](const std::string& name, const std::string& value) {
            pairs.emplace_back(name, value);
        });
        return pairs;
    }
    std::string Run(Command command, const Segments& segments)
    {
        std::string body;
        (m_commands.*command)(segments, body);
        return body;
    }
    std::string Read(Query query, const Segments& segments)
    {
        std::string body;
        (m_commands.*query)(segments, body);
        return body;
    }

    VariableStore m_store;
    FakeSerialOutput m_port;
    VariableCommands m_commands{m_store, m_port};
};

TEST_F(VariableCommandsTest, GetOneNameNeverCreates)
{
    Fill({{"a", "1"}, {"", "empty"}});
    EXPECT_EQ(Read(&VariableCommands::Get, {"get", "a"}), "1");
    EXPECT_EQ(Read(&VariableCommands::Get, {"get", ""}), "empty");
    EXPECT_EQ(Read(&VariableCommands::Get, {"get", "A"}), "");
    EXPECT_EQ(m_store.Count(), 2u);
    EXPECT_TRUE(m_port.lines.empty());
}

TEST_F(VariableCommandsTest, GetAllListsInStoreOrderAndGetLikeStarAgrees)
{
    Fill({{"b", "2"}, {"a", "x=y"}, {"", ""}});
    const std::string listing = "b=2\r\na=x=y\r\n=\r\n";
    EXPECT_EQ(Read(&VariableCommands::Get, {"get"}), listing);
    EXPECT_EQ(Read(&VariableCommands::GetLike, {"getlike", "*"}), listing);
    EXPECT_EQ(Read(&VariableCommands::GetLike, {"getlike", "[!b]"}), "a=x=y\r\n");
    EXPECT_EQ(Read(&VariableCommands::GetLike, {"getlike", "[b"}), "");
}

TEST_F(VariableCommandsTest, SetStoresAnswersAndWritesTheLine)
{
    EXPECT_EQ(Run(&VariableCommands::Set, {"set", "a", "x=y"}), "x=y");
    EXPECT_EQ(Run(&VariableCommands::Set, {"set", "a", ""}), "");
    EXPECT_EQ(Run(&VariableCommands::Set, {"set", "", "5"}), "5");
    EXPECT_EQ(Contents(), (Pairs{{"a", ""}, {"", "5"}}));
    EXPECT_EQ(m_port.lines, (Lines{"a=x=y\n", "a=\n", "=5\n"}));
}

TEST_F(VariableCommandsTest, SetWithPortClosedOrFailingStillStores)
{
    m_port.open = false;
    EXPECT_EQ(Run(&VariableCommands::Set, {"set", "a", "1"}), "1");
    m_port.open = true;
    m_port.failWrites = true;
    EXPECT_EQ(Run(&VariableCommands::Set, {"set", "b", "2"}), "2");
    EXPECT_EQ(Contents(), (Pairs{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(m_port.lines, (Lines{"b=2\n"}));
}

TEST_F(VariableCommandsTest, PutAndPutLikeStoreWithoutSerial)
{
    Fill({{"t1", "a"}, {"T2", "b"}});
    EXPECT_EQ(Run(&VariableCommands::Put, {"put", "t3", "c"}), "c");
    EXPECT_EQ(Run(&VariableCommands::Put, {"put", "t1", "d"}), "d");
    EXPECT_EQ(Run(&VariableCommands::PutLike, {"putlike", "t#", "z"}), "");
    Run(&VariableCommands::PutLike, {"putlike", "t9*", "new"});
    EXPECT_EQ(Contents(), (Pairs{{"t1", "z"}, {"T2", "b"}, {"t3", "z"}}));
    EXPECT_TRUE(m_port.lines.empty());
}

TEST_F(VariableCommandsTest, SetLikeUpdatesMatchesInOrderAndNeverCreates)
{
    Fill({{"a", "1"}, {"x", "9"}, {"b", "2"}});
    EXPECT_EQ(Run(&VariableCommands::SetLike, {"setlike", "[ab]", "0"}), "");
    EXPECT_EQ(Contents(), (Pairs{{"a", "0"}, {"x", "9"}, {"b", "0"}}));
    EXPECT_EQ(m_port.lines, (Lines{"a=0\n", "b=0\n"}));

    Run(&VariableCommands::SetLike, {"setlike", "nomatch", "7"});
    Run(&VariableCommands::SetLike, {"setlike", "[a", "7"});
    EXPECT_EQ(m_store.Count(), 3u);
    EXPECT_EQ(m_port.lines.size(), 2u);
}

TEST_F(VariableCommandsTest, SetLikeAsksThePortBeforeEachLine)
{
    Fill({{"a", "1"}, {"b", "2"}, {"c", "3"}});
    m_port.failWrites = true;
    m_port.afterOutput = [this] { m_port.open = false; };
    Run(&VariableCommands::SetLike, {"setlike", "*", "0"});
    EXPECT_EQ(m_port.lines, (Lines{"a=0\n"}));
    EXPECT_EQ(Contents(), (Pairs{{"a", "0"}, {"b", "0"}, {"c", "0"}}));
}

TEST_F(VariableCommandsTest, PushAndPushLikeWriteCurrentValuesOnlyWhenPossible)
{
    Fill({{"b", "2"}, {"c", "3"}, {"a", "1"}});
    EXPECT_EQ(Run(&VariableCommands::Push, {"push", "c"}), "");
    Run(&VariableCommands::Push, {"push", "missing"});
    EXPECT_EQ(Run(&VariableCommands::PushLike, {"pushlike", "[a-b]"}), "");
    m_port.open = false;
    Run(&VariableCommands::Push, {"push", "b"});
    Run(&VariableCommands::PushLike, {"pushlike", "*"});
    EXPECT_EQ(m_port.lines, (Lines{"c=3\n", "b=2\n", "a=1\n"}));
    EXPECT_EQ(Contents(), (Pairs{{"b", "2"}, {"c", "3"}, {"a", "1"}}));
}

TEST_F(VariableCommandsTest, UnsetRemovesOneAndUnsetLikeRemovesMatches)
{
    Fill({{"a", "1"}, {"b1", "2"}, {"b2", "3"}, {"c", "4"}});
    Run(&VariableCommands::Unset, {"unset", "a"});
    Run(&VariableCommands::Unset, {"unset", "missing"});
    Run(&VariableCommands::UnsetLike, {"unsetlike", "b#"});
    EXPECT_EQ(Contents(), (Pairs{{"c", "4"}}));
    Run(&VariableCommands::UnsetLike, {"unsetlike", "*"});
    EXPECT_EQ(m_store.Count(), 0u);
}

TEST_F(VariableCommandsTest, ResetEmptiesWhateverTheSegments)
{
    for (const Segments& segments : {Segments{"reset"}, Segments{"reset", "x", "y", "z"}}) {
        Fill({{"a", "1"}});
        EXPECT_EQ(Run(&VariableCommands::Reset, segments), "");
        EXPECT_EQ(m_store.Count(), 0u);
    }
}

TEST_F(VariableCommandsTest, WrongSegmentCountDoesNothing)
{
    struct Case {
        Command command;
        Segments segments;
    };
    using C = VariableCommands;
    const std::vector<Case> cases = {
        {&C::Set, {"set"}}, {&C::Set, {"set", "a"}}, {&C::Set, {"set", "a", "x", "y"}},
        {&C::SetLike, {"setlike", "*"}}, {&C::SetLike, {"setlike", "*", "x", "y"}},
        {&C::Put, {"put", "a"}}, {&C::Put, {"put", "a", "x", "y"}},
        {&C::PutLike, {"putlike", "*", "x", "y"}},
        {&C::Push, {"push"}}, {&C::Push, {"push", "a", "x"}},
        {&C::PushLike, {"pushlike"}}, {&C::PushLike, {"pushlike", "*", "x"}},
        {&C::Unset, {"unset"}}, {&C::Unset, {"unset", "a", "x"}},
        {&C::UnsetLike, {"unsetlike"}}, {&C::UnsetLike, {"unsetlike", "*", "x"}},
    };
    Fill({{"a", "1"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.segments));
        EXPECT_EQ(Run(c.command, c.segments), "");
        EXPECT_EQ(Contents(), (Pairs{{"a", "1"}}));
        EXPECT_TRUE(m_port.lines.empty());
    }
    EXPECT_EQ(Read(&VariableCommands::Get, {"get", "a", "x"}), "");
    EXPECT_EQ(Read(&VariableCommands::GetLike, {"getlike"}), "");
    EXPECT_EQ(Read(&VariableCommands::GetLike, {"getlike", "*", "x"}), "");
}

} // namespace
} // namespace pontivo
