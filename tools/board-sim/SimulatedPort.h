#pragma once

#include "UniqueFd.h"

#include <string>

namespace pontivo {

// The board's end of a pseudo-terminal. The program under test opens SlavePath() (or the
// link to it) as its serial port; the simulator reads and writes the master side.
class SimulatedPort {
public:
    // Throws std::runtime_error with the reason when the pty or the link cannot be made.
    explicit SimulatedPort(const std::string& linkPath = {});
    ~SimulatedPort();
    SimulatedPort(const SimulatedPort&) = delete;
    SimulatedPort& operator=(const SimulatedPort&) = delete;

    int Master() const { return m_master.Get(); }
    const std::string& SlavePath() const { return m_slavePath; }
    // The name to give the program: the link when there is one.
    const std::string& PortName() const { return m_linkPath.empty() ? m_slavePath : m_linkPath; }
    // True while some process has the slave side open.
    bool PeerOpen() const;

private:
    void MakeLink();
    void RemoveLink();

    UniqueFd m_master;
    std::string m_slavePath;
    std::string m_linkPath;
};

} // namespace pontivo
