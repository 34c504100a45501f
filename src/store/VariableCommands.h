#pragma once

#include "store/Segments.h"

#include <functional>
#include <string>
#include <string_view>

namespace pontivo {

// The board reads a line with CR or LF inside as two commands: such a name=value line is never written.
bool BoardLineSafe(std::string_view name, std::string_view value);

class SerialOutput;
class VariableStore;

// What became of a write.
enum class StoreWrite {
    Done,
    StoreFull, // a new name the full store refused: nothing stored, nothing sent
    Refused,   // a line the board could not read as one, where such a set is refused whole
};

// What a set does with a value whose line the board would read as two commands.
enum class UnsafeLine { KeepValue, Refuse };

// The writes clients make, by name (the JSON API, the broker, the board's restore), and the eleven URL
// commands over them. Lines for the board ("name=value" + LF, one write each) are written only while the
// port reads open, and only when BoardLineSafe.
class VariableCommands {
public:
    VariableCommands(VariableStore& store, SerialOutput& port);

    // Told of every name a set gave a new value (whether or not the port was open).
    void SetSetObserver(std::function<void(std::string_view name)> observer) { m_setObserver = std::move(observer); }

    // Stores the value and writes its line to the board.
    StoreWrite SetValue(std::string_view name, std::string_view value, UnsafeLine unsafe = UnsafeLine::KeepValue);
    // Stores the value alone.
    StoreWrite PutValue(std::string_view name, std::string_view value);
    // Writes the stored value's line again; nothing for a name not stored.
    void PushName(std::string_view name);
    // Writes this line, whatever the store holds now (a board restore tells what a client set).
    void WriteLine(std::string_view name, std::string_view value);
    // False when there was no such name.
    bool UnsetName(std::string_view name);

    // The URL commands: each takes the request's segments (element 0 is the command) and the
    // response body, which starts empty. A wrong number of segments does nothing at all.
    void Get(const Segments& segments, std::string& body) const;
    void GetLike(const Segments& segments, std::string& body) const;
    void Set(const Segments& segments, std::string& body);
    void SetLike(const Segments& segments, std::string& body);
    void Put(const Segments& segments, std::string& body);
    void PutLike(const Segments& segments, std::string& body);
    void Push(const Segments& segments, std::string& body);
    void PushLike(const Segments& segments, std::string& body);
    void Unset(const Segments& segments, std::string& body);
    void UnsetLike(const Segments& segments, std::string& body);
    void Reset(const Segments& segments, std::string& body);

private:
    VariableStore& m_store;
    SerialOutput& m_port;
    std::function<void(std::string_view name)> m_setObserver;
};

} // namespace pontivo
