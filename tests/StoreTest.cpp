#include "store/BoardRestore.h"
#include "store/CacheDump.h"
#include "store/LikePattern.h"
#include "store/Utf8.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(VariableStoreTest, KeepsFirstAdditionOrderAndExactByteNames)
{
    using Names = std::vector<std::string>;
    const std::string withNul("t\0p", 3);
    const Names names{"b", "a", "B", "", withNul, "b"};
    VariableStore store;
    for (std::size_t i = 0; i < names.size(); ++i)
        store.SetVariable(names[i], std::to_string(i));
    store.Remove("a");
    store.Remove("missing");
    store.SetVariable("a", "6");
    EXPECT_EQ(store.Keys(), (Names{"b", "B", "", withNul, "a"}));
    // The index still finds the neighbours of a removed entry.
    EXPECT_EQ(store.Item("b") + store.Item("B") + store.Item("") + store.Item(withNul) + store.Item("a"), "52346");
    store.RemoveAll();
    EXPECT_TRUE(store.Count() == 0 && !store.Exists("b"));
}

// Writes the changes it is told, and the count a reset still sees.
struct ChangeLog : ChangeListener {
    explicit ChangeLog(const VariableStore& s) : store(s) {}
    void VariableSet(const Variable& v) override { log += "set " + v.name + "=" + v.value + ";"; }
    void VariableUnset(std::string_view n) override { log += "unset " + std::string(n) + ";"; }
    void StoreReset() override { log += "reset " + std::to_string(store.Count()) + ";"; }
    const VariableStore& store;
    std::string log;
};

TEST(VariableStoreTest, TellsListenersEveryChangeAndNothingElse)
{
    VariableStore store;
    ChangeLog changes(store);
    store.AddListener(changes);
    store.SetVariable("a", "1");
    store.SetVariable("a", "1");
    store.Add("b", "2");
    store.Remove("missing");
    store.Remove("a");
    store.RemoveAll();
    store.RemoveAll();
    store.RemoveListener(changes);
    store.SetVariable("c", "4");
    EXPECT_EQ(changes.log, "set a=1;set a=1;set b=2;unset a;reset 1;reset 0;");
}

TEST(VariableStoreTest, StampsEachWriteWithItsTimeAndSource)
{
    std::int64_t now = 1000;
    VariableStore store([&now] { return now; });
    store.SetVariable("a", "1");
    {
        const VariableStore::SourceScope board(store, WriteSource::Board);
        now = 2000;
        store.SetVariable("a", "2");
        const VariableStore::SourceScope restore(store, WriteSource::Restore, 5);
        store.SetVariable("b", "3");
    }
    store.SetVariable("c", "4");
    std::string seen;
    store.ForEachVariable([&seen](const Variable& v) {
        seen += v.name + "=" + v.value + "@" + std::to_string(v.updatedMs) + ":" + std::string(SourceName(v.source)) + " ";
    });
    EXPECT_EQ(seen, "a=2@2000:board b=3@5:restore c=4@2000:http ");
    EXPECT_EQ(store.Find("missing"), nullptr);
    for (const WriteSource source : {WriteSource::Board, WriteSource::Http, WriteSource::Mqtt, WriteSource::Restore})
        EXPECT_EQ(SourceFromName(SourceName(source)), source);
    EXPECT_FALSE(SourceFromName("web"));
}

TEST(VariableStoreTest, AFullStoreRefusesNewNamesButUpdatesAndKeepsTheRest)
{
    VariableStore store;
    std::string refused;
    store.SetRefusalHandler([&refused](std::string_view name) { refused += std::string(name) + ";"; });
    const std::size_t one = VariableStore::kEntryOverhead + 2; // a one-byte name and value
    store.SetCapacity(2 * one);
    EXPECT_TRUE(store.SetVariable("a", "1") && store.SetVariable("b", "2")); // exactly at the limit
    EXPECT_FALSE(store.SetVariable("c", "3"));
    EXPECT_TRUE(store.SetVariable("a", "longer"));
    store.Remove("b");
    EXPECT_FALSE(store.SetVariable("d", "4")); // "a" grew into the room "b" left
    store.SetVariable("a", "1");
    EXPECT_TRUE(store.SetVariable("d", "4"));
    EXPECT_EQ(std::tuple(store.Keys(), store.SizeBytes(), refused),
              std::tuple(std::vector<std::string>{"a", "d"}, 2 * one, std::string("c;d;")));
    store.RemoveAll();
    EXPECT_EQ(store.SizeBytes(), 0u);
}

