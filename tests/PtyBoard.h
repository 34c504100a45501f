#pragma once

#include <QString>

#include <string>

namespace pontivo::testing {

// A pseudo-terminal standing in for a board: the program opens SlavePath(), the test
// writes frames into the master side and reads the lines the program sends.
class PtyBoard {
public:
    PtyBoard();
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    const QString& SlavePath() const { return m_slavePath; }
    void Write(const std::string& bytes);
    // Everything the program has written so far (runs the event loop up to the timeout
    // until `expected` bytes have arrived).
    std::string ReadAvailable(std::size_t expected = 0, int timeoutMs = 2000);
    // Like pulling the cable: the program's side sees the device fail.
    void Unplug();

private:
    int m_master = -1;
    QString m_slavePath;
};

} // namespace pontivo::testing
