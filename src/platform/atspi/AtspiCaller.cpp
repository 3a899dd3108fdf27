#include "platform/atspi/AtspiCaller.h"

void AtspiCaller::tellUnanswered(const QString& request, bool earlierStillPending) const
{
    if (m_handler)
        m_handler(UnansweredRequest{request, earlierStillPending, m_deadline});
}
