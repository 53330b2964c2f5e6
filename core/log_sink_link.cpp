#include "core/log_sink_link.h"

#include <utility>

#include "core/text_logger.h"

namespace qav {

int32_t LogSinkLink::Logger::Release() {
    const int32_t left = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // Taken out first: the replacing Set may return, and the sink go, once it is set.
        RefPtr<Retirement> retirement = std::move(m_retirement);
        delete this;
        if (retirement) {
            retirement->done.Set();
        }
    }
    return left;
}

void LogSinkLink::Set(MessageLogger* sink) {
    RefPtr<Logger> fresh(sink != nullptr ? new Logger(sink) : nullptr);
    RefPtr<Logger> old;
    {
        MutualExclusionLock lock(m_mutex);
        old = std::exchange(m_logger, std::move(fresh));
    }
    if (!old) {
        return;
    }
    RefPtr<Logger::Retirement> retirement(new Logger::Retirement);
    old->m_retirement = retirement;
    old.Reset();
    retirement->done.Wait(-1);
}

RefPtr<LogSinkLink::Logger> LogSinkLink::LoggerFor(int severity) const {
    RefPtr<Logger> logger;
    {
        MutualExclusionLock lock(m_mutex);
        logger = m_logger;
    }
    if (AdmittingLogger(logger.get(), severity) == nullptr) {
        logger.Reset();
    }
    return logger;
}

}  // namespace qav
