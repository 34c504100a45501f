#pragma once

namespace pontivo {

// The wait before each new attempt to reach the broker: 1 s after a failure, doubling with
// every further failure up to 30 s, and 1 s again once an attempt has succeeded.
class RetrySchedule {
public:
    static constexpr int kFirstWaitMs = 1000;
    static constexpr int kLongestWaitMs = 30000;

    // After one more failure: how long to wait before the next attempt.
    int NextWaitMs();
    void Succeeded() { m_nextMs = kFirstWaitMs; }

private:
    int m_nextMs = kFirstWaitMs;
};

} // namespace pontivo
