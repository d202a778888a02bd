#include "SupplicantMessages.h"

namespace SupplicantMessage {

bool isStateMessage(const QVariant &message)
{
    return is<Connected>(message) || is<Disconnected>(message) || is<Inactive>(message)
        || is<NetworkTempDisabled>(message) || is<WpsCredentials>(message) || is<WpsFinished>(message)
        || is<WpsErrored>(message) || is<SupplicantStarted>(message);
}

bool isNetworkCommand(const QVariant &message)
{
    return is<Enable>(message) || is<Disable>(message);
}

void registerTypes()
{
    qMetaTypeId<Enable>();
    qMetaTypeId<Disable>();
    qMetaTypeId<StartWpsPbc>();
    qMetaTypeId<StartWpsPin>();
    qMetaTypeId<Quit>();
    qMetaTypeId<InterfaceAdded>();
    qMetaTypeId<InterfaceRemoved>();
    qMetaTypeId<SupplicantOwnerChanged>();
    qMetaTypeId<Connected>();
    qMetaTypeId<Disconnected>();
    qMetaTypeId<Inactive>();
    qMetaTypeId<NetworkTempDisabled>();
    qMetaTypeId<WpsCredentials>();
    qMetaTypeId<WpsFinished>();
    qMetaTypeId<WpsErrored>();
    qMetaTypeId<SupplicantStarted>();
}

} // namespace SupplicantMessage
