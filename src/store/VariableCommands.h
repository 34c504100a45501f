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

// The eleven URL commands on the store. Each takes the request's segments (element 0
// is the command) and the response body, which starts empty. A wrong number of
// segments does nothing at all. Lines for the board ("name=value" + LF, one write
// each) are written only while the port reads open, and only when BoardLineSafe.
class VariableCommands {
public:
    VariableCommands(VariableStore& store, SerialOutput& port);

    // Told of every name a set or setlike gave a new value (whether or not the port was open).
    void SetSetObserver(std::function<void(std::string_view name)> observer) { m_setObserver = std::move(observer); }

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