TEST(BoardRestoreTest, ASetIsToldAgainAtMostOnceASecondUntilPutRemovedChangedOnTheBoardOrLeftUnconfirmed)
{
    VariableStore store;
    BoardRestore restore(store);
    restore.SetHello("hello");
    store.AddListener(restore);
    const auto set = [&](const std::string& name) {
        store.SetVariable(name, "1");
        restore.ClientSet(name);
    };
    const auto board = [&](const std::string& name, const std::string& value) {
        const VariableStore::SourceScope scope(store, WriteSource::Board);
        store.SetVariable(name, value);
    };
    const auto told = [&](std::int64_t nowMs) {
        std::string lines;
        for (const BoardRestore::Line& line : restore.Restore(nowMs))
            lines += line.name + "=" + line.value + " ";
        return lines;
    };
    restore.ClientSet("never");
    for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "hello"})
        set(name);
    board("b", "1"), board("b", "x");  // confirmed, then changed by the board
    board("c", "boot");                // before the board applied the line: what the client set is told
    store.SetVariable("d", "put");
    store.Remove("e"), board("e", "1");
    board("f", "1");
    EXPECT_EQ(told(0), "a=1 c=1 f=1 g=1 ");
    EXPECT_EQ(std::pair(restore.WaitMs(1), restore.WaitMs(1000)), std::pair(std::int64_t{999}, std::int64_t{0}));
    board("f", "boot"), board("f", "1"); // its boot state, then the line told
    board("g", "1");
    EXPECT_EQ(told(1000), "f=1 g=1 "); // a and c were told and never confirmed
    board("f", "1"), board("g", "1"), restore.BoardBack(), board("g", "boot"); // back: its boot state ends no claim
    EXPECT_EQ(told(2000), "f=1 g=1 ");
    board("f", "1"), board("g", "1"), store.RemoveAll(), board("f", "1");
    EXPECT_EQ(std::pair(told(3000), restore.WaitMs(3001)), std::pair(std::string(), std::int64_t{0})); // nothing told, no wait
}

TEST(CacheDumpTest, CountBlankLineThenVariablesInOrderWithValuesAsIs)
{
    VariableStore store;
    store.Add("b", "line\r\nnext");
    store.Add("", "x = y");
    EXPECT_EQ(CacheDumpText(store), "2 variables cached.\r\n\r\nb = line\r\nnext\r\n = x = y\r\n");
}

