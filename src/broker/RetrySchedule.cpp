#include "broker/RetrySchedule.h"

#include <algorithm>

namespace pontivo {

int RetrySchedule::NextWaitMs()
{
    const int wait = m_nextMs;
    m_nextMs = std::min(m_nextMs * 2, kLongestWaitMs);
    return wait;
}

} // namespace pontivo
