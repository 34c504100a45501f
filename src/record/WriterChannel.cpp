#include "record/WriterChannel.h"

#ifdef _WIN32
#include "record/WriterThread.h"
#else
#include "record/WriterProcess.h"
#endif

namespace pontivo {

std::unique_ptr<WriterChannel> WriterChannel::Make(const RecordOptions& options)
{
#ifdef _WIN32
    return std::make_unique<WriterThread>(options);
#else
    return std::make_unique<WriterProcess>(options);
#endif
}

} // namespace pontivo