// Each length at its edges: the last code point it may carry, the overlong form below it, surrogates, past U+10FFFF.
TEST(Utf8Test, OnlyWellFormedSequencesAreText)
{
    const std::vector<std::pair<std::string, bool>> cases{
        {"", true}, {"temp 21.5", true}, {std::string(1, '\0'), true}, {"\x7f", true}, {"\xc3\xa9", true},
        {"\xe2\x82\xac", true}, {"\xf0\x9d\x84\x9e", true}, {"\xf4\x8f\xbf\xbf", true}, {"\x80", false},
        {"\xc1\xbf", false}, {"\xe0\x9f\xbf", false}, {"\xf0\x8f\xbf\xbf", false}, {"\xed\xa0\x80", false},
        {"\xf4\x90\x80\x80", false}, {"\xe2\x82", false}, {"\xc3(", false}, {"\xf8\x88\x80\x80\x80", false},
        {"\xff", false}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(IsValidUtf8(bytes), text) << ::testing::PrintToString(bytes);
}

// A walk in slices goes on after its place whatever changed in between: the variable there removed and
// added again at the end, others added.
TEST(VariableStoreTest, AWalkInSlicesGoesOnAfterChanges)
{
    VariableStore store;
    for (const char* name : {"a", "b", "c", "d"})
        store.Add(name, "1");
    VariableStore::Place place;
    std::string walked;
    const auto two = [&] {
        int n = 0;
        return store.ForEachAfter(place, [&](const Variable& v) { return walked += v.name, ++n < 2; });
    };
    EXPECT_FALSE(two());
    store.Remove("b"), store.Add("b", "2"), store.Add("e", "1");
    EXPECT_FALSE(two());
    EXPECT_TRUE(two());
    EXPECT_EQ(walked, "abcdbe");
}

TEST(LikePatternTest, MatchesWholeNamesByteForByte)
{
    const std::string as(2000, 'a');
    const std::string wide(64, '?'); // the states span two words
    const std::vector<std::tuple<std::string, std::string, bool>> rows{
        {"t*", "temp", true}, {"t*", "Temp", false}, {"temp", "temp1", false}, {"", "a", false}, {"*", "", true},
        {"led?", "ledA", true}, {"led?", "led", false}, {"sensor#", "sensor7", true}, {"sensor#", "sensorX", false},
        {"a*b*c", "abcbc", true}, {"a*b*c", "abcb", false}, {"*a?", "xayaz", true}, {"[abc]", "d", false},
        {"[a-c]x", "cx", true}, {"[a-c]x", "dx", false}, {"[0-9A-F]", "E", true}, {"[0-9A-F]", "e", false},
        {"[!a]*", "bcd", true}, {"[!a]*", "abc", false}, {"[!a]*", "", false}, {"[!]", "z", true},
        {"[-a]", "-", true}, {"[a-]", "-", true}, {"[a-]", "b", false}, {"[!-a]", "b", true}, {"[--a]", "0", false},
        {"[a!]", "!", true}, {"[?*#[]", "*", true}, {"[?*#[]", "x", false}, {"a]", "a]", true},
        {"[]", "a", false}, {"[]a]", "]", false}, {"[a-\xff]", "\xe9", true}, {"[!\x80-\xff]", "\x81", false},
        {"?", "\xc3", true}, {"\xc3\xa9", "\xc3\x89", false}, {"#", "0", true}, {"#", "9", true}, {"#", "/", false},
        {"#", ":", false}, {"[a-z]", "a", true}, {"[a-z]", "z", true}, {"[a-z]", "`", false}, {"[a-z]", "{", false},
        {"[!a-z]", "a", false}, {"[!a-z]", "z", false}, {"[!a-z]", "`", true}, {"[!a-z]", "{", true},
        {"?", "", false}, {"??#", "a1", false}, {"??#", "ab1", true}, {"??#", "abc1", false}, {"a*", "a", true},
        // Malformed: an unclosed list, a descending range.
        {"[abc", "[abc", false}, {"*[", "x[", false}, {"*[!z-a]", "x", false}, {"[\xff-\x80]", "\x90", false},
        // Exponential by backtracking.
        {"*a*a*a*a*a*a*a*a*b", as, false}, {"*a*a*a*a*a*a*a*a*b", as + "b", true},
        {wide.substr(1) + "*b", as.substr(0, 63) + "b", true}, {wide + "*b", as.substr(0, 64) + "xb", true},
        {wide + "*b", as.substr(0, 63) + "b", false},
        // What stands before the first star and after the last is compared in place.
        {"ab*cd", "abcd", true}, {"ab*cd", "abxcd", true}, {"ab*bc", "abc", false}, {"a*?", "a", false},
        {"*b*b*", "bb", true}, {"*b*b*", "xbx", false}, {"?*#*[a-c]*", "x0c", true}, {"a*#*c", "a0xd", false},
        // Longer patterns are refused, so that a match costs at most a few words per byte of the name.
        {"*" + std::string(127, '?'), as.substr(0, 127), true}, {"*" + std::string(128, '?'), as.substr(0, 128), false},
    };
    for (const auto& [pattern, name, matches] : rows)
        EXPECT_EQ(LikePattern(pattern).Matches(name), matches) << pattern << " / " << name;
    // Only something between two stars makes a match walk the whole name.
    for (const auto& [pattern, scans] : std::vector<std::pair<std::string, bool>>{
             {"*a*", true}, {"a*?*b", true}, {"*a", false}, {"ab*cd", false}, {"a**b", false}, {"*", false},
             {"abc", false}, {"*[*", false}, {"a*b*", true}})
        EXPECT_EQ(LikePattern(pattern).Scans(), scans) << pattern;
    // A row for each kind of byte the pattern tells apart, not for every byte value.
    std::string distinct;
    for (int byte = 128; byte < 254; ++byte)
        distinct += static_cast<char>(byte);
    EXPECT_LE(LikePattern("t*").HeldBytes(), (1 + 2) * 8u);                     // stars, 2 rows of a word
    EXPECT_LE(LikePattern("*" + distinct + "*").HeldBytes(), (3 + 127 * 3) * 8u); // of 3 words
}

} // namespace
